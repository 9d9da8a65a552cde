// The stored vectors: float64 values, and the walk copy the graph walk reads
// (their points in the walk space, encoded).
//
// The walk copy is planned when a batch makes room: whether the frame of the
// walk space must be fitted again (walk_space.hpp), and then in which
// precision the rows are best kept. Bytes are the default; a store whose
// distinct vectors often share their byte codes (points packed closer than
// the codes resolve: dense low-dimensional data) keeps floats instead, and
// one whose such pairs float32 cannot tell apart either (groups of vectors
// much farther apart than their spread, a tight group inside a spread one)
// keeps doubles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/base/large_buffer.hpp"
#include "core/base/scored.hpp"
#include "core/rows/walk_code.hpp"
#include "core/rows/walk_space.hpp"
#include "core/scoring/metric.hpp"

namespace tamsel {

class VectorStore {
 public:
  VectorStore(std::size_t dim, Metric metric) : dim_(dim), space_(metric, dim), code_(dim, WalkPrecision::Bytes) {}

  std::size_t dim() const { return dim_; }
  // Emptiness looks at the stored numbers: a dim-0 store never holds any.
  bool empty() const { return values_.empty(); }
  const double* row(std::size_t id) const { return values_.data() + id * dim_; }
  std::span<const double> vector(std::size_t id) const { return {row(id), dim_}; }

  const WalkSpace& space() const { return space_; }
  const WalkCode& code() const { return code_; }
  WalkRow walk_row(std::size_t id) const { return walk_rows_.data() + id * code_.row_size(); }
  WalkRows walk_rows() const { return {walk_rows_.data(), code_.row_size(), dim_, code_.precision()}; }

  // Room for a batch, with the walk copy planned for it: a frame fitted
  // anew, and rows of another precision, when due.
  class Room {
   public:
    // Words of the forms that measure rows of the precision the batch keeps.
    std::size_t form_words(std::size_t dim) const { return WalkCode(dim, precision_).form_words(); }

   private:
    friend class VectorStore;
    Room() = default;
    std::optional<WalkSpace> refitted_;
    bool refits_ = false;  // whether the batch fits the frame anew
    WalkPrecision precision_ = WalkPrecision::Bytes;
    LargeBuffer<std::byte> rows_;  // every row in the new precision, when it changes
  };
  // Room for the `count` vectors of dim numbers from `first`.
  Room reserve(const double* first, std::size_t count);
  // Appends those vectors, with their walk rows; with a new frame, every row
  // is encoded anew.
  void append(Room& room, const double* first, std::size_t count);
  // Drops the vectors from `count` on: a batch gives back the rows it did not
  // store. When the batch fitted the frame anew, the frame is fitted again to
  // the rows kept, so that the walk copy does not follow rows the index never
  // stored (an interrupted batch); where that finds no memory, the frame
  // stays as it was, which costs the walk precision and nothing else.
  void keep(const Room& room, std::size_t count) noexcept;

  // Exact scores against a query of `length` numbers (the paired sums run
  // over the common length): of the nodes `ids`, into `out`, or of every entry.
  void score_exactly(Metric metric, const double* query, std::size_t length, const std::uint32_t* ids,
                     std::size_t count, double* out) const;
  void score_exactly(Metric metric, const double* query, std::size_t length, std::span<ScoredId> entries) const;

 private:
  std::size_t size() const { return walk_rows_.size() / code_.row_size(); }
  // Encodes the walk row of vector `id`; false when the frame does not hold it.
  bool encode(std::size_t id);
  bool floats_resolve(const WalkSpace& space, const double* a, const double* b, std::vector<double>& at,
                      std::vector<double>& bt) const;
  // Fits the frame to the first `count` rows, and encodes them anew.
  void refit(std::size_t count);
  // The precision for the vectors of `stored` and `batch` in the frame `space`.
  WalkPrecision precision_for(const WalkSpace& space, std::span<const double> stored,
                              std::span<const double> batch) const;
  void score_rows_exactly(Metric metric, const double* query, std::size_t length, const double* const* rows,
                          std::size_t count, double* out) const;

  std::size_t dim_;
  WalkSpace space_;
  WalkCode code_;
  std::vector<double> point_;  // the point of the vector being encoded
  LargeBuffer<double> values_;
  LargeBuffer<std::byte> walk_rows_;  // a row per vector, as code_ writes them
};

}  // namespace tamsel
