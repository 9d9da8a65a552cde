// Exact index: every stored vector is scored against the query.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/base/errors.hpp"
#include "core/base/large_buffer.hpp"
#include "core/base/result.hpp"
#include "core/base/scored.hpp"
#include "core/batch/interruption.hpp"
#include "core/scoring/metric.hpp"

namespace tamsel {

class Flat {
 public:
  Flat(std::size_t dim, Metric metric) : dim_(dim), metric_(metric) {}

  std::size_t dim() const { return dim_; }
  std::size_t size() const { return dim_ == 0 ? 0 : values_.size() / dim_; }
  // Emptiness looks at the stored numbers: a dim-0 index never holds any.
  bool empty() const { return values_.empty(); }

  // Makes room for `values` more numbers, so the appends that follow cannot fail.
  void reserve_more(std::size_t values);
  // The caller has checked that `vector` has `dim` values.
  void append(std::span<const double> vector);

  // The k best (score, id) entries in ascending (score, id) order; Interrupted
  // when `interruption` stops the scan.
  Result<std::vector<ScoredId>, FlatError> search(std::span<const double> query, std::size_t k,
                                                  Interruption interruption = {}) const;

 private:
  std::size_t dim_;
  Metric metric_;
  LargeBuffer<double> values_;
};

}  // namespace tamsel
