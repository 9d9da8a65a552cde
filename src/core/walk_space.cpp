#include "core/walk_space.hpp"

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

bool WalkSpace::search_point(const double* q, double* point) const {
  if (mapping_.search == WalkSearch::SmallestProduct) {
    // Only the order of the products matters: the power of two keeps the
    // query within float32's range.
    double largest = 0.0;
    for (std::size_t i = 0; i < dim_; ++i) largest = std::fmax(largest, std::fabs(q[i]));
    const int exponent = largest > 0.0 && std::isfinite(largest) ? std::ilogb(largest) : 0;
    for (std::size_t i = 0; i < dim_; ++i) point[i] = std::ldexp(q[i], -exponent);
    return true;
  }
  const Norm norm = mapping_.direction ? norm_of(q) : Norm{};
  // A query without a direction scores NaN against every vector: the exact
  // walk ranks it so.
  if (mapping_.direction && !has_direction(norm)) return false;
  for (std::size_t i = 0; i < dim_; ++i) {
    const double centre = centre_.empty() ? 0.0 : centre_[i];
    const double coordinate = (unframed(q, norm, i) - centre) * inverse_scale_;
    if (!(std::fabs(coordinate) <= kQueryReach)) return false;  // NaN too
    point[i] = coordinate;
  }
  return true;
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
  double squares = 0.0, lifts = 0.0;
  scale_ = 1.0;
  inverse_scale_ = 1.0;
  lift_centre_ = 0.0;
  each_framed([&](const double* x, const Norm& norm) {
    if (largest_deviation > 0.0) {
      for (std::size_t i = 0; i < dim_; ++i) {
        const double deviation = (unframed(x, norm, i) - centre_[i]) / largest_deviation;
        squares += deviation * deviation;
      }
    }
    if (mapping_.lifted) lifts += lift(norm);  // with a zero lift centre and a unit scale
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
      scale_ = std::ldexp(1.0, exponent);
      inverse_scale_ = std::ldexp(1.0, -exponent);
    }
  }
}

}  // namespace tamsel
