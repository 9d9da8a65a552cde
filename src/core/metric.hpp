// The metrics: one entry per metric, holding everything that differs between them.
//
// An entry gives:
// - exact(q, query_len, v, stored_len): the score a caller sees. The paired
//   sums run over the common length, the norms over each whole vector.
// - prepare_exact(q, dim): what scoring many vectors against one query
//   computes once; exact_group(q, dim, rows, prepared, out): kGroup of those
//   scores at once, bit-identical to exact.
// - kWalkByDirection: whether the walk sees only the directions of stored
//   vectors (a stored vector measured from is then decoded without its scale).
// - prepare_walk(q, dim): what the walk computes once per float32 query;
//   walk(code, q, prepared, row): the measure the graph walk compares, on the
//   walk copy. Smaller is nearer; it need only order like the exact score.
// Every score is ranked ascending, the similarities too (least similar first).
// visit_metric hands the entry of a Metric to generic code: it is the one
// switch over the metrics.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "core/sums.hpp"
#include "core/walk_code.hpp"

namespace tamsel {

enum class Metric { Euclidean, Cosine, InnerProduct };

inline double euclidean_distance(const double* q, std::size_t query_len, const double* v, std::size_t stored_len) {
  return std::sqrt(squared_difference_sum(q, v, std::min(query_len, stored_len)));
}

inline double dot_product(const double* q, std::size_t query_len, const double* v, std::size_t stored_len) {
  return product_sum(q, v, std::min(query_len, stored_len));
}

inline double cosine_similarity(const double* q, std::size_t query_len, const double* v, std::size_t stored_len) {
  const double paired = product_sum(q, v, std::min(query_len, stored_len));
  const double query_norm = std::sqrt(product_sum(q, q, query_len));
  const double stored_norm = std::sqrt(product_sum(v, v, stored_len));
  return paired / (query_norm * stored_norm);
}

struct EuclideanMetric {
  static double exact(const double* q, std::size_t query_len, const double* v, std::size_t stored_len) {
    return euclidean_distance(q, query_len, v, stored_len);
  }
  static double prepare_exact(const double*, std::size_t) { return 0.0; }
  static void exact_group(const double* q, std::size_t dim, const double* const* rows, double, double* out) {
    sum_group<Sum::SquaredDifference>(q, dim, rows, out);
    for (std::size_t j = 0; j < kGroup; ++j) out[j] = std::sqrt(out[j]);
  }

  // The squared distance: the same order as the distance, without a root.
  static constexpr bool kWalkByDirection = false;
  static double prepare_walk(const float*, std::size_t) { return 0.0; }
  static double walk(const WalkCode& code, const float* q, double, WalkRow row) {
    return code.squared_distance(q, row);
  }
};

struct CosineMetric {
  static double exact(const double* q, std::size_t query_len, const double* v, std::size_t stored_len) {
    return cosine_similarity(q, query_len, v, stored_len);
  }
  // The query's norm.
  static double prepare_exact(const double* q, std::size_t dim) { return std::sqrt(product_sum(q, q, dim)); }
  static void exact_group(const double* q, std::size_t dim, const double* const* rows, double query_norm, double* out) {
    double norms[kGroup];
    sum_group<Sum::Product>(q, dim, rows, out);
    sum_group<Sum::StoredSquare>(q, dim, rows, norms);
    for (std::size_t j = 0; j < kGroup; ++j) out[j] = out[j] / (query_norm * std::sqrt(norms[j]));
  }

  // The cosine ignores the scale on both sides, so a stored vector whose
  // scale leaves the float32 range is still measured by its direction.
  static constexpr bool kWalkByDirection = true;
  static double prepare_walk(const float* q, std::size_t dim) {
    double squares = 0.0;
    for (std::size_t i = 0; i < dim; ++i) squares += double{q[i]} * q[i];
    return std::sqrt(squares);
  }
  static double walk(const WalkCode& code, const float* q, double query_norm, WalkRow row) {
    const WalkCode::Direction d = code.direction_product(q, row);
    return static_cast<double>(d.product) / (query_norm * std::sqrt(static_cast<double>(d.squares)));
  }
};

struct InnerProductMetric {
  static double exact(const double* q, std::size_t query_len, const double* v, std::size_t stored_len) {
    return dot_product(q, query_len, v, stored_len);
  }
  static double prepare_exact(const double*, std::size_t) { return 0.0; }
  static void exact_group(const double* q, std::size_t dim, const double* const* rows, double, double* out) {
    sum_group<Sum::Product>(q, dim, rows, out);
  }

  static constexpr bool kWalkByDirection = false;
  static double prepare_walk(const float*, std::size_t) { return 0.0; }
  static double walk(const WalkCode& code, const float* q, double, WalkRow row) { return code.product(q, row); }
};

// Calls `visit` with the entry of `metric` and returns what it returns.
template <class Visit>
decltype(auto) visit_metric(Metric metric, Visit&& visit) {
  switch (metric) {
    case Metric::Euclidean: return visit(EuclideanMetric{});
    case Metric::Cosine: return visit(CosineMetric{});
    case Metric::InnerProduct: return visit(InnerProductMetric{});
  }
  __builtin_unreachable();
}

inline double distance(Metric metric, const double* q, std::size_t query_len, const double* v, std::size_t stored_len) {
  return visit_metric(metric, [&](auto entry) { return entry.exact(q, query_len, v, stored_len); });
}

}  // namespace tamsel
