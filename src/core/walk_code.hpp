// The encoding of the walk copy: how a stored vector is kept a second time
// for the graph walk, and the kernels that measure against it.
//
// The walk measures points of the walk space (walk_space.hpp), where every
// metric becomes a Euclidean proximity and the data sits centred and scaled
// near the unit. A walk only compares measures with one another, so it may
// read a coarser copy of a point. Two precisions:
// - Bytes: one signed 8-bit code per component and a float32 scale, the
//   point's largest magnitude over 127 (component i is about scale * code i),
//   with the codes' sum of squares. About an eighth of the float64 vector: a
//   row of 128 components fits in three cache lines.
// - Floats: the point in float32, for data that bytes cannot tell apart
//   (the store chooses, store.hpp).
// Either row also keeps the point's lift as a float32.
//
// What a row is measured from is a form: a query, a vector being linked, or
// a stored node. Against bytes a form is 16-bit integers and a scale, so a
// whole measure is one integer product of the codes (exact, in any order)
// and a few float64 steps:
//   |q - x|^2 = |q|^2 - 2 q.x + |x|^2,  q.x = scale_q scale_x (codes_q . codes_x).
// Against floats a form is float32 and the sums are float32. Every score a
// caller sees is computed again, exactly, from the float64 vectors.
//
// Nothing outside this file knows the layout of a row or a form: the store
// keeps the rows, and the walk measures through the kernels below.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace tamsel {

// A row of the walk copy.
using WalkRow = const std::byte*;
// Storage for forms: whole 8-byte words, so that every form starts aligned.
using WalkForms = std::vector<std::uint64_t>;

namespace walk_detail {

constexpr int kLargestCode = 127;

// A row: its scale (1 in a row of floats), its lift, the sum of squares of
// its codes (rows of bytes, as a float32: exact up to 1,040 components),
// then one element per component.
constexpr std::size_t kLiftAt = sizeof(float);
constexpr std::size_t kSquaresAt = 2 * sizeof(float);
constexpr std::size_t kElementsAt = 3 * sizeof(float);

// A form: its scale, its squared norm and its lift as float64, then one
// element per component.
constexpr std::size_t kFormSquaresAt = sizeof(double);
constexpr std::size_t kFormLiftAt = 2 * sizeof(double);
constexpr std::size_t kFormElementsAt = 3 * sizeof(double);

template <class Number>
Number number_at(const std::byte* at) {
  Number value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

template <class Number>
void put(std::byte* at, Number value) {
  std::memcpy(at, &value, sizeof value);
}

template <class Element>
const Element* elements_of(WalkRow row) {
  return reinterpret_cast<const Element*>(row + kElementsAt);
}

template <class Element>
const Element* form_elements(const std::byte* form) {
  return reinterpret_cast<const Element*>(form + kFormElementsAt);
}

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

// Products of neighbouring lane pairs, added: 16 lanes of 16 bits to 8 of
// 32, one instruction where there is one.
inline Ints8 multiply_add_pairs(Shorts a, Shorts b) {
#if defined(__AVX2__)
  return reinterpret_cast<Ints8>(_mm256_madd_epi16(reinterpret_cast<__m256i>(a), reinterpret_cast<__m256i>(b)));
#else
  using Shorts8 = std::int16_t __attribute__((vector_size(8 * sizeof(std::int16_t))));
  const Shorts8 a_even = __builtin_shufflevector(a, a, 0, 2, 4, 6, 8, 10, 12, 14);
  const Shorts8 a_odd = __builtin_shufflevector(a, a, 1, 3, 5, 7, 9, 11, 13, 15);
  const Shorts8 b_even = __builtin_shufflevector(b, b, 0, 2, 4, 6, 8, 10, 12, 14);
  const Shorts8 b_odd = __builtin_shufflevector(b, b, 1, 3, 5, 7, 9, 11, 13, 15);
  return __builtin_convertvector(a_even, Ints8) * __builtin_convertvector(b_even, Ints8) +
         __builtin_convertvector(a_odd, Ints8) * __builtin_convertvector(b_odd, Ints8);
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

// q . codes, exactly; the form's largest code keeps every 32-bit lane from overflowing.
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

}  // namespace walk_detail

enum class WalkPrecision { Bytes, Floats };

// Rows of bytes serve up to this many components: a form's codes stay at
// least as fine as the rows' and no 32-bit lane of their product overflows.
constexpr std::size_t kLargestByteDim =
    std::numeric_limits<std::int32_t>::max() / (walk_detail::kLargestCode * walk_detail::kLargestCode);

// What the graph walk reads of the vectors of one index, and how it measures.
class WalkCode {
 public:
  WalkCode(std::size_t dim, WalkPrecision precision)
      : dim_(dim),
        precision_(precision),
        // dim * largest form code * 127 fits a 32-bit lane.
        largest_form_code_(static_cast<int>(std::clamp<std::size_t>(
            std::numeric_limits<std::int32_t>::max() / (walk_detail::kLargestCode * std::max<std::size_t>(dim, 1)), 1,
            std::numeric_limits<std::int16_t>::max()))) {}

  WalkPrecision precision() const { return precision_; }
  std::size_t row_size() const { return walk_detail::kElementsAt + dim_ * element_size(); }
  // Words of storage per form.
  std::size_t form_words() const {
    return (walk_detail::kFormElementsAt + dim_ * sizeof(float) + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t);
  }

  // Writes the row of the point `point` (dim numbers) with its lift.
  // A point with a NaN gets a NaN scale and zero elements, so every measure
  // to or from it is NaN (which the walk takes as the farthest). In bytes,
  // one with infinities but no NaN gets an infinite scale, codes of +-127 at
  // its infinities and 0 elsewhere: its products keep their infinite sign;
  // a zero point gets a zero scale.
  void encode(const double* point, double lift, std::byte* row) const;
  // The form of an exact point (dim numbers) with its lift.
  void make_form(const double* point, double lift, std::byte* form) const;
  // The form of a row's point, as the row keeps it.
  void decode_form(WalkRow row, std::byte* form) const;

  // Calls `visit` with a measurer of rows of this code's precision: one
  // branch for many rows.
  template <class Visit>
  decltype(auto) visit_rows(Visit&& visit) const {
    if (precision_ == WalkPrecision::Bytes) return visit(ByteRows{dim_});
    return visit(FloatRows{dim_});
  }

  // The first cache lines of a row: the hardware prefetcher follows on from there.
  // Always inlined: the compiler takes a function that only prefetches for
  // one without effect, and drops the calls of one it has not inlined.
  [[gnu::always_inline]] void prefetch(WalkRow row) const {
    constexpr std::size_t kLine = 64;
    const std::size_t lines = std::min<std::size_t>(4, (row_size() + kLine - 1) / kLine);
    for (std::size_t line = 0; line < lines; ++line) __builtin_prefetch(row + line * kLine);
  }

  // Measures of rows of bytes from a form: |q - x|^2 with the lifts, and q . x without.
  struct ByteRows {
    std::size_t dim;
    double squared_distance(const std::byte* form, WalkRow row) const {
      using namespace walk_detail;
      const double row_scale = number_at<float>(row);
      const double lift = number_at<double>(form + kFormLiftAt) - number_at<float>(row + kLiftAt);
      return number_at<double>(form + kFormSquaresAt) + row_scale * row_scale * number_at<float>(row + kSquaresAt) -
             2.0 * product(form, row) + lift * lift;
    }
    double product(const std::byte* form, WalkRow row) const {
      using namespace walk_detail;
      const auto codes =
          static_cast<double>(integer_product(form_elements<std::int16_t>(form), elements_of<std::int8_t>(row), dim));
      return number_at<double>(form) * number_at<float>(row) * codes;
    }
  };

  // The same of rows of floats.
  struct FloatRows {
    std::size_t dim;
    double squared_distance(const std::byte* form, WalkRow row) const {
      using namespace walk_detail;
      const double lift = number_at<double>(form + kFormLiftAt) - number_at<float>(row + kLiftAt);
      return scales(form, row) * squared_difference_sum(form_elements<float>(form), elements_of<float>(row), dim) +
             lift * lift;
    }
    double product(const std::byte* form, WalkRow row) const {
      using namespace walk_detail;
      return scales(form, row) * product_sum(form_elements<float>(form), elements_of<float>(row), dim);
    }
    // 1, or NaN when the form or the row is of a point with a NaN.
    static double scales(const std::byte* form, WalkRow row) {
      return walk_detail::number_at<double>(form) * walk_detail::number_at<float>(row);
    }
  };

 private:
  std::size_t element_size() const { return precision_ == WalkPrecision::Bytes ? 1 : sizeof(float); }

  std::size_t dim_;
  WalkPrecision precision_;
  int largest_form_code_;
};

inline void WalkCode::encode(const double* point, double lift, std::byte* row) const {
  using namespace walk_detail;
  double largest = 0.0;
  bool has_nan = false;
  for (std::size_t i = 0; i < dim_; ++i) {
    has_nan = has_nan || std::isnan(point[i]);
    largest = std::fmax(largest, std::fabs(point[i]));
  }
  constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
  put(row + kLiftAt, static_cast<float>(lift));
  if (precision_ == WalkPrecision::Floats) {
    put(row, has_nan ? kNaN : 1.0f);
    put(row + kSquaresAt, 0.0f);
    for (std::size_t i = 0; i < dim_; ++i)
      put(row + kElementsAt + i * sizeof(float), has_nan ? 0.0f : static_cast<float>(point[i]));
    return;
  }
  put(row, has_nan ? kNaN : static_cast<float>(largest / kLargestCode));
  std::int64_t squares = 0;
  for (std::size_t i = 0; i < dim_; ++i) {
    // The ratio lies in [-1, 1] whatever the magnitude, so the code never leaves [-127, 127].
    double ratio = 0.0;
    if (std::isinf(largest)) ratio = std::isinf(point[i]) ? std::copysign(1.0, point[i]) : 0.0;
    else if (!has_nan && largest > 0.0) ratio = point[i] / largest;
    const auto code = static_cast<std::int8_t>(std::lround(ratio * kLargestCode));
    put(row + kElementsAt + i, code);
    squares += std::int64_t{code} * code;
  }
  put(row + kSquaresAt, static_cast<float>(squares));
}

inline void WalkCode::make_form(const double* point, double lift, std::byte* form) const {
  using namespace walk_detail;
  double largest = 0.0, squares = 0.0;
  bool has_nan = false;
  for (std::size_t i = 0; i < dim_; ++i) {
    has_nan = has_nan || std::isnan(point[i]);
    largest = std::fmax(largest, std::fabs(point[i]));
    squares += point[i] * point[i];
  }
  put(form + kFormLiftAt, lift);
  if (precision_ == WalkPrecision::Floats) {
    put(form, 1.0);
    put(form + kFormSquaresAt, squares);
    for (std::size_t i = 0; i < dim_; ++i)
      put(form + kFormElementsAt + i * sizeof(float), static_cast<float>(point[i]));
    return;
  }
  const double scale = has_nan ? std::numeric_limits<double>::quiet_NaN() : largest / largest_form_code_;
  put(form, scale);
  put(form + kFormSquaresAt, squares);
  for (std::size_t i = 0; i < dim_; ++i) {
    double ratio = 0.0;
    if (std::isinf(largest)) ratio = std::isinf(point[i]) ? std::copysign(1.0, point[i]) : 0.0;
    else if (!has_nan && largest > 0.0) ratio = point[i] / largest;
    put(form + kFormElementsAt + i * sizeof(std::int16_t),
        static_cast<std::int16_t>(std::lround(ratio * largest_form_code_)));
  }
}

inline void WalkCode::decode_form(WalkRow row, std::byte* form) const {
  using namespace walk_detail;
  const double scale = number_at<float>(row);
  put(form + kFormLiftAt, static_cast<double>(number_at<float>(row + kLiftAt)));
  if (precision_ == WalkPrecision::Floats) {
    double squares = 0.0;
    for (std::size_t i = 0; i < dim_; ++i) {
      const float element = number_at<float>(row + kElementsAt + i * sizeof(float));
      put(form + kFormElementsAt + i * sizeof(float), element);
      squares += double{element} * element;
    }
    put(form, scale);
    put(form + kFormSquaresAt, scale * scale * squares);
    return;
  }
  // The row's own codes (kLargestByteDim keeps them within the form's range).
  put(form, scale);
  put(form + kFormSquaresAt, scale * scale * number_at<float>(row + kSquaresAt));
  for (std::size_t i = 0; i < dim_; ++i)
    put(form + kFormElementsAt + i * sizeof(std::int16_t), std::int16_t{number_at<std::int8_t>(row + kElementsAt + i)});
}

}  // namespace tamsel
