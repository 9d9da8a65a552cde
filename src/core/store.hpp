// The stored vectors: float64 values, and the walk copy the graph walk reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/large_buffer.hpp"
#include "core/metric.hpp"
#include "core/scored.hpp"
#include "core/walk_code.hpp"

namespace tamsel {

class VectorStore {
 public:
  explicit VectorStore(std::size_t dim) : dim_(dim), code_(dim) {}

  std::size_t dim() const { return dim_; }
  // Emptiness looks at the stored numbers: a dim-0 store never holds any.
  bool empty() const { return values_.empty(); }
  const double* row(std::size_t id) const { return values_.data() + id * dim_; }
  std::span<const double> vector(std::size_t id) const { return {row(id), dim_}; }

  const WalkCode& code() const { return code_; }
  WalkRow walk_row(std::size_t id) const { return walk_rows_.data() + id * code_.row_size(); }

  class Room {
    friend class VectorStore;
    Room() = default;
  };
  // Room for `count` more vectors.
  Room reserve(std::size_t count);
  // Appends `vector` (dim numbers) and its walk row.
  void append(const Room& room, const double* vector);
  // Drops the vectors from `count` on: a batch gives back the rows it did not store.
  void truncate(std::size_t count);

  // Exact scores against a query of `length` numbers (the paired sums run
  // over the common length): of the nodes `ids`, into `out`, or of every entry.
  void score_exactly(Metric metric, const double* query, std::size_t length, const std::uint32_t* ids,
                     std::size_t count, double* out) const;
  void score_exactly(Metric metric, const double* query, std::size_t length, std::span<ScoredId> entries) const;

 private:
  void score_rows_exactly(Metric metric, const double* query, std::size_t length, const double* const* rows,
                          std::size_t count, double* out) const;

  std::size_t dim_;
  WalkCode code_;
  LargeBuffer<double> values_;
  LargeBuffer<std::byte> walk_rows_;  // a row per vector, as code_ writes them
};

}  // namespace tamsel
