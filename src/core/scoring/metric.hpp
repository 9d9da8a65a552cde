// The metrics: one entry per metric, holding everything that differs between them.
//
// An entry gives:
// - exact(q, query_len, v, stored_len): the score a caller sees. The paired
//   sums run over the common length, the norms over each whole vector.
// - prepare_exact(q, dim): what scoring many vectors against one query
//   computes once (the kernels score those several at a time, bit-identical
//   to exact: kernels/body.hpp).
// - kWalk: how the graph walk sees the metric (WalkMapping below).
// Every score is ranked ascending, the similarities too (least similar first).
// visit_metric hands the entry of a Metric to generic code: it is the one
// switch over the metrics.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "core/scoring/sums.hpp"

namespace tamsel {

enum class Metric { Euclidean, Cosine, InnerProduct };

// How the graph walk sees a metric. The graph is always a proximity graph:
// each stored vector is a point of the walk space (walk_space.hpp), linked to
// the points nearest to it by the Euclidean distance there, where nearer
// means more alike under the metric.
// - direction: a vector's point is its direction, the vector over its norm
//   (the cosine sees nothing else).
// - lifted: a vector's point gains one coordinate, sqrt(M^2 - |x|^2) for a
//   bound M on the stored norms. Every point then has the norm M, and the
//   nearer two points, the larger the product of their vectors, so a graph
//   of nearest points is a graph of largest products, in which small
//   vectors still have neighbours of their own.
// - search: what a search walks towards. A distance ranks the points nearest
//   to the query's point first. A similarity lists the least similar first,
//   and since sim(x, q) = -sim(x, -q) exactly, those are the most similar to
//   the mirrored query -q: the points nearest to the point of -q. On the unit
//   sphere of the directions, those are the points farthest from the
//   query's own point, which lies near the data when the query does, where
//   the walk copy resolves it best. Lifted, they are the points of the
//   smallest product with the query.
enum class WalkSearch { Nearest, Farthest, SmallestProduct };

struct WalkMapping {
  bool direction;
  bool lifted;
  WalkSearch search;
};

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

  static constexpr WalkMapping kWalk{.direction = false, .lifted = false, .search = WalkSearch::Nearest};
};

struct CosineMetric {
  static double exact(const double* q, std::size_t query_len, const double* v, std::size_t stored_len) {
    return cosine_similarity(q, query_len, v, stored_len);
  }
  // The query's norm.
  static double prepare_exact(const double* q, std::size_t dim) { return std::sqrt(product_sum(q, q, dim)); }

  static constexpr WalkMapping kWalk{.direction = true, .lifted = false, .search = WalkSearch::Farthest};
};

struct InnerProductMetric {
  static double exact(const double* q, std::size_t query_len, const double* v, std::size_t stored_len) {
    return dot_product(q, query_len, v, stored_len);
  }
  static double prepare_exact(const double*, std::size_t) { return 0.0; }

  static constexpr WalkMapping kWalk{.direction = false, .lifted = true, .search = WalkSearch::SmallestProduct};
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

inline WalkMapping walk_mapping(Metric metric) {
  return visit_metric(metric, [](auto entry) { return decltype(entry)::kWalk; });
}

inline double distance(Metric metric, const double* q, std::size_t query_len, const double* v, std::size_t stored_len) {
  return visit_metric(metric, [&](auto entry) { return entry.exact(q, query_len, v, stored_len); });
}

}  // namespace tamsel
