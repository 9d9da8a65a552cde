// Making room for a batch before any of it is stored.
//
// An insertion changes several parts of an index. Each part reserves all the
// room its share of the batch needs first, and hands back a Room that its
// appends require; the appends then only fill reserved room and cannot fail.
// So an allocation that fails leaves the whole index as it was.
#pragma once

#include <algorithm>
#include <cstddef>

#include "core/base/exceptions.hpp"

namespace tamsel {

// Room for `more` items; geometric, so that one insertion after another stays
// amortised constant.
template <class Items>
void make_room(Items& items, std::size_t more) {
  if (more > items.max_size() - items.size()) throw CapacityExceeded("more items than a container holds");
  const std::size_t needed = items.size() + more;
  if (needed <= items.capacity()) return;
  items.reserve(std::max(needed, items.capacity() + items.capacity() / 2));
}

template <class Items>
void make_room_for_total(Items& items, std::size_t total) {
  if (total > items.size()) make_room(items, total - items.size());
}

}  // namespace tamsel
