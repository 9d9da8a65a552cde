#include "core/distance.hpp"

#if defined(__AVX2__)
#include <immintrin.h>
#endif

namespace tamsel {
namespace {

// Several vectors are scored at once, one accumulator per vector: each sum
// sees exactly the terms, in exactly the order, of the single-vector function,
// so the results are bit-identical while the add chains overlap.
enum class Sum { SquaredDifference, Product, StoredSquare };

template <Sum kind>
inline double term(double q, double v) {
  if constexpr (kind == Sum::SquaredDifference) {
    const double d = q - v;
    return d * d;
  } else if constexpr (kind == Sum::Product) {
    return q * v;
  } else {
    return v * v;
  }
}

#if defined(__AVX2__)
constexpr std::size_t kGroup = 8;

// Turns four rows of four components into four columns: column c holds
// component c of every row.
inline void transpose(__m256d& a, __m256d& b, __m256d& c, __m256d& d) {
  const __m256d ab_even = _mm256_unpacklo_pd(a, b), ab_odd = _mm256_unpackhi_pd(a, b);
  const __m256d cd_even = _mm256_unpacklo_pd(c, d), cd_odd = _mm256_unpackhi_pd(c, d);
  a = _mm256_permute2f128_pd(ab_even, cd_even, 0x20);
  b = _mm256_permute2f128_pd(ab_odd, cd_odd, 0x20);
  c = _mm256_permute2f128_pd(ab_even, cd_even, 0x31);
  d = _mm256_permute2f128_pd(ab_odd, cd_odd, 0x31);
}

template <Sum kind>
inline __m256d accumulate(__m256d sum, __m256d q, __m256d v) {
  if constexpr (kind == Sum::SquaredDifference) {
    const __m256d d = _mm256_sub_pd(q, v);
    return _mm256_add_pd(sum, _mm256_mul_pd(d, d));
  } else if constexpr (kind == Sum::Product) {
    return _mm256_add_pd(sum, _mm256_mul_pd(q, v));
  } else {
    return _mm256_add_pd(sum, _mm256_mul_pd(v, v));
  }
}

// Lane j of the four-row group at `v` accumulates component i of row j, for i
// in increasing order.
template <Sum kind>
inline __m256d accumulate_block(__m256d sum, const double* query, const double* const* v, std::size_t i) {
  __m256d r0 = _mm256_loadu_pd(v[0] + i), r1 = _mm256_loadu_pd(v[1] + i);
  __m256d r2 = _mm256_loadu_pd(v[2] + i), r3 = _mm256_loadu_pd(v[3] + i);
  transpose(r0, r1, r2, r3);
  sum = accumulate<kind>(sum, _mm256_broadcast_sd(query + i), r0);
  sum = accumulate<kind>(sum, _mm256_broadcast_sd(query + i + 1), r1);
  sum = accumulate<kind>(sum, _mm256_broadcast_sd(query + i + 2), r2);
  return accumulate<kind>(sum, _mm256_broadcast_sd(query + i + 3), r3);
}

template <Sum kind>
void sum_group(const double* query, std::size_t dim, const double* const* v, double* out) {
  __m256d low = _mm256_setzero_pd(), high = _mm256_setzero_pd();
  std::size_t i = 0;
  for (; i + 4 <= dim; i += 4) {
    low = accumulate_block<kind>(low, query, v, i);
    high = accumulate_block<kind>(high, query, v + 4, i);
  }
  _mm256_storeu_pd(out, low);
  _mm256_storeu_pd(out + 4, high);
  for (; i < dim; ++i) {
    for (std::size_t j = 0; j < kGroup; ++j) out[j] += term<kind>(query[i], v[j][i]);
  }
}
#else
constexpr std::size_t kGroup = 4;

template <Sum kind>
void sum_group(const double* query, std::size_t dim, const double* const* v, double* out) {
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  for (std::size_t i = 0; i < dim; ++i) {
    const double qi = query[i];
    s0 += term<kind>(qi, v[0][i]);
    s1 += term<kind>(qi, v[1][i]);
    s2 += term<kind>(qi, v[2][i]);
    s3 += term<kind>(qi, v[3][i]);
  }
  out[0] = s0;
  out[1] = s1;
  out[2] = s2;
  out[3] = s3;
}
#endif

void score_group(Metric metric, const double* query, std::size_t dim, const double* const* v,
                 double query_norm, double* out) {
  switch (metric) {
    case Metric::Euclidean:
      sum_group<Sum::SquaredDifference>(query, dim, v, out);
      for (std::size_t j = 0; j < kGroup; ++j) out[j] = std::sqrt(out[j]);
      return;
    case Metric::InnerProduct:
      sum_group<Sum::Product>(query, dim, v, out);
      return;
    case Metric::Cosine: {
      double norms[kGroup];
      sum_group<Sum::Product>(query, dim, v, out);
      sum_group<Sum::StoredSquare>(query, dim, v, norms);
      for (std::size_t j = 0; j < kGroup; ++j) out[j] = out[j] / (query_norm * std::sqrt(norms[j]));
      return;
    }
  }
}

double query_norm_for(Metric metric, const double* query, std::size_t dim) {
  return metric == Metric::Cosine ? std::sqrt(product_sum(query, query, dim)) : 0.0;
}

}  // namespace

void score_batch(Metric metric, const double* query, std::size_t dim, const double* const* vectors,
                 std::size_t count, double* out) {
  const double query_norm = query_norm_for(metric, query, dim);
  std::size_t j = 0;
  for (; j + kGroup <= count; j += kGroup) score_group(metric, query, dim, vectors + j, query_norm, out + j);
  for (; j < count; ++j) out[j] = distance(metric, query, dim, vectors[j], dim);
}

void score_rows(Metric metric, const double* query, std::size_t dim, const double* first, std::size_t count,
                double* out) {
  // Group g scores rows g, g + stripe, g + 2 stripe, ...: every lane walks its
  // own stripe front to back, so memory is read as a few sequential streams
  // that the hardware prefetcher follows.
  const double query_norm = query_norm_for(metric, query, dim);
  const std::size_t stripe = count / kGroup;
  for (std::size_t g = 0; g < stripe; ++g) {
    const double* rows[kGroup];
    double scores[kGroup];
    for (std::size_t l = 0; l < kGroup; ++l) rows[l] = first + (l * stripe + g) * dim;
    score_group(metric, query, dim, rows, query_norm, scores);
    for (std::size_t l = 0; l < kGroup; ++l) out[l * stripe + g] = scores[l];
  }
  for (std::size_t j = stripe * kGroup; j < count; ++j) out[j] = distance(metric, query, dim, first + j * dim, dim);
}

}  // namespace tamsel
