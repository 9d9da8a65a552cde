#include "core/rows/walk_space.hpp"

#include <algorithm>
#include <cstdlib>

namespace tamsel {

WalkSpace::Norm WalkSpace::norm_of(const double* x) const {
  double largest = 0.0;
  for (std::size_t i = 0; i < dim_; ++i) largest = std::fmax(largest, std::fabs(x[i]));
  if (!(largest > 0.0) || std::isinf(largest)) return {0, largest};
  Norm norm;
  norm.exponent = std::ilogb(largest);
  double squares = 0.0;
  for (std::size_t i = 0; i < dim_; ++i) {
    const double scaled = std::ldexp(x[i], -norm.exponent);
    squares += scaled * scaled;
  }
  norm.scaled = std::sqrt(squares);
  return norm;
}

double WalkSpace::lift(const Norm& norm) const {
  // sqrt(M^2 - |x|^2) = M sqrt((1 - r)(1 + r)) for r = |x| / M, which keeps
  // its precision as r nears 1. A norm beyond the bound (not yet fitted)
  // lifts as the bound itself.
  const double ratio = std::min(1.0, norm.value() / norm_bound_);
  const double lifted = norm_bound_ * std::sqrt((1.0 - ratio) * (1.0 + ratio));
  return (lifted - lift_centre_) * inverse_scale_;
}

std::optional<WalkSearch> WalkSpace::search_point(const double* q, double* point) const {
  if (mapping_.search == WalkSearch::SmallestProduct) {
    // Only the order of the products matters: the power of two keeps the
    // query within float32's range.
    double largest = 0.0;
    for (std::size_t i = 0; i < dim_; ++i) largest = std::fmax(largest, std::fabs(q[i]));
    const int exponent = largest > 0.0 && std::isfinite(largest) ? std::ilogb(largest) : 0;
    for (std::size_t i = 0; i < dim_; ++i) point[i] = std::ldexp(q[i], -exponent);
    return WalkSearch::SmallestProduct;
  }
  const Norm norm = mapping_.direction ? norm_of(q) : Norm{};
  // A query without a direction scores NaN against every vector: the exact
  // walk ranks it so.
  if (mapping_.direction && !has_direction(norm)) return std::nullopt;
  const auto framed = [&](double sign, std::size_t i) {
    const double centre = centre_.empty() ? 0.0 : centre_[i];
    return (sign * unframed(q, norm, i) - centre) * inverse_scale_;
  };
  // The larger the coordinates, the farther from the data (NaN is never
  // near). The query's own point is written as it is measured, the mirrored
  // one only when it is the nearer.
  const auto reach = [&](double sign, double* written) {
    double largest = 0.0;
    for (std::size_t i = 0; i < dim_; ++i) {
      const double coordinate = framed(sign, i);
      if (written != nullptr) written[i] = coordinate;
      if (!(std::fabs(coordinate) <= kQueryReach)) return std::numeric_limits<double>::infinity();
      largest = std::fmax(largest, std::fabs(coordinate));
    }
    return largest;
  };
  const double own = reach(1.0, point);
  const double mirror =
      mapping_.search == WalkSearch::Farthest ? reach(-1.0, nullptr) : std::numeric_limits<double>::infinity();
  if (std::isinf(own) && std::isinf(mirror)) return std::nullopt;
  if (!(mirror < own)) return mapping_.search;
  for (std::size_t i = 0; i < dim_; ++i) point[i] = framed(-1.0, i);
  return WalkSearch::Nearest;
}

std::optional<TargetRadii> WalkSpace::target_radii(const double* q, double own_beyond) const {
  if (mapping_.search == WalkSearch::Nearest || centre_.empty()) return std::nullopt;
  const Norm norm = norm_of(q);
  if (!has_direction(norm)) return std::nullopt;
  const double length = mapping_.direction ? 1.0 : norm_bound_;
  const auto square_radius = [&](double sign) {
    double squares = 0.0;
    for (std::size_t i = 0; i < dim_; ++i) {
      const double coordinate =
          (sign * length * std::ldexp(q[i], -norm.exponent) / norm.scaled - centre_[i]) * inverse_scale_;
      squares += coordinate * coordinate;
    }
    if (mapping_.lifted) squares += lift_centre_ * inverse_scale_ * lift_centre_ * inverse_scale_;
    return squares / mean_square_radius_;
  };
  const double mirror = square_radius(-1.0);
  return TargetRadii{.mirror = mirror,
                     .own = mirror > own_beyond ? square_radius(1.0) : std::numeric_limits<double>::quiet_NaN()};
}

void WalkSpace::fit(std::span<const double> stored, std::span<const double> batch) {
  fitted_count_ = dim_ == 0 ? 0 : (stored.size() + batch.size()) / dim_;
  // The centre: the mean of the vectors (or directions) that have one, as a
  // running mean, which cannot overflow.
  centre_.assign(dim_, 0.0);
  std::size_t framed = 0;
  double largest_norm = 0.0;
  const auto each_framed = [&](auto&& visit) {
    for (const std::span<const double> part : {stored, batch}) {
      for (std::size_t at = 0; at < part.size(); at += dim_) {
        const double* x = part.data() + at;
        const Norm norm = mapping_.direction || mapping_.lifted ? norm_of(x) : Norm{};
        if (mapping_.direction && !has_direction(norm)) continue;
        bool finite = true;
        for (std::size_t i = 0; i < dim_ && finite; ++i) finite = std::isfinite(x[i]);
        if (finite && std::isfinite(norm.value())) visit(x, norm);
      }
    }
  };
  each_framed([&](const double* x, const Norm& norm) {
    ++framed;
    const double weight = 1.0 / static_cast<double>(framed);
    for (std::size_t i = 0; i < dim_; ++i) centre_[i] += (unframed(x, norm, i) - centre_[i]) * weight;
    largest_norm = std::max(largest_norm, norm.value());
  });
  norm_bound_ = largest_norm > 0.0 ? largest_norm : 1.0;

  // The scale: the root mean square of the coordinates about the centre, as
  // a power of two, summed against the largest deviation so that no square
  // overflows. Lifted, the mean lifted coordinate comes along.
  double largest_deviation = 0.0;
  each_framed([&](const double* x, const Norm& norm) {
    for (std::size_t i = 0; i < dim_; ++i)
      largest_deviation = std::fmax(largest_deviation, std::fabs(unframed(x, norm, i) - centre_[i]));
  });
  double squares = 0.0, lifts = 0.0, lift_squares = 0.0;
  inverse_scale_ = 1.0;
  lift_centre_ = 0.0;
  each_framed([&](const double* x, const Norm& norm) {
    if (largest_deviation > 0.0) {
      for (std::size_t i = 0; i < dim_; ++i) {
        const double deviation = (unframed(x, norm, i) - centre_[i]) / largest_deviation;
        squares += deviation * deviation;
      }
    }
    if (mapping_.lifted) {
      const double lifted = lift(norm);  // with a zero lift centre and a unit scale
      lifts += lifted;
      lift_squares += lifted * lifted;
    }
  });
  if (framed > 0 && mapping_.lifted) lift_centre_ = lifts / static_cast<double>(framed);
  double spread = 0.0;
  if (framed > 0 && dim_ > 0)
    spread = largest_deviation * std::sqrt(squares / static_cast<double>(framed) / static_cast<double>(dim_));
  if (!(spread > 0.0)) {
    // Every vector alike (or a single one): the scale of the centre, or 1.
    for (std::size_t i = 0; i < dim_; ++i) spread = std::fmax(spread, std::fabs(centre_[i]));
  }
  if (spread > 0.0 && std::isfinite(spread)) {
    const int exponent = std::ilogb(spread);
    // Both powers of two must be normal numbers for the multiplication by
    // the inverse to be exact.
    if (std::abs(exponent) < std::numeric_limits<double>::max_exponent - 1) {
      inverse_scale_ = std::ldexp(1.0, -exponent);
    }
  }
  mean_square_radius_ = 0.0;
  if (framed > 0) {
    const double deviation = largest_deviation * inverse_scale_;
    mean_square_radius_ = deviation * deviation * squares / static_cast<double>(framed);
    if (mapping_.lifted) {
      const double spread_of_lifts = lift_squares / static_cast<double>(framed) - lift_centre_ * lift_centre_;
      mean_square_radius_ += std::fmax(0.0, spread_of_lifts) * inverse_scale_ * inverse_scale_;
    }
  }
}

}  // namespace tamsel
