// Marks of the nodes one graph search has reached, reused across searches.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tamsel {

// Each search starts a new epoch instead of clearing the marks, so starting a
// search costs nothing until the 16-bit epoch wraps around.
class VisitedList {
 public:
  // Makes room for node ids below `count`; grows geometrically so that one
  // insertion after another stays amortised constant.
  void grow(std::size_t count) {
    if (count <= marks_.size()) return;
    marks_.resize(std::max(count, marks_.size() + marks_.size() / 2), 0);
  }

  void start_search() {
    if (++epoch_ == 0) {
      std::fill(marks_.begin(), marks_.end(), 0);
      epoch_ = 1;
    }
  }

  // True the first time `id` is met in this search.
  bool visit(std::uint32_t id) {
    if (marks_[id] == epoch_) return false;
    marks_[id] = epoch_;
    return true;
  }

  const void* address_of(std::uint32_t id) const { return marks_.data() + id; }

 private:
  std::vector<std::uint16_t> marks_;
  std::uint16_t epoch_ = 0;
};

}  // namespace tamsel
