// A short list of node ids per node, of one width, beside the graph: the far
// lists and the product lists keep theirs here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/base/large_buffer.hpp"
#include "core/batch/room.hpp"

namespace tamsel {

template <std::size_t Width>
class NodeLists {
 public:
  // Ids a node keeps; the empty places hold kNone.
  static constexpr std::size_t kWidth = Width;
  static constexpr std::uint32_t kNone = 0xffffffffu;

  // Kept only under the metrics whose searches follow them: otherwise
  // nothing is stored.
  explicit NodeLists(bool kept) : kept_(kept) {}
  bool kept() const { return kept_; }

  // The node's list.
  std::span<const std::uint32_t> of(std::uint32_t id) const {
    return {lists_.data() + std::size_t{id} * kWidth, kWidth};
  }

 protected:
  std::uint32_t* list(std::uint32_t id) { return lists_.data() + std::size_t{id} * kWidth; }
  // Room for the lists of `count` more nodes, when kept.
  void reserve_lists(std::size_t count) {
    if (kept_) make_room(lists_, count * kWidth);
  }
  // Appends the next node's list, empty, when kept.
  void add_list() {
    if (kept_) lists_.resize(lists_.size() + kWidth, kNone);
  }

 private:
  bool kept_;
  LargeBuffer<std::uint32_t> lists_;  // kWidth per node
};

}  // namespace tamsel
