// The encoding of the walk copy: how a stored vector is kept a second time
// for the graph walk, and the float32 kernels that measure a query against it.
//
// The walk measures points of the walk space (walk_space.hpp), where every
// metric becomes a Euclidean proximity and the data sits centred and scaled
// near the unit. A walk only compares measures with one another, so it may
// read a coarser copy of a point. Two precisions:
// - Bytes: one signed 8-bit code per component and one float32 scale, the
//   point's largest magnitude over 127 (component i is about scale * code i).
//   About an eighth of the float64 vector: a row of 128 components fits in
//   three cache lines.
// - Floats: the point in float32, for data that bytes cannot tell apart
//   (the store chooses, store.hpp).
// Either row also keeps the point's lift as a float32. The query is taken as
// float32. Sums may run in any order. Every score a caller sees is computed
// again, exactly, from the float64 vectors.
//
// Nothing outside this file knows the layout of a row: the store keeps the
// rows, and the walk measures through the kernels below.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#if defined(__AVX2__)
#include <immintrin.h>
#endif

namespace tamsel {

// A row of the walk copy.
using WalkRow = const std::byte*;

namespace walk_detail {

constexpr int kLargestCode = 127;

// A row: the scale (1 in a row of floats), the lift, then one element per component.
constexpr std::size_t kLiftAt = sizeof(float);
constexpr std::size_t kElementsAt = 2 * sizeof(float);

inline float float_at(WalkRow row, std::size_t offset) {
  float value;
  std::memcpy(&value, row + offset, sizeof value);
  return value;
}

inline float scale_of(WalkRow row) { return float_at(row, 0); }
inline float lift_of(WalkRow row) { return float_at(row, kLiftAt); }
template <class Element>
const Element* elements_of(WalkRow row) {
  return reinterpret_cast<const Element*>(row + kElementsAt);
}

constexpr std::size_t kWidth = 16;
using Floats = float __attribute__((vector_size(kWidth * sizeof(float))));
using Codes = std::int8_t __attribute__((vector_size(kWidth)));
using Ints = std::int32_t __attribute__((vector_size(kWidth * sizeof(std::int32_t))));
using Floats8 = float __attribute__((vector_size(8 * sizeof(float))));
using Floats4 = float __attribute__((vector_size(4 * sizeof(float))));

inline Floats load(const float* p) {
  Floats lanes;
  std::memcpy(&lanes, p, sizeof lanes);
  return lanes;
}

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

// Element i, read as bytes (the rows are a buffer of bytes).
template <class Element>
float value_at(const Element* x, std::size_t i) {
  Element value;
  std::memcpy(&value, x + i, sizeof value);
  return static_cast<float>(value);
}

// Adds the lanes pairwise, halving the width each step.
inline float total(Floats lanes) {
  const Floats8 eight = __builtin_shufflevector(lanes, lanes, 0, 1, 2, 3, 4, 5, 6, 7) +
                        __builtin_shufflevector(lanes, lanes, 8, 9, 10, 11, 12, 13, 14, 15);
  const Floats4 four =
      __builtin_shufflevector(eight, eight, 0, 1, 2, 3) + __builtin_shufflevector(eight, eight, 4, 5, 6, 7);
  return (four[0] + four[2]) + (four[1] + four[3]);
}

// The squared distance from q to scale * x.
template <class Element>
float squared_difference_sum(const float* q, const Element* x, float scale, std::size_t n) {
  const Floats lanes_scale = Floats{} + scale;
  Floats s0 = {}, s1 = {};
  std::size_t i = 0;
  for (; i + 2 * kWidth <= n; i += 2 * kWidth) {
    const Floats d0 = load(q + i) - lanes_scale * load(x + i);
    const Floats d1 = load(q + i + kWidth) - lanes_scale * load(x + i + kWidth);
    s0 += d0 * d0;
    s1 += d1 * d1;
  }
  if (i + kWidth <= n) {
    const Floats d0 = load(q + i) - lanes_scale * load(x + i);
    s0 += d0 * d0;
    i += kWidth;
  }
  float sum = total(s0 + s1);
  for (; i < n; ++i) {
    const float d = q[i] - scale * value_at(x, i);
    sum += d * d;
  }
  return sum;
}

// The sum of q times x, two accumulators wide.
template <class Element>
float product_sum(const float* q, const Element* x, std::size_t n) {
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
  for (; i < n; ++i) sum += q[i] * value_at(x, i);
  return sum;
}

}  // namespace walk_detail

enum class WalkPrecision { Bytes, Floats };

// What the graph walk reads of the vectors of one index, and how it measures.
// A form is how a point is measured against rows: dim float32 components,
// then its lift.
class WalkCode {
 public:
  WalkCode(std::size_t dim, WalkPrecision precision) : dim_(dim), precision_(precision) {}

  WalkPrecision precision() const { return precision_; }
  std::size_t row_size() const {
    return walk_detail::kElementsAt + dim_ * (precision_ == WalkPrecision::Bytes ? 1 : sizeof(float));
  }
  std::size_t form_size() const { return dim_ + 1; }

  // Writes the row of the point `point` (dim numbers) with its lift.
  // A point with a NaN gets a NaN scale and zero elements, so every measure
  // to or from it is NaN (which the walk takes as the farthest). In bytes,
  // one with infinities but no NaN gets an infinite scale, codes of +-127 at
  // its infinities and 0 elsewhere: its products keep their infinite sign;
  // a zero point gets a zero scale.
  void encode(const double* point, double lift, std::byte* row) const;

  // The form of a row's point, as the row keeps it (form_size() floats into `out`).
  void decode(WalkRow row, float* out) const;

  // Calls `visit` with a measurer of rows of this code's precision: one
  // branch for many rows.
  template <class Visit>
  decltype(auto) visit_rows(Visit&& visit) const {
    if (precision_ == WalkPrecision::Bytes) return visit(Rows<std::int8_t>{dim_});
    return visit(Rows<float>{dim_});
  }

  // The first cache lines of a row: the hardware prefetcher follows on from there.
  // Always inlined: the compiler takes a function that only prefetches for
  // one without effect, and drops the calls of one it has not inlined.
  [[gnu::always_inline]] void prefetch(WalkRow row) const {
    constexpr std::size_t kLine = 64;
    const std::size_t lines = std::min<std::size_t>(4, (row_size() + kLine - 1) / kLine);
    for (std::size_t line = 0; line < lines; ++line) __builtin_prefetch(row + line * kLine);
  }

  template <class ElementType>
  struct Rows {
    using Element = ElementType;
    std::size_t dim;

    // |q - x|^2 for the row's point x, lifts included.
    float squared_distance(const float* q, WalkRow row) const {
      const float lift = q[dim] - walk_detail::lift_of(row);
      return walk_detail::squared_difference_sum(q, walk_detail::elements_of<Element>(row), walk_detail::scale_of(row),
                                                 dim) +
             lift * lift;
    }

    // q . x for the row's point x, without the lifts.
    double product(const float* q, WalkRow row) const {
      return static_cast<double>(walk_detail::scale_of(row)) *
             walk_detail::product_sum(q, walk_detail::elements_of<Element>(row), dim);
    }
  };

 private:
  std::size_t dim_;
  WalkPrecision precision_;
};

inline void WalkCode::encode(const double* point, double lift, std::byte* row) const {
  double largest = 0.0;
  bool has_nan = false;
  for (std::size_t i = 0; i < dim_; ++i) {
    has_nan = has_nan || std::isnan(point[i]);
    largest = std::fmax(largest, std::fabs(point[i]));
  }
  constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
  const auto lift32 = static_cast<float>(lift);
  std::memcpy(row + walk_detail::kLiftAt, &lift32, sizeof lift32);
  if (precision_ == WalkPrecision::Floats) {
    const float scale = has_nan ? kNaN : 1.0f;
    std::memcpy(row, &scale, sizeof scale);
    for (std::size_t i = 0; i < dim_; ++i) {
      const float element = has_nan ? 0.0f : static_cast<float>(point[i]);
      std::memcpy(row + walk_detail::kElementsAt + i * sizeof element, &element, sizeof element);
    }
    return;
  }
  const float scale = has_nan ? kNaN : static_cast<float>(largest / walk_detail::kLargestCode);
  std::memcpy(row, &scale, sizeof scale);
  auto* codes = reinterpret_cast<std::int8_t*>(row + walk_detail::kElementsAt);
  for (std::size_t i = 0; i < dim_; ++i) {
    // The ratio lies in [-1, 1] whatever the magnitude, so the code never leaves [-127, 127].
    double ratio = 0.0;
    if (std::isinf(largest)) ratio = std::isinf(point[i]) ? std::copysign(1.0, point[i]) : 0.0;
    else if (!has_nan && largest > 0.0) ratio = point[i] / largest;
    codes[i] = static_cast<std::int8_t>(std::lround(ratio * walk_detail::kLargestCode));
  }
}

inline void WalkCode::decode(WalkRow row, float* out) const {
  const float scale = walk_detail::scale_of(row);
  visit_rows([&](auto rows) {
    const auto* elements = walk_detail::elements_of<typename decltype(rows)::Element>(row);
    for (std::size_t i = 0; i < dim_; ++i) out[i] = scale * walk_detail::value_at(elements, i);
  });
  out[dim_] = walk_detail::lift_of(row);
}

}  // namespace tamsel
