// The best-first walk over neighbour lists that every search of the index
// shares: the graph's layers, the holder links of a metadata value and the
// far edge.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

#include "core/base/scored.hpp"
#include "core/base/top_k.hpp"
#include "core/graph/search_scratch.hpp"
#include "core/rows/duplicates.hpp"
#include "core/rows/walk_measure.hpp"

namespace tamsel {

// Most ids one neighbour list holds (layer 0 at the largest m), plus the
// newcomer of an overflowing list: the block of StoredLists.
inline constexpr std::size_t kMaxBlockIds = 257;

// Which nodes a walk admits to its results: the node met, when it `holds`
// (every node, or the holders of a filter's value), and then the
// duplicates of it that `duplicates` (when given) lists, each when it
// holds; the results keep the `ef` nearest.
struct EveryNode {
  bool operator()(std::uint32_t) const { return true; }
};

template <class Holds = EveryNode>
struct Admission {
  const DuplicateTable* duplicates = nullptr;
  Holds holds{};

  void operator()(double distance, std::uint32_t id, std::size_t ef, std::vector<ScoredId>& results) const {
    // Duplicates come in ascending ids: after one is dropped, every later one would be.
    if (holds(id) && !offer_best(results, ef, {distance, id})) return;
    if (duplicates == nullptr) return;
    for (const std::uint32_t duplicate : duplicates->duplicates_of(id)) {
      if (holds(duplicate) && !offer_best(results, ef, {distance, duplicate})) break;
    }
  }
};

// The node alone: the walks of an insertion, and those over lists that hold
// duplicates themselves (the holder links).
inline constexpr Admission<> kNodeAlone{};

// Queues the measured neighbours that may still improve the results, and
// admits them.
template <class Admit>
void offer(const std::uint32_t* ids, const double* distances, std::size_t count, std::size_t ef, const Admit& admit,
           std::vector<ScoredId>& queue, std::vector<ScoredId>& results) {
  for (std::size_t j = 0; j < count; ++j) {
    const double d = distances[j];
    if (results.size() < ef || d < results.front().score) {
      queue.push_back({d, ids[j]});
      std::push_heap(queue.begin(), queue.end(), ScoredAfter{});
      admit(d, ids[j], ef, results);
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
  static constexpr std::size_t kMaxIds = kMaxBlockIds;
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
// then at most Lists::kMaxIds ids), or null, and `lists.prefetch(id)` starts
// loading it; `admit` says which nodes stand in the results.
template <class Lists, class Admit>
void expand(Lists&& lists, const WalkMeasure& measure, const WalkQuery& query, std::size_t ef, const Admit& admit,
            SearchScratch& scratch) {
  VisitedList& visited = scratch.visited;
  std::vector<ScoredId>& queue = scratch.queue;
  std::vector<ScoredId>& results = scratch.results;
  constexpr std::size_t kMaxIds = std::remove_cvref_t<Lists>::kMaxIds;
  std::uint32_t ids[kMaxIds];
  double distances[kMaxIds];
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
    offer(ids, distances, fresh, ef, admit, queue, results);
  }
}

// The whole walk: expand, then the results sorted, nearest first.
template <class Lists, class Admit>
void beam_search(Lists&& lists, const WalkMeasure& measure, const WalkQuery& query, std::size_t ef, const Admit& admit,
                 SearchScratch& scratch) {
  expand(lists, measure, query, ef, admit, scratch);
  sort_best(scratch.results);
}

// A walk that starts from the nodes `starts`, each measured once, and then
// follows `lists` as beam_search does.
template <class Lists, class Admit>
void beam_search_from(std::span<const std::uint32_t> starts, Lists&& lists, const WalkMeasure& measure,
                      const WalkQuery& query, std::size_t ef, const Admit& admit, SearchScratch& scratch) {
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
    offer(ids, distances, fresh, ef, admit, scratch.queue, scratch.results);
  }
  beam_search(lists, measure, query, ef, admit, scratch);
}

}  // namespace tamsel
