// The compact copy of the vectors that the graph walk reads, and its kernel.
//
// A walk only compares distances with one another, so it may measure on a
// coarser copy: every stored vector is kept a second time as bfloat16 (the
// top half of a float32: its range, 8 bits of mantissa), a quarter of the
// float64 vector, and the query is taken as float32. Sums may run in any order.
// Every distance a caller sees is computed again, exactly, from the float64 vectors.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/distance.hpp"

namespace tamsel {

using Compact = std::uint16_t;

inline Compact to_compact(double value) {
  const float narrowed = static_cast<float>(value);
  std::uint32_t bits;
  std::memcpy(&bits, &narrowed, sizeof bits);
  if (std::isnan(narrowed)) return static_cast<Compact>((bits >> 16) | 0x40);  // stays a NaN
  bits += 0x7fff + ((bits >> 16) & 1);  // round to nearest, ties to even
  return static_cast<Compact>(bits >> 16);
}

inline float from_compact(Compact value) {
  const std::uint32_t bits = std::uint32_t{value} << 16;
  float widened;
  std::memcpy(&widened, &bits, sizeof widened);
  return widened;
}

inline float to_float(double value) { return static_cast<float>(value); }
inline float to_float(Compact value) { return from_compact(value); }

// Writes the float32 form of a vector, from its float64 or compact values, to
// `out`, and returns what the walk's kernel needs of it besides: its norm for
// the cosine similarity, nothing for the other metrics.
template <class Source>
inline double to_walk_query(Metric metric, const Source* values, std::size_t dim, float* out) {
  for (std::size_t i = 0; i < dim; ++i) out[i] = to_float(values[i]);
  if (metric != Metric::Cosine) return 0.0;
  double squares = 0.0;
  for (std::size_t i = 0; i < dim; ++i) squares += double{out[i]} * out[i];
  return std::sqrt(squares);
}

namespace walk_detail {

constexpr std::size_t kWidth = 16;
using Floats = float __attribute__((vector_size(kWidth * sizeof(float))));
using Halves = std::uint16_t __attribute__((vector_size(kWidth * sizeof(std::uint16_t))));
using Words = std::uint32_t __attribute__((vector_size(kWidth * sizeof(std::uint32_t))));

inline Floats load(const float* p) {
  Floats lanes;
  std::memcpy(&lanes, p, sizeof lanes);
  return lanes;
}

inline Floats load(const Compact* p) {
  Halves halves;
  std::memcpy(&halves, p, sizeof halves);
  const Words words = __builtin_convertvector(halves, Words) << 16;
  Floats lanes;
  std::memcpy(&lanes, &words, sizeof lanes);
  return lanes;
}

using Floats8 = float __attribute__((vector_size(8 * sizeof(float))));
using Floats4 = float __attribute__((vector_size(4 * sizeof(float))));

// Adds the lanes pairwise, halving the width each step.
inline float total(Floats lanes) {
  const Floats8 eight = __builtin_shufflevector(lanes, lanes, 0, 1, 2, 3, 4, 5, 6, 7) +
                        __builtin_shufflevector(lanes, lanes, 8, 9, 10, 11, 12, 13, 14, 15);
  const Floats4 four = __builtin_shufflevector(eight, eight, 0, 1, 2, 3) + __builtin_shufflevector(eight, eight, 4, 5, 6, 7);
  return (four[0] + four[2]) + (four[1] + four[3]);
}

enum class Sum { SquaredDifference, Product };

template <Sum kind>
inline Floats term(Floats q, Floats v) {
  if constexpr (kind == Sum::SquaredDifference) {
    const Floats d = q - v;
    return d * d;
  } else {
    return q * v;
  }
}

// Sums a term over the components of q and v (and, for the cosine, the
// squares of v alongside), two accumulators wide.
template <Sum kind, bool with_stored_squares>
inline void sum(const float* q, const Compact* v, std::size_t n, float& result, float& stored_squares) {
  Floats s0 = {}, s1 = {}, v0 = {}, v1 = {};
  std::size_t i = 0;
  for (; i + 2 * kWidth <= n; i += 2 * kWidth) {
    const Floats a = load(v + i), b = load(v + i + kWidth);
    s0 += term<kind>(load(q + i), a);
    s1 += term<kind>(load(q + i + kWidth), b);
    if constexpr (with_stored_squares) {
      v0 += a * a;
      v1 += b * b;
    }
  }
  if (i + kWidth <= n) {
    const Floats a = load(v + i);
    s0 += term<kind>(load(q + i), a);
    if constexpr (with_stored_squares) v0 += a * a;
    i += kWidth;
  }
  float rest = total(s0 + s1), rest_squares = total(v0 + v1);
  for (; i < n; ++i) {
    const float x = from_compact(v[i]);
    if constexpr (kind == Sum::SquaredDifference) {
      rest += (q[i] - x) * (q[i] - x);
    } else {
      rest += q[i] * x;
    }
    if constexpr (with_stored_squares) rest_squares += x * x;
  }
  result = rest;
  stored_squares = rest_squares;
}

}  // namespace walk_detail

// What a walk compares, for a float32 query against a compact stored vector:
// the squared Euclidean distance (in the same order as the distance), the
// cosine similarity, or the inner product. `query_norm` is the query's
// Euclidean norm, used by the cosine similarity only.
inline double walk_distance(Metric metric, const float* q, double query_norm, const Compact* v, std::size_t dim) {
  using walk_detail::Sum;
  float paired = 0.0f, stored_squares = 0.0f;
  switch (metric) {
    case Metric::Euclidean:
      walk_detail::sum<Sum::SquaredDifference, false>(q, v, dim, paired, stored_squares);
      return paired;
    case Metric::InnerProduct:
      walk_detail::sum<Sum::Product, false>(q, v, dim, paired, stored_squares);
      return paired;
    case Metric::Cosine:
      walk_detail::sum<Sum::Product, true>(q, v, dim, paired, stored_squares);
      return static_cast<double>(paired) / (query_norm * std::sqrt(static_cast<double>(stored_squares)));
  }
  return 0.0;
}

}  // namespace tamsel
