// The best-first walk over neighbour lists that every search of the index
// shares: the graph's layers and the holder links of a metadata value.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/copies.hpp"
#include "core/scored.hpp"
#include "core/search_scratch.hpp"
#include "core/walk_measure.hpp"

namespace tamsel {

// Most ids one neighbour list holds (layer 0 at the largest m), plus the
// newcomer of an overflowing list.
inline constexpr std::size_t kMaxBlockIds = 257;

// Adds the node to the results, and then the copies of it that `copies`
// (when given) lists; the results keep the `ef` nearest.
inline void admit_node(double distance, std::uint32_t id, std::size_t ef, const CopyTable* copies,
                       std::vector<ScoredId>& results) {
  // False when the node is the one dropped as the farthest.
  const auto add = [&](std::uint32_t node) {
    results.push_back({distance, node});
    std::push_heap(results.begin(), results.end(), ScoredBefore{});
    if (results.size() <= ef) return true;
    std::pop_heap(results.begin(), results.end(), ScoredBefore{});
    const bool kept = results.back().id != node;
    results.pop_back();
    return kept;
  };
  // Copies come in ascending ids: after one is dropped, every later one would be.
  if (!add(id) || copies == nullptr) return;
  for (const std::uint32_t copy : copies->copies_of(id)) {
    if (!add(copy)) break;
  }
}

// Queues the measured neighbours that may still improve the results, and
// admits them.
inline void offer(const std::uint32_t* ids, const double* distances, std::size_t count, std::size_t ef,
                  const CopyTable* copies, std::vector<ScoredId>& queue, std::vector<ScoredId>& results) {
  for (std::size_t j = 0; j < count; ++j) {
    const double d = distances[j];
    if (results.size() < ef || d < results.front().score) {
      queue.push_back({d, ids[j]});
      std::push_heap(queue.begin(), queue.end(), ScoredAfter{});
      admit_node(d, ids[j], ef, copies, results);
    }
  }
}

// The nearest candidate of a walk's queue (a heap, nearest on top), taken off it.
inline ScoredId take_nearest(std::vector<ScoredId>& queue) {
  std::pop_heap(queue.begin(), queue.end(), ScoredAfter{});
  const ScoredId nearest = queue.back();
  queue.pop_back();
  return nearest;
}

// Expands the nearest queued node until none left could improve the `ef`
// results. The caller starts the walk: a new visit epoch with the seeds
// visited, queued in scratch.queue (a heap, nearest on top) and admitted to
// scratch.results (a heap, farthest on top), where the walk leaves them.
// `blocks(id)` is the node's list (its count, then its ids), or null; the
// copies that `copies` (when given) lists join their originals.
template <class Blocks>
void expand(const Blocks& blocks, const WalkMeasure& measure, const WalkQuery& query, std::size_t ef,
            const CopyTable* copies, SearchScratch& scratch) {
  VisitedList& visited = scratch.visited;
  std::vector<ScoredId>& queue = scratch.queue;
  std::vector<ScoredId>& results = scratch.results;
  std::uint32_t ids[kMaxBlockIds];
  double distances[kMaxBlockIds];
  while (!queue.empty()) {
    const ScoredId current = take_nearest(queue);
    if (!results.empty() && nearer(results.front().score, current.score)) break;
    const std::uint32_t* block = blocks(static_cast<std::uint32_t>(current.id));
    if (block == nullptr) continue;
    // The next candidate's list is likely needed next: start loading it.
    if (!queue.empty()) {
      if (const std::uint32_t* next = blocks(static_cast<std::uint32_t>(queue.front().id))) __builtin_prefetch(next);
    }
    for (std::uint32_t j = 0; j < block[0]; ++j) __builtin_prefetch(visited.address_of(block[1 + j]));

    std::size_t fresh = 0;
    for (std::uint32_t j = 0; j < block[0]; ++j) {
      const std::uint32_t id = block[1 + j];
      if (!visited.visit(id)) continue;
      ids[fresh] = id;
      measure.prefetch(id);
      ++fresh;
    }
    measure.score(query, ids, fresh, distances);
    offer(ids, distances, fresh, ef, copies, queue, results);
  }
}

// The whole walk: expand, then the results sorted, nearest first.
template <class Blocks>
void beam_search(const Blocks& blocks, const WalkMeasure& measure, const WalkQuery& query, std::size_t ef,
                 const CopyTable* copies, SearchScratch& scratch) {
  expand(blocks, measure, query, ef, copies, scratch);
  std::sort_heap(scratch.results.begin(), scratch.results.end(), ScoredBefore{});
}

}  // namespace tamsel
