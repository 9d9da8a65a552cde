// Exact scores of many stored vectors against one query, several at a time.
#pragma once

#include <cstddef>

#include "core/metric.hpp"

namespace tamsel {

// Scores `count` stored vectors of length `dim` against a query of length `dim`.
// `vectors[j]` points at the j-th stored vector. Returns the scores in `out`.
void score_batch(Metric metric, const double* query, std::size_t dim, const double* const* vectors, std::size_t count,
                 double* out);

// Scores the `count` consecutive stored vectors that begin at `first` (row-major, `dim` apart).
void score_rows(Metric metric, const double* query, std::size_t dim, const double* first, std::size_t count,
                double* out);

}  // namespace tamsel
