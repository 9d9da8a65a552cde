// The hot loops of one instruction set. Each kernels/<set>.cpp includes this
// once, built with the flags of its set (CMakeLists.txt). Everything here has
// internal linkage: the linker keeps one copy of an inline function of
// external linkage for the whole binary, and it must never keep the copy
// compiled for a larger set than the processor runs. What this file uses
// from the other headers is inlined; cmake/check_kernel_symbols.cmake fails
// the build of a set that leaves any of it out of line.
//
// The sets differ in speed only. Every exact score is the sum, in index
// order, of products rounded before they are added (the build never fuses
// them), and every walk measure is the same sequence of operations on the
// same lanes, so the sets give bit-identical scores, and the same graphs.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "core/rows/walk_code.hpp"
#include "core/scoring/kernels.hpp"
#include "core/scoring/metric.hpp"
#include "core/scoring/sums.hpp"

#if !defined(TAMSEL_KERNEL_SET)
#error "kernels/<set>.cpp names the set before including this file"
#endif
#define TAMSEL_KERNEL_QUOTE(set) #set
#define TAMSEL_KERNEL_NAME(set) TAMSEL_KERNEL_QUOTE(set)

namespace tamsel::TAMSEL_KERNEL_SET {
namespace {

// ---------------------------------------------------------------- exact ----

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

constexpr std::size_t kGroup = 8;

// The sums of the kGroup vectors `v[0..kGroup)` against `query`, into `out`:
// one independent accumulator per vector, each seeing exactly the terms, in
// exactly the order, of the single-vector sums (sums.hpp).
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

// kGroup scores at once, bit-identical to the metric's exact(); `prepared`
// is its prepare_exact() of the query.
void exact_group(EuclideanMetric, const double* q, std::size_t dim, const double* const* rows, double, double* out) {
  sum_group<Sum::SquaredDifference>(q, dim, rows, out);
  for (std::size_t j = 0; j < kGroup; ++j) out[j] = std::sqrt(out[j]);
}

void exact_group(CosineMetric, const double* q, std::size_t dim, const double* const* rows, double query_norm,
                 double* out) {
  double norms[kGroup];
  sum_group<Sum::Product>(q, dim, rows, out);
  sum_group<Sum::StoredSquare>(q, dim, rows, norms);
  for (std::size_t j = 0; j < kGroup; ++j) out[j] = out[j] / (query_norm * std::sqrt(norms[j]));
}

void exact_group(InnerProductMetric, const double* q, std::size_t dim, const double* const* rows, double, double* out) {
  sum_group<Sum::Product>(q, dim, rows, out);
}

void score_batch(Metric metric, const double* query, std::size_t dim, const double* const* vectors, std::size_t count,
                 double* out) {
  visit_metric(metric, [&](auto entry) {
    const double prepared = entry.prepare_exact(query, dim);
    std::size_t j = 0;
    for (; j + kGroup <= count; j += kGroup) exact_group(entry, query, dim, vectors + j, prepared, out + j);
    for (; j < count; ++j) out[j] = entry.exact(query, dim, vectors[j], dim);
  });
}

void score_rows(Metric metric, const double* query, std::size_t dim, const double* first, std::size_t count,
                double* out) {
  // Group g scores rows g, g + stripe, g + 2 stripe, ...: every lane walks its
  // own stripe front to back, so memory is read as a few sequential streams
  // that the hardware prefetcher follows.
  visit_metric(metric, [&](auto entry) {
    const double prepared = entry.prepare_exact(query, dim);
    const std::size_t stripe = count / kGroup;
    for (std::size_t g = 0; g < stripe; ++g) {
      const double* rows[kGroup];
      double scores[kGroup];
      for (std::size_t l = 0; l < kGroup; ++l) rows[l] = first + (l * stripe + g) * dim;
      exact_group(entry, query, dim, rows, prepared, scores);
      for (std::size_t l = 0; l < kGroup; ++l) out[l * stripe + g] = scores[l];
    }
    for (std::size_t j = stripe * kGroup; j < count; ++j) out[j] = entry.exact(query, dim, first + j * dim, dim);
  });
}

// ----------------------------------------------------------------- walk ----

using walk_detail::elements_of;
using walk_detail::form_elements;
using walk_detail::kDoubleLiftAt;
using walk_detail::kFormLiftAt;
using walk_detail::kFormSquaresAt;
using walk_detail::kLiftAt;
using walk_detail::kSquaresAt;
using walk_detail::number_at;

// Sixteen lanes whatever the set: each set splits or joins them into its
// registers, and the float32 sums add the same lanes in the same order.
constexpr std::size_t kWidth = 16;
using Floats = float __attribute__((vector_size(kWidth * sizeof(float))));
using Floats8 = float __attribute__((vector_size(8 * sizeof(float))));
using Floats4 = float __attribute__((vector_size(4 * sizeof(float))));
using Codes = std::int8_t __attribute__((vector_size(kWidth)));
using Shorts = std::int16_t __attribute__((vector_size(kWidth * sizeof(std::int16_t))));
using Ints8 = std::int32_t __attribute__((vector_size(8 * sizeof(std::int32_t))));

inline Floats load(const float* p) {
  Floats lanes;
  std::memcpy(&lanes, p, sizeof lanes);
  return lanes;
}

inline Shorts load(const std::int16_t* p) {
  Shorts lanes;
  std::memcpy(&lanes, p, sizeof lanes);
  return lanes;
}

inline Shorts widen(const std::int8_t* p) {
  Codes codes;
  std::memcpy(&codes, p, sizeof codes);
  return __builtin_convertvector(codes, Shorts);
}

// Products of neighbouring lane pairs, added: 16 lanes of 16 bits to 8 of 32.
inline Ints8 multiply_add_pairs(Shorts a, Shorts b) {
#if defined(__AVX2__)
  return reinterpret_cast<Ints8>(_mm256_madd_epi16(reinterpret_cast<__m256i>(a), reinterpret_cast<__m256i>(b)));
#else
  using Shorts8 = std::int16_t __attribute__((vector_size(8 * sizeof(std::int16_t))));
  using Ints4 = std::int32_t __attribute__((vector_size(4 * sizeof(std::int32_t))));
  const auto half = [](Shorts lanes, bool high) {
    const Shorts8 part = high ? __builtin_shufflevector(lanes, lanes, 8, 9, 10, 11, 12, 13, 14, 15)
                              : __builtin_shufflevector(lanes, lanes, 0, 1, 2, 3, 4, 5, 6, 7);
    return reinterpret_cast<__m128i>(part);
  };
  const auto low = reinterpret_cast<Ints4>(_mm_madd_epi16(half(a, false), half(b, false)));
  const auto high = reinterpret_cast<Ints4>(_mm_madd_epi16(half(a, true), half(b, true)));
  return __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7);
#endif
}

// Adds the lanes pairwise, halving the width each step.
inline float total(Floats lanes) {
  const Floats8 eight = __builtin_shufflevector(lanes, lanes, 0, 1, 2, 3, 4, 5, 6, 7) +
                        __builtin_shufflevector(lanes, lanes, 8, 9, 10, 11, 12, 13, 14, 15);
  const Floats4 four =
      __builtin_shufflevector(eight, eight, 0, 1, 2, 3) + __builtin_shufflevector(eight, eight, 4, 5, 6, 7);
  return (four[0] + four[2]) + (four[1] + four[3]);
}

inline std::int64_t total(Ints8 lanes) {
  std::int64_t sum = 0;
  for (int i = 0; i < 8; ++i) sum += lanes[i];
  return sum;
}

// q . codes, exactly (integers: in any order); the form's largest code keeps
// every 32-bit lane from overflowing.
#if defined(__AVX512BW__) && defined(__AVX512VL__)
// Thirty-two components a step, the last step masked.
inline std::int64_t integer_product(const std::int16_t* q, const std::int8_t* codes, std::size_t n) {
  __m512i sum = _mm512_setzero_si512();
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m512i widened = _mm512_cvtepi8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(codes + i)));
    sum = _mm512_add_epi32(sum, _mm512_madd_epi16(_mm512_loadu_si512(q + i), widened));
  }
  if (i < n) {
    const auto rest = static_cast<__mmask32>((1U << (n - i)) - 1U);  // n - i < 32
    const __m512i widened = _mm512_cvtepi8_epi16(_mm256_maskz_loadu_epi8(rest, codes + i));
    sum = _mm512_add_epi32(sum, _mm512_madd_epi16(_mm512_maskz_loadu_epi16(rest, q + i), widened));
  }
  using Ints16 = std::int32_t __attribute__((vector_size(16 * sizeof(std::int32_t))));
  const auto lanes = reinterpret_cast<Ints16>(sum);
  return total(__builtin_shufflevector(lanes, lanes, 0, 1, 2, 3, 4, 5, 6, 7) +
               __builtin_shufflevector(lanes, lanes, 8, 9, 10, 11, 12, 13, 14, 15));
}
#else
inline std::int64_t integer_product(const std::int16_t* q, const std::int8_t* codes, std::size_t n) {
  Ints8 s0 = {}, s1 = {};
  std::size_t i = 0;
  for (; i + 2 * kWidth <= n; i += 2 * kWidth) {
    s0 += multiply_add_pairs(load(q + i), widen(codes + i));
    s1 += multiply_add_pairs(load(q + i + kWidth), widen(codes + i + kWidth));
  }
  if (i + kWidth <= n) {
    s0 += multiply_add_pairs(load(q + i), widen(codes + i));
    i += kWidth;
  }
  std::int64_t sum = total(s0 + s1);
  for (; i < n; ++i) sum += std::int64_t{q[i]} * codes[i];
  return sum;
}
#endif

// |q - x|^2 in float32.
inline float squared_difference_sum(const float* q, const float* x, std::size_t n) {
  Floats s0 = {}, s1 = {};
  std::size_t i = 0;
  for (; i + 2 * kWidth <= n; i += 2 * kWidth) {
    const Floats d0 = load(q + i) - load(x + i);
    const Floats d1 = load(q + i + kWidth) - load(x + i + kWidth);
    s0 += d0 * d0;
    s1 += d1 * d1;
  }
  if (i + kWidth <= n) {
    const Floats d0 = load(q + i) - load(x + i);
    s0 += d0 * d0;
    i += kWidth;
  }
  float sum = total(s0 + s1);
  for (; i < n; ++i) {
    const float d = q[i] - number_at<float>(reinterpret_cast<const std::byte*>(x + i));
    sum += d * d;
  }
  return sum;
}

// q . x in float32.
inline float product_sum(const float* q, const float* x, std::size_t n) {
  Floats s0 = {}, s1 = {};
  std::size_t i = 0;
  for (; i + 2 * kWidth <= n; i += 2 * kWidth) {
    s0 += load(q + i) * load(x + i);
    s1 += load(q + i + kWidth) * load(x + i + kWidth);
  }
  if (i + kWidth <= n) {
    s0 += load(q + i) * load(x + i);
    i += kWidth;
  }
  float sum = total(s0 + s1);
  for (; i < n; ++i) sum += q[i] * number_at<float>(reinterpret_cast<const std::byte*>(x + i));
  return sum;
}

// Measures of rows of bytes from a form: |q - x|^2 with the lifts, and q . x
// without (the layout is walk_code.hpp's).
struct ByteRows {
  std::size_t dim;
  double squared_distance(const std::byte* form, WalkRow row) const {
    const double row_scale = number_at<float>(row);
    const double lift = number_at<double>(form + kFormLiftAt) - number_at<float>(row + kLiftAt);
    return number_at<double>(form + kFormSquaresAt) + row_scale * row_scale * number_at<float>(row + kSquaresAt) -
           2.0 * product(form, row) + lift * lift;
  }
  double product(const std::byte* form, WalkRow row) const {
    const auto codes =
        static_cast<double>(integer_product(form_elements<std::int16_t>(form), elements_of<std::int8_t>(row), dim));
    return number_at<double>(form) * number_at<float>(row) * codes;
  }
};

// The same of rows of floats.
struct FloatRows {
  std::size_t dim;
  double squared_distance(const std::byte* form, WalkRow row) const {
    const double lift = number_at<double>(form + kFormLiftAt) - number_at<float>(row + kLiftAt);
    return scales(form, row) * squared_difference_sum(form_elements<float>(form), elements_of<float>(row), dim) +
           lift * lift;
  }
  double product(const std::byte* form, WalkRow row) const {
    return scales(form, row) * product_sum(form_elements<float>(form), elements_of<float>(row), dim);
  }
  // 1, or NaN when the form or the row is of a point with a NaN.
  static double scales(const std::byte* form, WalkRow row) { return number_at<double>(form) * number_at<float>(row); }
};

// 8 lanes of float64, whatever the set, added as the float32 sums are.
constexpr std::size_t kDoubleWidth = 8;
using Doubles = double __attribute__((vector_size(kDoubleWidth * sizeof(double))));
using Doubles4 = double __attribute__((vector_size(4 * sizeof(double))));
using Doubles2 = double __attribute__((vector_size(2 * sizeof(double))));

inline Doubles load(const double* p) {
  Doubles lanes;
  std::memcpy(&lanes, p, sizeof lanes);
  return lanes;
}

inline double total(Doubles lanes) {
  const Doubles4 four =
      __builtin_shufflevector(lanes, lanes, 0, 1, 2, 3) + __builtin_shufflevector(lanes, lanes, 4, 5, 6, 7);
  const Doubles2 two = __builtin_shufflevector(four, four, 0, 1) + __builtin_shufflevector(four, four, 2, 3);
  return two[0] + two[1];
}

inline double element_at(const double* x, std::size_t i) {
  return number_at<double>(reinterpret_cast<const std::byte*>(x + i));
}

// |q - x|^2 and q . x in float64, on the lanes of the float32 sums.
inline double squared_difference_sum(const double* q, const double* x, std::size_t n) {
  Doubles s0 = {}, s1 = {};
  std::size_t i = 0;
  for (; i + 2 * kDoubleWidth <= n; i += 2 * kDoubleWidth) {
    const Doubles d0 = load(q + i) - load(x + i);
    const Doubles d1 = load(q + i + kDoubleWidth) - load(x + i + kDoubleWidth);
    s0 += d0 * d0;
    s1 += d1 * d1;
  }
  if (i + kDoubleWidth <= n) {
    const Doubles d0 = load(q + i) - load(x + i);
    s0 += d0 * d0;
    i += kDoubleWidth;
  }
  double sum = total(s0 + s1);
  for (; i < n; ++i) {
    const double d = element_at(q, i) - element_at(x, i);
    sum += d * d;
  }
  return sum;
}

inline double product_sum(const double* q, const double* x, std::size_t n) {
  Doubles s0 = {}, s1 = {};
  std::size_t i = 0;
  for (; i + 2 * kDoubleWidth <= n; i += 2 * kDoubleWidth) {
    s0 += load(q + i) * load(x + i);
    s1 += load(q + i + kDoubleWidth) * load(x + i + kDoubleWidth);
  }
  if (i + kDoubleWidth <= n) {
    s0 += load(q + i) * load(x + i);
    i += kDoubleWidth;
  }
  double sum = total(s0 + s1);
  for (; i < n; ++i) sum += element_at(q, i) * element_at(x, i);
  return sum;
}

// The same of rows of doubles.
struct DoubleRows {
  std::size_t dim;
  double squared_distance(const std::byte* form, WalkRow row) const {
    const double lift = number_at<double>(form + kFormLiftAt) - number_at<double>(row + kDoubleLiftAt);
    return FloatRows::scales(form, row) *
               squared_difference_sum(form_elements<double>(form), elements_of<double>(row), dim) +
           lift * lift;
  }
  double product(const std::byte* form, WalkRow row) const {
    return FloatRows::scales(form, row) * product_sum(form_elements<double>(form), elements_of<double>(row), dim);
  }
};

// Calls `visit` with the measure of the rows' precision.
template <class Visit>
decltype(auto) visit_rows(const WalkRows& rows, Visit&& visit) {
  switch (rows.precision) {
    case WalkPrecision::Bytes: return visit(ByteRows{rows.dim});
    case WalkPrecision::Floats: return visit(FloatRows{rows.dim});
    case WalkPrecision::Doubles: return visit(DoubleRows{rows.dim});
  }
  __builtin_unreachable();
}

template <class Rows>
void measure_rows(Rows measure, const WalkRows& rows, WalkSearch search, const std::byte* form,
                  const std::uint32_t* ids, std::size_t count, double* out) {
  const auto row = [&](std::size_t j) { return rows.first + std::size_t{ids[j]} * rows.row_size; };
  switch (search) {
    case WalkSearch::Nearest:
      for (std::size_t j = 0; j < count; ++j) out[j] = comparable(measure.squared_distance(form, row(j)));
      break;
    case WalkSearch::Farthest:
      for (std::size_t j = 0; j < count; ++j) out[j] = comparable(-measure.squared_distance(form, row(j)));
      break;
    case WalkSearch::SmallestProduct:
      for (std::size_t j = 0; j < count; ++j) out[j] = comparable(measure.product(form, row(j)));
      break;
  }
}

void walk_score(const WalkRows& rows, WalkSearch search, const std::byte* form, const std::uint32_t* ids,
                std::size_t count, double* out) {
  visit_rows(rows, [&](auto measure) { measure_rows(measure, rows, search, form, ids, count, out); });
}

template <class Rows>
bool nearer_to_any(Rows measure, WalkRow row, const std::byte* forms, std::size_t stride, std::size_t count,
                   double bound) {
  for (std::size_t j = 0; j < count; ++j) {
    if (comparable(measure.squared_distance(forms + j * stride, row)) < bound) return true;
  }
  return false;
}

bool walk_nearer_to_any(const WalkRows& rows, const std::byte* forms, std::size_t stride, std::size_t count,
                        std::uint32_t id, double bound) {
  const WalkRow row = rows.first + std::size_t{id} * rows.row_size;
  return visit_rows(rows, [&](auto measure) { return nearer_to_any(measure, row, forms, stride, count, bound); });
}

}  // namespace

// NOLINTNEXTLINE(misc-definitions-in-headers): each set's file includes this once
extern const Kernels kernel_table = {TAMSEL_KERNEL_NAME(TAMSEL_KERNEL_SET), score_batch, score_rows, walk_score,
                                     walk_nearer_to_any};

}  // namespace tamsel::TAMSEL_KERNEL_SET
