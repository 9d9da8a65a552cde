// A short list of node ids per node, of one width, beside the graph: the far
// lists and the product lists keep theirs here.
#pragma once

#include <algorithm>
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

  // Enabled only under the metrics whose searches follow them: otherwise
  // nothing is stored.
  explicit NodeLists(bool enabled) : enabled_(enabled) {}
  bool enabled() const { return enabled_; }

  // The node's list.
  std::span<const std::uint32_t> of(std::uint32_t id) const {
    return {lists_.data() + std::size_t{id} * kWidth, kWidth};
  }

 protected:
  std::uint32_t* list(std::uint32_t id) { return lists_.data() + std::size_t{id} * kWidth; }
  // Room for the lists of `count` more nodes, when enabled.
  void reserve_lists(std::size_t count) {
    if (enabled_) make_room(lists_, count * kWidth);
  }
  // Appends the next node's list, empty, when enabled.
  void add_list() {
    if (enabled_) lists_.resize(lists_.size() + kWidth, kNone);
  }

  // What an offer of a newcomer to a node's list did.
  enum class Offered {
    Present,   // the list holds it already
    Appended,  // the list had room, and takes it
    Full,      // the list is full: the caller chooses whether it replaces a member
  };
  Offered try_append(std::uint32_t to, std::uint32_t newcomer) {
    std::uint32_t* const members = list(to);
    std::uint32_t* const end = std::find(members, members + kWidth, kNone);
    if (std::find(members, end, newcomer) != end) return Offered::Present;
    if (end == members + kWidth) return Offered::Full;
    *end = newcomer;
    return Offered::Appended;
  }
  bool full(std::uint32_t id) const { return of(id)[kWidth - 1] != kNone; }

 private:
  bool enabled_;
  LargeBuffer<std::uint32_t> lists_;  // kWidth per node
};

}  // namespace tamsel
