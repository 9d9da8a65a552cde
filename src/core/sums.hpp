// The float64 sums every exact score is made of, for one vector or a group at once.
//
// Every sum starts at +0.0 and adds its terms from the first component to the
// last, each product rounded before it is added (the build forbids fused
// multiply-add). The grouped form sums several vectors at once, one
// independent accumulator per vector: each sum sees exactly the terms, in
// exactly the order, of the single-vector form, so the results are
// bit-identical while the add chains overlap in the pipeline.
#pragma once

#include <cstddef>

#if defined(__AVX2__)
#include <immintrin.h>
#endif

namespace tamsel {

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

inline double squared_difference_sum(const double* a, const double* b, std::size_t n) {
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) sum += term<Sum::SquaredDifference>(a[i], b[i]);
  return sum;
}

inline double product_sum(const double* a, const double* b, std::size_t n) {
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) sum += term<Sum::Product>(a[i], b[i]);
  return sum;
}

namespace sums_detail {

#if defined(__AVX2__)
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
#endif

}  // namespace sums_detail

#if defined(__AVX2__)
inline constexpr std::size_t kGroup = 8;

// The sums of the kGroup vectors `v[0..kGroup)` against `query`, into `out`.
template <Sum kind>
void sum_group(const double* query, std::size_t dim, const double* const* v, double* out) {
  __m256d low = _mm256_setzero_pd(), high = _mm256_setzero_pd();
  std::size_t i = 0;
  for (; i + 4 <= dim; i += 4) {
    low = sums_detail::accumulate_block<kind>(low, query, v, i);
    high = sums_detail::accumulate_block<kind>(high, query, v + 4, i);
  }
  _mm256_storeu_pd(out, low);
  _mm256_storeu_pd(out + 4, high);
  for (; i < dim; ++i) {
    for (std::size_t j = 0; j < kGroup; ++j) out[j] += term<kind>(query[i], v[j][i]);
  }
}
#else
inline constexpr std::size_t kGroup = 4;

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

}  // namespace tamsel
