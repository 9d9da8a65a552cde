// The float64 sums every exact score is made of.
//
// Every sum starts at +0.0 and adds its terms from the first component to the
// last, each product rounded before it is added (the build forbids fused
// multiply-add). The kernels (kernels/body.hpp) sum several vectors at once,
// one independent accumulator per vector: each sum sees exactly the terms, in
// exactly the order, of the single-vector form here, so the results are
// bit-identical while the add chains overlap in the pipeline.
#pragma once

#include <cstddef>

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

}  // namespace tamsel
