// Distance functions over float64 vectors.
//
// Every sum starts at +0.0 and adds its terms from the first component to the
// last, each product rounded before it is added (the build forbids fused
// multiply-add). The batched forms compute several vectors' sums at once, one
// independent accumulator per vector, so each result is bit-identical to the
// single-vector form while the add chains overlap in the pipeline.
#pragma once

#include <cmath>
#include <cstddef>

namespace tamsel {

enum class Metric { Euclidean, Cosine, InnerProduct };

inline double squared_difference_sum(const double* a, const double* b, std::size_t n) {
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double d = a[i] - b[i];
    sum += d * d;
  }
  return sum;
}

inline double product_sum(const double* a, const double* b, std::size_t n) {
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

// Query of length query_len against a stored vector of length stored_len: the
// paired sums run over the common length, the norms over each whole vector.
inline double euclidean_distance(const double* q, std::size_t query_len, const double* v,
                                 std::size_t stored_len) {
  return std::sqrt(squared_difference_sum(q, v, query_len < stored_len ? query_len : stored_len));
}

inline double dot_product(const double* q, std::size_t query_len, const double* v,
                          std::size_t stored_len) {
  return product_sum(q, v, query_len < stored_len ? query_len : stored_len);
}

inline double cosine_similarity(const double* q, std::size_t query_len, const double* v,
                                std::size_t stored_len) {
  const double paired = product_sum(q, v, query_len < stored_len ? query_len : stored_len);
  const double query_norm = std::sqrt(product_sum(q, q, query_len));
  const double stored_norm = std::sqrt(product_sum(v, v, stored_len));
  return paired / (query_norm * stored_norm);
}

inline double distance(Metric metric, const double* q, std::size_t query_len, const double* v,
                       std::size_t stored_len) {
  switch (metric) {
    case Metric::Euclidean: return euclidean_distance(q, query_len, v, stored_len);
    case Metric::Cosine: return cosine_similarity(q, query_len, v, stored_len);
    case Metric::InnerProduct: return dot_product(q, query_len, v, stored_len);
  }
  return 0.0;
}

// Scores `count` stored vectors of length `dim` against a query of length `dim`.
// `vectors[j]` points at the j-th stored vector. Returns the scores in `out`.
void score_batch(Metric metric, const double* query, std::size_t dim,
                 const double* const* vectors, std::size_t count, double* out);

// Scores the `count` consecutive stored vectors that begin at `first` (row-major, `dim` apart).
void score_rows(Metric metric, const double* query, std::size_t dim, const double* first,
                std::size_t count, double* out);

}  // namespace tamsel
