// The k best of many scored ids, as every search keeps them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "core/base/scored.hpp"

namespace tamsel {

// Puts `entry` in place of the top of the heap `best` (the worst, in the
// order of ScoredBefore) and sifts it down: one pass where a pop and a push
// take two.
inline void replace_worst(std::vector<ScoredId>& best, ScoredId entry) {
  const std::size_t size = best.size();
  std::size_t at = 0;
  for (std::size_t child = 1; child < size; child = 2 * at + 1) {
    if (child + 1 < size && scored_before(best[child], best[child + 1])) ++child;
    if (!scored_before(entry, best[child])) break;
    best[at] = best[child];
    at = child;
  }
  best[at] = entry;
}

// `best` is a heap of at most `k` entries with the worst on top (in the order
// results come in, ScoredBefore), which a better entry replaces. Offers
// `entry`: true when it is kept. The order is total, so the entries kept are
// the first k of the whole sorted list.
inline bool offer_best(std::vector<ScoredId>& best, std::size_t k, ScoredId entry) {
  if (best.size() < k) {
    best.push_back(entry);
    std::push_heap(best.begin(), best.end(), ScoredBefore{});
    return true;
  }
  if (k == 0 || !scored_before(entry, best.front())) return false;
  replace_worst(best, entry);
  return true;
}

// The heap of offer_best in ascending order.
inline void sort_best(std::vector<ScoredId>& best) { std::sort_heap(best.begin(), best.end(), ScoredBefore{}); }

// Keeps the `k` first of `entries` in ascending order, sorted.
inline void keep_best(std::vector<ScoredId>& entries, std::size_t k) {
  k = std::min(k, entries.size());
  std::partial_sort(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(k), entries.end(), ScoredBefore{});
  entries.resize(k);
}

}  // namespace tamsel
