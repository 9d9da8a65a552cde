// The walk space: the points the graph walk measures, one per stored vector.
//
// Every metric becomes a Euclidean proximity there (WalkMapping, metric.hpp):
// a stored vector maps to a point, its direction under the cosine, lifted by
// one coordinate under the inner product, and the graph links each point to
// the points nearest to it. Points are taken in a frame fitted to the stored
// data, a centre and a scale, so that the 8-bit walk copy and its float32
// sums resolve the data wherever it sits and whatever its magnitude: an
// offset of 1e6 shared by every vector, or an overall scale of 1e-20 or
// 1e20, leaves the points near the unit.
//
// The frame is fitted again as the data grows: each time the count doubles,
// and sooner when vectors arrive that it does not hold (far outside it, or,
// lifted, beyond the bound on the norms); the store then encodes every row
// anew. Refitting moves no link. A frame fitted to fewer vectors is only less
// precise: the walk still measures every point, and every score a caller
// sees is exact.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "core/scoring/metric.hpp"
#include "core/search_plan.hpp"

namespace tamsel {

class WalkSpace {
 public:
  WalkSpace(Metric metric, std::size_t dim) : mapping_(walk_mapping(metric)), dim_(dim) {}

  const WalkMapping& mapping() const { return mapping_; }

  // Whether the walk can measure stored vector `x` (dim numbers): every
  // component finite, and under the cosine a direction.
  bool measurable(const double* x) const {
    for (std::size_t i = 0; i < dim_; ++i) {
      if (!std::isfinite(x[i])) return false;
    }
    return !mapping_.direction || has_direction(norm_of(x));
  }

  // Room for the frame, made with the store's room: fit() cannot fail.
  void reserve() { centre_.reserve(dim_); }

  // Writes the point of stored vector `x` into `point` (dim numbers) and
  // returns its lift; `held` says whether the frame holds it. A vector
  // without a direction (zero, or with a NaN or an infinity, under the
  // cosine) gets a point of NaNs, which the walk measures as the farthest.
  struct Placed {
    double lift;
    bool held;
  };
  template <class Number>
  Placed place(const double* x, Number* point) const;

  // The point a search measures from (dim numbers into `point`), and how the
  // walk measures it. A similarity ranks the points nearest to the mirrored
  // query first, which are the points farthest from the query's own point:
  // of the two, the walk measures from the one nearer the data, where the
  // walk copy resolves distances best (a narrow cone of directions puts the
  // other one thousands of frame scales away). Under the inner product the
  // query itself, over a power of two near its largest magnitude, gives the
  // products. Nothing when both points lie too far outside the frame for
  // the walk copy to tell the stored points apart: the walk then scores
  // exactly.
  std::optional<WalkSearch> search_point(const double* q, double* point) const;

  // The geometry of a similarity search's target (search_plan.hpp): the
  // square distances from the frame's centre of the mirrored query (lifted,
  // the negated query at the bound on the norms with a zero lifted
  // coordinate) and of the query's own point, over the stored points' mean.
  // The own point is measured only when the mirrored one lies beyond
  // `own_beyond` (NaN otherwise): most queries need no more. Nothing under
  // the Euclidean distance, before the first fit, or for a query without a
  // direction.
  std::optional<TargetRadii> target_radii(const double* q, double own_beyond) const;

  // Whether the frame must be fitted again for `count` vectors, some of
  // which it does not hold when `straying`.
  bool due(std::size_t count, bool straying) const {
    if (fitted_count_ == 0 || count >= 2 * fitted_count_) return true;
    return straying && count > fitted_count_ + fitted_count_ / 8;
  }
  // Fits the frame to the vectors of `stored` and then of `batch`, dim
  // numbers each.
  void fit(std::span<const double> stored, std::span<const double> batch);

 private:
  // A point lies in the frame while its coordinates stay within this many
  // frame scales of the centre: the 8-bit copy resolves it, and float32
  // sums of squares over any dimension stay far from overflow.
  static constexpr double kReach = 1e6;
  // A Euclidean query beyond this many scales is walked exactly: its
  // squared distances in float32 would no longer tell the points apart.
  static constexpr double kQueryReach = 1e4;
  // A norm taken without overflow or underflow: the vector divided by a
  // power of two near its largest magnitude, then the norm of that.
  struct Norm {
    int exponent = 0;
    double scaled = 0.0;  // the norm is scaled * 2^exponent
    double value() const { return std::ldexp(scaled, exponent); }
  };
  Norm norm_of(const double* x) const;
  // Component i of the vector as the frame sees it before centring: x, or
  // its direction.
  double unframed(const double* x, const Norm& norm, std::size_t i) const {
    return mapping_.direction ? std::ldexp(x[i], -norm.exponent) / norm.scaled : x[i];
  }
  bool has_direction(const Norm& norm) const { return norm.scaled > 0.0 && std::isfinite(norm.scaled); }
  // The lifted coordinate of a vector of this norm, over the frame's scale.
  double lift(const Norm& norm) const;

  WalkMapping mapping_;
  std::size_t dim_;
  std::size_t fitted_count_ = 0;
  std::vector<double> centre_;       // empty until the first fit
  double inverse_scale_ = 1.0;       // a power of two: multiplying by it is exact
  double mean_square_radius_ = 0.0;  // of the stored points about the centre, in frame scales
  double norm_bound_ = 1.0;          // M of the lifted coordinate
  double lift_centre_ = 0.0;         // the mean lifted coordinate, taken off every lift
};

template <class Number>
WalkSpace::Placed WalkSpace::place(const double* x, Number* point) const {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  const Norm norm = mapping_.direction || mapping_.lifted ? norm_of(x) : Norm{};
  if (mapping_.direction && !has_direction(norm)) {
    for (std::size_t i = 0; i < dim_; ++i) point[i] = static_cast<Number>(kNaN);
    return {kNaN, true};
  }
  bool held = true;
  for (std::size_t i = 0; i < dim_; ++i) {
    const double centre = centre_.empty() ? 0.0 : centre_[i];
    const double coordinate = (unframed(x, norm, i) - centre) * inverse_scale_;
    // A coordinate that is not finite cannot be held by any frame.
    held = held && !(std::isfinite(coordinate) && std::fabs(coordinate) > kReach);
    point[i] = static_cast<Number>(coordinate);
  }
  if (!mapping_.lifted) return {0.0, held};
  held = held && !(std::isfinite(norm.value()) && norm.value() > norm_bound_);
  return {lift(norm), held};
}

}  // namespace tamsel
