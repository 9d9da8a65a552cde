#include "core/distance.hpp"

namespace tamsel {
namespace {

constexpr std::size_t kLanes = 4;

// One accumulator per vector: lane j's sum sees exactly the terms, in exactly
// the order, of the single-vector function, so the results are bit-identical.
template <class Term>
void sum_lanes(const double* query, std::size_t dim, const double* const* v, double* out,
               Term term) {
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  for (std::size_t i = 0; i < dim; ++i) {
    const double qi = query[i];
    s0 += term(qi, v[0][i]);
    s1 += term(qi, v[1][i]);
    s2 += term(qi, v[2][i]);
    s3 += term(qi, v[3][i]);
  }
  out[0] = s0;
  out[1] = s1;
  out[2] = s2;
  out[3] = s3;
}

inline double squared_difference(double a, double b) {
  const double d = a - b;
  return d * d;
}
inline double product(double a, double b) { return a * b; }
inline double stored_square(double, double b) { return b * b; }

void score_lanes(Metric metric, const double* query, std::size_t dim, const double* const* v,
                 double query_norm, double* out) {
  switch (metric) {
    case Metric::Euclidean:
      sum_lanes(query, dim, v, out, squared_difference);
      for (std::size_t j = 0; j < kLanes; ++j) out[j] = std::sqrt(out[j]);
      return;
    case Metric::InnerProduct:
      sum_lanes(query, dim, v, out, product);
      return;
    case Metric::Cosine: {
      double norms[kLanes];
      sum_lanes(query, dim, v, out, product);
      sum_lanes(query, dim, v, norms, stored_square);
      for (std::size_t j = 0; j < kLanes; ++j) out[j] = out[j] / (query_norm * std::sqrt(norms[j]));
      return;
    }
  }
}

}  // namespace

void score_batch(Metric metric, const double* query, std::size_t dim,
                 const double* const* vectors, std::size_t count, double* out) {
  const double query_norm = metric == Metric::Cosine ? std::sqrt(product_sum(query, query, dim)) : 0.0;
  std::size_t j = 0;
  for (; j + kLanes <= count; j += kLanes) score_lanes(metric, query, dim, vectors + j, query_norm, out + j);
  for (; j < count; ++j) out[j] = distance(metric, query, dim, vectors[j], dim);
}

void score_rows(Metric metric, const double* query, std::size_t dim, const double* first,
                std::size_t count, double* out) {
  const double query_norm = metric == Metric::Cosine ? std::sqrt(product_sum(query, query, dim)) : 0.0;
  std::size_t j = 0;
  for (; j + kLanes <= count; j += kLanes) {
    const double* rows[kLanes];
    for (std::size_t l = 0; l < kLanes; ++l) rows[l] = first + (j + l) * dim;
    score_lanes(metric, query, dim, rows, query_norm, out + j);
  }
  for (; j < count; ++j) out[j] = distance(metric, query, dim, first + j * dim, dim);
}

}  // namespace tamsel
