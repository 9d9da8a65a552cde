// Duplicates: nodes that stand beside another node (their original) instead
// of being linked into the graph.
//
// Exact copies of one vector are equally near to every query, so in lists of
// bounded length they would crowd each other out until most had no incoming
// link. And a vector the walk cannot measure (a NaN or an infinity among its
// components, or under the cosine no direction) is the farthest from every
// point: a walk cannot tell such vectors apart, and many of them in the
// graph fill its results and its lists with measures of +infinity, through
// which no walk reaches the numbers beyond. So only the first of exact
// copies, and the first vector the walk cannot measure, are linked (the
// originals); the others, in ascending ids, join a search's results wherever
// their original does, and each is scored there exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "core/rows/row_table.hpp"
#include "core/rows/store.hpp"

namespace tamsel {

class DuplicateTable {
 public:
  static constexpr std::uint32_t kNone = RowTable::kNone;

  explicit DuplicateTable(std::size_t dim) : dim_(dim) {}

  bool has_duplicates(std::uint32_t id) const { return (has_duplicates_[id / 64] >> (id % 64)) & 1; }
  // The copies of an original, ascending; empty for any other node.
  std::span<const std::uint32_t> duplicates_of(std::uint32_t id) const {
    if (!has_duplicates(id)) return {};
    return copies_.find(id)->second;
  }

  // For each of `count` rows of `dim` numbers from `first`, to be stored from
  // id store_size on: the node it will be a duplicate of (an earlier row of
  // the batch included), or kNone; with room to record them.
  class Room {
   public:
    std::uint32_t original(std::size_t row) const { return originals_[row]; }

   private:
    friend class DuplicateTable;
    Room() = default;
    std::vector<std::uint32_t> originals_;
  };
  Room reserve(const VectorStore& store, std::size_t store_size, const double* first, std::size_t count);
  // Records node `id`, stored from batch row `row`: as an original to compare
  // later rows with, or as a copy of its original.
  void append(const Room& room, const VectorStore& store, std::uint32_t id, std::size_t row);

 private:
  std::size_t dim_;
  RowTable originals_;                         // the linked nodes, by their values
  std::uint32_t unmeasured_ = kNone;           // the first node the walk cannot measure
  std::vector<std::uint64_t> has_duplicates_;  // one bit per node
  std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> copies_;
};

}  // namespace tamsel
