// The best-first walk over neighbour lists that every search of the index
// shares: the graph's layers and the holder links of a metadata value.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/base/scored.hpp"
#include "core/base/top_k.hpp"
#include "core/graph/search_scratch.hpp"
#include "core/rows/duplicates.hpp"
#include "core/rows/walk_measure.hpp"

namespace tamsel {

// Most ids one neighbour list holds (layer 0 at the largest m), plus the
// newcomer of an overflowing list.
inline constexpr std::size_t kMaxBlockIds = 257;

// Adds the node to the results, and then the copies of it that `copies`
// (when given) lists; the results keep the `ef` nearest.
inline void admit_node(double distance, std::uint32_t id, std::size_t ef, const DuplicateTable* copies,
                       std::vector<ScoredId>& results) {
  // Copies come in ascending ids: after one is dropped, every later one would be.
  if (!offer_best(results, ef, {distance, id}) || copies == nullptr) return;
  for (const std::uint32_t copy : copies->copies_of(id)) {
    if (!offer_best(results, ef, {distance, copy})) break;
  }
}

// Queues the measured neighbours that may still improve the results, and
// admits them.
inline void offer(const std::uint32_t* ids, const double* distances, std::size_t count, std::size_t ef,
                  const DuplicateTable* copies, std::vector<ScoredId>& queue, std::vector<ScoredId>& results) {
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

// The lists a walk follows as they are stored: `block(id)` is the node's
// list (its count, then its ids) or null.
template <class Block>
struct StoredLists {
  Block block;
  void prefetch(std::uint32_t id) const {
    if (const std::uint32_t* list = block(id)) __builtin_prefetch(list);
  }
};
template <class Block>
StoredLists(Block) -> StoredLists<Block>;

// Expands the nearest queued node until none left could improve the `ef`
// results. The caller starts the walk: a new visit epoch with the seeds
// visited, queued in scratch.queue (a heap, nearest on top) and admitted to
// scratch.results (a heap, farthest on top), where the walk leaves them.
// `lists.block(id)` is the list the walk follows from a node (its count,
// then its ids), or null, and `lists.prefetch(id)` starts loading it; the
// copies that `copies` (when given) lists join their originals.
template <class Lists>
void expand(Lists&& lists, const WalkMeasure& measure, const WalkQuery& query, std::size_t ef,
            const DuplicateTable* copies, SearchScratch& scratch) {
  VisitedList& visited = scratch.visited;
  std::vector<ScoredId>& queue = scratch.queue;
  std::vector<ScoredId>& results = scratch.results;
  std::uint32_t ids[kMaxBlockIds];
  double distances[kMaxBlockIds];
  while (!queue.empty()) {
    const ScoredId current = take_nearest(queue);
    if (!results.empty() && nearer(results.front().score, current.score)) break;
    const std::uint32_t* block = lists.block(static_cast<std::uint32_t>(current.id));
    if (block == nullptr) continue;
    // The next candidate's list is likely needed next: start loading it.
    if (!queue.empty()) lists.prefetch(static_cast<std::uint32_t>(queue.front().id));
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
template <class Lists>
void beam_search(Lists&& lists, const WalkMeasure& measure, const WalkQuery& query, std::size_t ef,
                 const DuplicateTable* copies, SearchScratch& scratch) {
  expand(lists, measure, query, ef, copies, scratch);
  sort_best(scratch.results);
}

// A walk that starts from the nodes `starts`, each measured once, and then
// follows `lists` as beam_search does.
template <class Lists>
void beam_search_from(std::span<const std::uint32_t> starts, Lists&& lists, const WalkMeasure& measure,
                      const WalkQuery& query, std::size_t ef, const DuplicateTable* copies, SearchScratch& scratch) {
  scratch.visited.start_search();
  scratch.results.clear();
  scratch.queue.clear();
  constexpr std::size_t kChunk = 64;
  std::uint32_t ids[kChunk];
  double distances[kChunk];
  for (std::size_t first = 0; first < starts.size(); first += kChunk) {
    std::size_t fresh = 0;
    for (const std::uint32_t id : starts.subspan(first, std::min(kChunk, starts.size() - first))) {
      if (scratch.visited.visit(id)) ids[fresh++] = id;
    }
    measure.score(query, ids, fresh, distances);
    offer(ids, distances, fresh, ef, copies, scratch.queue, scratch.results);
  }
  beam_search(lists, measure, query, ef, copies, scratch);
}

}  // namespace tamsel
