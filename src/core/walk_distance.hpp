// The compact copy of the vectors that the graph walk reads, and its kernel.
//
// A walk only compares distances with one another, so it may measure on a
// coarser copy: every stored vector is kept a second time as one signed 8-bit
// code per component and one float32 scale, the vector's largest magnitude
// over 127 (component i is about scale * code i). That is an eighth of the
// float64 vector, and a row of 128 components fits in three cache lines. The
// query is taken as float32. Sums may run in any order. Every distance a
// caller sees is computed again, exactly, from the float64 vectors.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "core/distance.hpp"

#if defined(__AVX2__)
#include <immintrin.h>
#endif

namespace tamsel {

// A row of the compact copy: the scale, then the codes.
using CompactRow = const std::byte*;

inline constexpr std::size_t compact_row_size(std::size_t dim) { return sizeof(float) + dim; }

namespace walk_detail {

constexpr int kLargestCode = 127;

inline float scale_of(CompactRow row) {
  float scale;
  std::memcpy(&scale, row, sizeof scale);
  return scale;
}

inline const std::int8_t* codes_of(CompactRow row) {
  return reinterpret_cast<const std::int8_t*>(row + sizeof(float));
}

// What the kernel needs of a float32 query besides its values: its norm for
// the cosine similarity, nothing for the other metrics.
inline double query_norm(Metric metric, const float* query, std::size_t dim) {
  if (metric != Metric::Cosine) return 0.0;
  double squares = 0.0;
  for (std::size_t i = 0; i < dim; ++i) squares += double{query[i]} * query[i];
  return std::sqrt(squares);
}

}  // namespace walk_detail

// Writes the compact row of `values` to `row` (compact_row_size(dim) bytes).
// A vector with a NaN gets a NaN scale and zero codes, so every walk distance
// to or from it is NaN (which walk_distance gives as the farthest). One with
// infinities but no NaN gets an infinite scale, codes of +-127 at its
// infinities and 0 elsewhere: its inner products keep their infinite sign. A
// zero vector gets a zero scale. A scale beyond the float32 range is
// infinite, one below it zero or subnormal; the cosine, which ignores the
// scale, still sees the vector's direction.
inline void to_compact(const double* values, std::size_t dim, std::byte* row) {
  double largest = 0.0;
  bool has_nan = false;
  for (std::size_t i = 0; i < dim; ++i) {
    has_nan = has_nan || std::isnan(values[i]);
    largest = std::fmax(largest, std::fabs(values[i]));
  }
  const float scale = has_nan ? std::numeric_limits<float>::quiet_NaN()
                              : static_cast<float>(largest / walk_detail::kLargestCode);
  std::memcpy(row, &scale, sizeof scale);
  auto* codes = reinterpret_cast<std::int8_t*>(row + sizeof(float));
  for (std::size_t i = 0; i < dim; ++i) {
    // The ratio lies in [-1, 1] whatever the magnitude, so the code never leaves [-127, 127].
    double ratio = 0.0;
    if (std::isinf(largest)) ratio = std::isinf(values[i]) ? std::copysign(1.0, values[i]) : 0.0;
    else if (!has_nan && largest > 0.0) ratio = values[i] / largest;
    codes[i] = static_cast<std::int8_t>(std::lround(ratio * walk_detail::kLargestCode));
  }
}

// Writes the float32 form of a vector to `out` and returns its query_norm.
inline double to_walk_query(Metric metric, const double* values, std::size_t dim, float* out) {
  for (std::size_t i = 0; i < dim; ++i) out[i] = static_cast<float>(values[i]);
  return walk_detail::query_norm(metric, out, dim);
}

// The same for a stored vector, from its compact row. The cosine ignores the
// scale on both sides, so its query is taken from the codes alone; a NaN row
// still gives a zero norm, hence NaN distances.
inline double to_walk_query(Metric metric, CompactRow row, std::size_t dim, float* out) {
  const float scale = metric == Metric::Cosine ? 1.0f : walk_detail::scale_of(row);
  const std::int8_t* codes = walk_detail::codes_of(row);
  for (std::size_t i = 0; i < dim; ++i) out[i] = scale * static_cast<float>(codes[i]);
  return walk_detail::query_norm(metric, out, dim);
}

// The first cache lines of a row: the hardware prefetcher follows on from there.
inline void prefetch_compact(CompactRow row, std::size_t dim) {
  constexpr std::size_t kLine = 64;
  const std::size_t lines = std::min<std::size_t>(4, (compact_row_size(dim) + kLine - 1) / kLine);
  for (std::size_t line = 0; line < lines; ++line) __builtin_prefetch(row + line * kLine);
}

namespace walk_detail {

constexpr std::size_t kWidth = 16;
using Floats = float __attribute__((vector_size(kWidth * sizeof(float))));
using Codes = std::int8_t __attribute__((vector_size(kWidth)));
using Ints = std::int32_t __attribute__((vector_size(kWidth * sizeof(std::int32_t))));

inline Floats load(const float* p) {
  Floats lanes;
  std::memcpy(&lanes, p, sizeof lanes);
  return lanes;
}

using Floats8 = float __attribute__((vector_size(8 * sizeof(float))));
using Floats4 = float __attribute__((vector_size(4 * sizeof(float))));

// The compiler widens generic byte vectors one lane at a time; the
// instructions that widen 16 or 8 bytes at once are named where they exist.
inline Floats load(const std::int8_t* p) {
#if defined(__AVX512F__)
  // The zero-masked forms: the unmasked ones start from an undefined register,
  // which draws a false warning from the compiler.
  const __m512i wide = _mm512_maskz_cvtepi8_epi32(0xffff, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  return _mm512_maskz_cvtepi32_ps(0xffff, wide);
#elif defined(__AVX2__)
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const Floats8 low = _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(bytes));
  const Floats8 high = _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(_mm_unpackhi_epi64(bytes, bytes)));
  return __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
#else
  Codes codes;
  std::memcpy(&codes, p, sizeof codes);
  return __builtin_convertvector(__builtin_convertvector(codes, Ints), Floats);
#endif
}

// Adds the lanes pairwise, halving the width each step.
inline float total(Floats lanes) {
  const Floats8 eight = __builtin_shufflevector(lanes, lanes, 0, 1, 2, 3, 4, 5, 6, 7) +
                        __builtin_shufflevector(lanes, lanes, 8, 9, 10, 11, 12, 13, 14, 15);
  const Floats4 four = __builtin_shufflevector(eight, eight, 0, 1, 2, 3) + __builtin_shufflevector(eight, eight, 4, 5, 6, 7);
  return (four[0] + four[2]) + (four[1] + four[3]);
}

// The squared distance from q to the row's vector, scale * codes.
inline float squared_difference_sum(const float* q, const std::int8_t* codes, float scale, std::size_t n) {
  const Floats lanes_scale = Floats{} + scale;
  Floats s0 = {}, s1 = {};
  std::size_t i = 0;
  for (; i + 2 * kWidth <= n; i += 2 * kWidth) {
    const Floats d0 = load(q + i) - lanes_scale * load(codes + i);
    const Floats d1 = load(q + i + kWidth) - lanes_scale * load(codes + i + kWidth);
    s0 += d0 * d0;
    s1 += d1 * d1;
  }
  if (i + kWidth <= n) {
    const Floats d0 = load(q + i) - lanes_scale * load(codes + i);
    s0 += d0 * d0;
    i += kWidth;
  }
  float sum = total(s0 + s1);
  for (; i < n; ++i) {
    const float d = q[i] - scale * static_cast<float>(codes[i]);
    sum += d * d;
  }
  return sum;
}

// The sum of q times the codes (and, for the cosine, the squares of the
// codes alongside), two accumulators wide.
template <bool with_stored_squares>
inline void product_sum(const float* q, const std::int8_t* codes, std::size_t n, float& result,
                        float& stored_squares) {
  Floats s0 = {}, s1 = {}, v0 = {}, v1 = {};
  std::size_t i = 0;
  for (; i + 2 * kWidth <= n; i += 2 * kWidth) {
    const Floats a = load(codes + i), b = load(codes + i + kWidth);
    s0 += load(q + i) * a;
    s1 += load(q + i + kWidth) * b;
    if constexpr (with_stored_squares) {
      v0 += a * a;
      v1 += b * b;
    }
  }
  if (i + kWidth <= n) {
    const Floats a = load(codes + i);
    s0 += load(q + i) * a;
    if constexpr (with_stored_squares) v0 += a * a;
    i += kWidth;
  }
  float rest = total(s0 + s1), rest_squares = total(v0 + v1);
  for (; i < n; ++i) {
    const float x = static_cast<float>(codes[i]);
    rest += q[i] * x;
    if constexpr (with_stored_squares) rest_squares += x * x;
  }
  result = rest;
  stored_squares = rest_squares;
}


// The raw value of walk_distance.
inline double measure(Metric metric, const float* q, double query_norm, CompactRow row, std::size_t dim) {
  const std::int8_t* codes = codes_of(row);
  float paired = 0.0f, stored_squares = 0.0f;
  switch (metric) {
    case Metric::Euclidean:
      return squared_difference_sum(q, codes, scale_of(row), dim);
    case Metric::InnerProduct:
      product_sum<false>(q, codes, dim, paired, stored_squares);
      return static_cast<double>(scale_of(row)) * paired;
    case Metric::Cosine:
      product_sum<true>(q, codes, dim, paired, stored_squares);
      return static_cast<double>(paired) / (query_norm * std::sqrt(static_cast<double>(stored_squares)));
  }
  return 0.0;
}

}  // namespace walk_detail

// What a walk compares, for a float32 query against a compact row: the
// squared Euclidean distance (in the same order as the distance), the cosine
// similarity, or the inner product. `query_norm` is the query's Euclidean
// norm, used by the cosine similarity only. NaN comes out as +infinity: the
// walk keeps its farthest result on top of a heap and admits only what is
// nearer, and nothing is nearer than a NaN, so one NaN there would end the
// walk; as the farthest number it is the first to give way.
inline double walk_distance(Metric metric, const float* q, double query_norm, CompactRow row, std::size_t dim) {
  const double measured = walk_detail::measure(metric, q, query_norm, row, dim);
  return std::isnan(measured) ? std::numeric_limits<double>::infinity() : measured;
}

}  // namespace tamsel
