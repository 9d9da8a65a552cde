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
// - Doubles: the point in float64, for data that float32 cannot tell apart
//   either: groups of vectors much farther apart than their spread, or a
//   tight group inside a spread one, whose neighbours differ where float32
//   has no digits left.
// A row also keeps the point's lift, as a float32 (as a float64 in a row of
// doubles).
//
// What a row is measured from is a form: a query, a vector being linked, or
// a stored node. Against bytes a form is 16-bit integers and a scale, so a
// whole measure is one integer product of the codes (exact, in any order)
// and a few float64 steps:
//   |q - x|^2 = |q|^2 - 2 q.x + |x|^2,  q.x = scale_q scale_x (codes_q . codes_x).
// Against floats a form is float32 and the sums are float32, against doubles
// float64. Every score a caller sees is computed again, exactly, from the
// float64 vectors.
//
// Nothing outside this file and the kernels (kernels/body.hpp) knows the
// layout of a row or a form: the store keeps the rows, and the walk measures
// through the kernels.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace tamsel {

// A row of the walk copy.
using WalkRow = const std::byte*;
// Storage for forms: whole 8-byte words, so that every form starts aligned.
using WalkForms = std::vector<std::uint64_t>;

namespace walk_detail {

constexpr int kLargestCode = 127;

// A row: its scale (1 in a row of floats or doubles), its lift, the sum of
// squares of its codes (rows of bytes, as a float32: exact up to 1,040
// components), then one element per component. A row of doubles keeps its
// lift as a float64 in place of the float32 lift and sum, from kDoubleLiftAt.
constexpr std::size_t kLiftAt = sizeof(float);
constexpr std::size_t kSquaresAt = 2 * sizeof(float);
constexpr std::size_t kElementsAt = 3 * sizeof(float);
constexpr std::size_t kDoubleLiftAt = sizeof(double);
constexpr std::size_t kDoubleElementsAt = 2 * sizeof(double);

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
  return reinterpret_cast<const Element*>(row + (sizeof(Element) == sizeof(double) ? kDoubleElementsAt : kElementsAt));
}

template <class Element>
const Element* form_elements(const std::byte* form) {
  return reinterpret_cast<const Element*>(form + kFormElementsAt);
}

}  // namespace walk_detail

enum class WalkPrecision { Bytes, Floats, Doubles };

// The rows of a store, as the walk kernels read them: row `id` starts at
// first + id * row_size.
struct WalkRows {
  const std::byte* first;
  std::size_t row_size;
  std::size_t dim;
  WalkPrecision precision;
};

// NaN (a vector with a NaN, a zero vector under the cosine) comes out as
// +infinity: the walk keeps its farthest result on top of a heap and admits
// only what is nearer, and nothing is nearer than a NaN, so one NaN there
// would end the walk; as the farthest number it is the first to give way.
inline double comparable(double measured) {
  return std::isnan(measured) ? std::numeric_limits<double>::infinity() : measured;
}

// Rows of bytes serve up to this many components: a form's codes stay at
// least as fine as the rows' and no 32-bit lane of their product overflows.
constexpr std::size_t kLargestByteDim =
    std::numeric_limits<std::int32_t>::max() / (walk_detail::kLargestCode * walk_detail::kLargestCode);

// What the graph walk reads of the vectors of one index, and how it measures.
class WalkCode {
 public:
  // The most cache lines prefetched of a row (docs/tuning.md, "Where a
  // query's time goes"); the hardware prefetcher follows on from there.
  static constexpr std::size_t kPrefetchLines = 8;

  WalkCode(std::size_t dim, WalkPrecision precision)
      : dim_(dim),
        precision_(precision),
        // dim * largest form code * 127 fits a 32-bit lane.
        largest_form_code_(static_cast<int>(std::clamp<std::size_t>(
            std::numeric_limits<std::int32_t>::max() / (walk_detail::kLargestCode * std::max<std::size_t>(dim, 1)), 1,
            std::numeric_limits<std::int16_t>::max()))) {}

  WalkPrecision precision() const { return precision_; }
  std::size_t row_size() const {
    return (precision_ == WalkPrecision::Doubles ? walk_detail::kDoubleElementsAt : walk_detail::kElementsAt) +
           dim_ * element_size();
  }
  // Words of storage per form: float32 elements, or 16-bit codes in the
  // same room, or float64.
  std::size_t form_words() const {
    const std::size_t element = precision_ == WalkPrecision::Doubles ? sizeof(double) : sizeof(float);
    return (walk_detail::kFormElementsAt + dim_ * element + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t);
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

  // Every cache line a row touches, up to kPrefetchLines: rows are not
  // aligned to lines, so a row of 140 bytes touches four lines as often as
  // three. Always inlined: the compiler takes a function that only prefetches
  // for one without effect, and drops the calls of one it has not inlined.
  [[gnu::always_inline]] void prefetch(WalkRow row) const {
    constexpr std::size_t kLine = 64;
    const std::size_t size = row_size();
    const std::size_t into_line = reinterpret_cast<std::uintptr_t>(row) % kLine;
    const std::size_t lines = std::min(kPrefetchLines, (into_line + size + kLine - 1) / kLine);
    // The last address stays inside the row: it lies in the row's last line.
    for (std::size_t line = 0; line < lines; ++line) __builtin_prefetch(row + std::min(line * kLine, size - 1));
  }

 private:
  std::size_t element_size() const {
    switch (precision_) {
      case WalkPrecision::Bytes: return 1;
      case WalkPrecision::Floats: return sizeof(float);
      case WalkPrecision::Doubles: return sizeof(double);
    }
    __builtin_unreachable();
  }

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
  if (precision_ == WalkPrecision::Doubles) {
    put(row, has_nan ? kNaN : 1.0f);
    put(row + kLiftAt, 0.0f);
    put(row + kDoubleLiftAt, lift);
    for (std::size_t i = 0; i < dim_; ++i) put(row + kDoubleElementsAt + i * sizeof(double), has_nan ? 0.0 : point[i]);
    return;
  }
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
  if (precision_ == WalkPrecision::Doubles) {
    put(form, 1.0);
    put(form + kFormSquaresAt, squares);
    for (std::size_t i = 0; i < dim_; ++i) put(form + kFormElementsAt + i * sizeof(double), point[i]);
    return;
  }
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
  if (precision_ == WalkPrecision::Doubles) {
    double squares = 0.0;
    for (std::size_t i = 0; i < dim_; ++i) {
      const double element = number_at<double>(row + kDoubleElementsAt + i * sizeof(double));
      put(form + kFormElementsAt + i * sizeof(double), element);
      squares += element * element;
    }
    put(form, scale);
    put(form + kFormSquaresAt, scale * scale * squares);
    put(form + kFormLiftAt, number_at<double>(row + kDoubleLiftAt));
    return;
  }
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
