// The layered graph: levels, neighbour lists, the walk over one layer and
// down the layers, and the choice of a new node's neighbours.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "core/large_buffer.hpp"
#include "core/scored.hpp"
#include "core/search_scratch.hpp"
#include "core/walk_measure.hpp"

namespace tamsel {

// Uniform doubles in [0, 1) for the level draw: the top 53 bits of a 64-bit
// word times 2^-53. Each thread has its own, seeded from the operating system.
class LevelRandom {
 public:
  explicit LevelRandom(std::uint64_t seed) : engine_(seed) {}
  double uniform() { return static_cast<double>(engine_() >> 11) * 0x1p-53; }
  static LevelRandom& for_this_thread();

 private:
  std::mt19937_64 engine_;
};

// Who may stand in the results of a walk, and who joins a node there. A walk
// during insertion admits every node and nothing joins.
struct EveryNode {
  bool matches(std::uint32_t) const { return true; }
  std::span<const std::uint32_t> joining(std::uint32_t) const { return {}; }
};

class Graph {
 public:
  // A node's level; the caller bounds `layers` so that every level fits.
  using Level = std::uint16_t;
  // `m` above this acts as this, so per-node neighbour blocks stay bounded.
  static constexpr std::size_t kMaxM = 128;
  // Ids are 32-bit, and the largest value marks "none".
  static constexpr std::size_t kMaxNodes = std::numeric_limits<std::uint32_t>::max() - 1;

  Graph(std::size_t layers, std::size_t m, std::size_t ef_construction);

  std::size_t size() const { return levels_.size(); }
  std::size_t layers() const { return layers_; }
  std::size_t ef_construction() const { return ef_construction_; }
  std::size_t level(std::size_t id) const { return levels_[id]; }
  // The node's neighbours on `layer`; empty above its level.
  std::span<const std::uint32_t> neighbors(std::size_t id, std::size_t layer) const;
  // The most neighbours a list of `layer` holds: 2m on layer 0, m above.
  std::size_t max_neighbors(std::size_t layer) const { return layer == 0 ? m0_ : m_; }
  // Node 0's level.
  std::size_t top_level() const { return layers_ == 0 ? 0 : layers_ - 1; }
  std::size_t draw_level(LevelRandom& random) const;

  // Room for `count` more nodes, and for the walks that link them, whose
  // points hold `dim` numbers and forms `form_words` words. A batch must not fail halfway, so its
  // walks get the room the largest of them could need; a single insertion
  // walks before it changes anything.
  class NodeRoom {
    friend class Graph;
    NodeRoom() = default;
  };
  NodeRoom reserve_nodes(std::size_t count, std::size_t dim, std::size_t form_words, SearchScratch& scratch);
  // Room for the upper-layer lists of nodes of these levels, the first of them numbered size().
  class LinkRoom {
    friend class Graph;
    LinkRoom() = default;
  };
  LinkRoom reserve_links(std::span<const Level> new_levels);

  // Inserting node size() of `level`: choose_links walks and changes nothing;
  // add_node then appends the node, and link_node links it both ways.
  void choose_links(const WalkMeasure& measure, const WalkQuery& from_new, std::size_t level, SearchScratch& scratch);
  void add_node(const NodeRoom& nodes, const LinkRoom& links, std::size_t level);
  void link_node(const LinkRoom& links, const WalkMeasure& measure, std::uint32_t id, std::size_t level);

  // Walks down from node 0 and leaves in scratch.results the nearest `ef`
  // nodes found on layer 0 that `admit` matches, and the nodes that join them,
  // nearest first by the walk's measure.
  template <class Admit>
  void search(const WalkMeasure& measure, const WalkQuery& query, std::size_t ef, const Admit& admit,
              SearchScratch& scratch) const;

  // The same for a filter that leaves a sparse graph: the upper layers are
  // walked unfiltered, and layer 0 scores only nodes `admit.passable` takes,
  // reaching past a node it refuses to that node's own neighbours.
  template <class Admit>
  void two_hop_search(const WalkMeasure& measure, const WalkQuery& query, std::size_t ef, const Admit& admit,
                      SearchScratch& scratch) const;

 private:
  // A neighbour list: its count, then room for max_neighbors(layer) ids; null
  // for node 0 above the highest level another node reached.
  const std::uint32_t* links(std::uint32_t id, std::size_t layer) const {
    if (layer == 0) return layer0_links_.data() + std::size_t{id} * (1 + m0_);
    if (id == 0) return layer <= top_layer_ ? entry_upper_links_.data() + (layer - 1) * (1 + m_) : nullptr;
    return upper_links_.data() + (std::size_t{upper_start_[id]} + layer - 1) * (1 + m_);
  }
  std::uint32_t* links(std::uint32_t id, std::size_t layer) {
    return const_cast<std::uint32_t*>(static_cast<const Graph&>(*this).links(id, layer));
  }

  template <class Admit>
  void layer_search(std::uint32_t entry, const WalkMeasure& measure, const WalkQuery& query, std::size_t ef,
                    std::size_t layer, const Admit& admit, bool with_joining, SearchScratch& scratch) const;
  template <class Admit>
  static void offer(const std::uint32_t* ids, const double* distances, std::size_t count, std::size_t ef,
                    const Admit& admit, bool with_joining, std::vector<ScoredId>& queue,
                    std::vector<ScoredId>& results);
  template <class Admit>
  static void admit_node(double distance, std::uint32_t id, std::size_t ef, const Admit& admit, bool with_joining,
                         std::vector<ScoredId>& results);
  // The nearest candidate of a walk's queue (a heap, nearest on top), taken off it.
  static ScoredId take_nearest(std::vector<ScoredId>& queue) {
    std::pop_heap(queue.begin(), queue.end(), ScoredAfter{});
    const ScoredId nearest = queue.back();
    queue.pop_back();
    return nearest;
  }
  void link_back(const WalkMeasure& measure, std::uint32_t from, std::uint32_t to, std::size_t layer);
  void keep_last_links(const std::uint32_t* ids, std::size_t count, std::uint32_t to);
  void adopt(std::uint32_t id);
  void keep_diverse(const WalkMeasure& measure, std::vector<ScoredId>& sorted, std::size_t limit);

  std::size_t layers_;
  std::size_t ef_construction_;
  std::size_t m_;   // list bound on the upper layers
  std::size_t m0_;  // list bound on layer 0
  // e^-i for the leading i whose weight still moves the running sum of the
  // level draw; the rest could never end the walk, which then falls back to
  // the top level just as the walk over every weight would.
  std::vector<double> level_weights_;
  double level_weight_total_ = 0.0;

  std::vector<Level> levels_;
  LargeBuffer<std::uint32_t> layer0_links_;  // one block of 1 + m0_ per node
  // Upper layers 1..level of every node but node 0, blocks of 1 + m_ in node
  // order; upper_start_[id] is the node's first block.
  std::vector<std::uint32_t> upper_start_;
  LargeBuffer<std::uint32_t> upper_links_;
  // Node 0 lies on every layer but has neighbours only up to the highest level
  // another node reached (top_layer_); above that it is alone.
  std::vector<std::uint32_t> entry_upper_links_;
  std::size_t top_layer_ = 0;
  // How many layer-0 lists hold each node: a list chosen again never drops
  // the last one (keep_last_links), and a new node no list kept is adopted.
  std::vector<std::uint32_t> inbound_;

  // Insertion scratch: the chosen neighbours of the node being inserted
  // (blocks of 1 + m_ per layer, from layer 0 up), the candidates of an
  // overflowing list, and the walk forms of the node whose list overflows and
  // of the neighbours keep_diverse has kept.
  std::vector<std::uint32_t> chosen_;
  std::vector<ScoredId> relink_;
  std::vector<ScoredId> pruned_;
  WalkForms pair_form_;
  WalkForms kept_forms_;
};

// Most neighbours one list holds (layer 0 at the largest m), plus the newcomer
// of an overflowing list.
inline constexpr std::size_t kMaxBlockIds = 2 * Graph::kMaxM + 1;

template <class Admit>
void Graph::search(const WalkMeasure& measure, const WalkQuery& query, std::size_t ef, const Admit& admit,
                   SearchScratch& scratch) const {
  std::uint32_t entry = 0;
  // Above top_layer_ node 0 is alone: those searches find node 0 if it
  // matches, and otherwise nothing, which ends the descent there.
  const bool descend = top_layer_ + 1 == layers_ || admit.matches(0);
  for (std::size_t layer = top_layer_; descend && layer >= 1; --layer) {
    layer_search(entry, measure, query, 1, layer, admit, false, scratch);
    if (scratch.results.empty()) break;
    entry = static_cast<std::uint32_t>(scratch.results.front().id);
  }
  layer_search(entry, measure, query, ef, 0, admit, true, scratch);
}

template <class Admit>
void Graph::two_hop_search(const WalkMeasure& measure, const WalkQuery& query, std::size_t ef, const Admit& admit,
                           SearchScratch& scratch) const {
  VisitedList& visited = scratch.visited;
  std::vector<ScoredId>& queue = scratch.queue;
  std::vector<ScoredId>& results = scratch.results;
  // Each upper layer leads to its matching node nearest to the query, so that
  // layer 0 starts among the matching nodes even when few of them lie near
  // it; layer 1 hands over its `ef` nearest, since the matching nodes nearest
  // to the query may lie apart (along the edge of a region that holds the value).
  std::uint32_t entry = 0;
  for (std::size_t layer = top_layer_; layer >= 1; --layer) {
    layer_search(entry, measure, query, layer == 1 ? ef : 1, layer, admit, false, scratch);
    if (!results.empty()) entry = static_cast<std::uint32_t>(results.front().id);
  }
  const bool from_layer1 = top_layer_ >= 1 && !results.empty();
  if (from_layer1) {
    queue.assign(results.begin(), results.end());
  } else {
    double entry_distance;
    measure.score(query, &entry, 1, &entry_distance);
    queue.assign(1, ScoredId{entry_distance, entry});
  }
  visited.start_search();
  results.clear();
  for (const ScoredId& start : queue) {
    const auto id = static_cast<std::uint32_t>(start.id);
    visited.visit(id);
    admit_node(start.score, id, ef, admit, true, results);
  }
  std::make_heap(queue.begin(), queue.end(), ScoredAfter{});

  // A node's candidates stop growing past this many: a refused neighbour
  // opens up to 2m more, and a list that long costs more than it finds.
  const std::size_t width = m0_;
  std::uint32_t ids[kMaxBlockIds];
  double distances[kMaxBlockIds];
  while (!queue.empty()) {
    const ScoredId current = take_nearest(queue);
    if (results.size() >= ef && nearer(results.front().score, current.score)) break;
    const std::uint32_t* block = links(static_cast<std::uint32_t>(current.id), 0);
    std::uint32_t passable = 0;
    for (std::uint32_t j = 0; j < block[0]; ++j) {
      __builtin_prefetch(visited.address_of(block[1 + j]));
      passable += admit.passable(block[1 + j]);
    }
    // A node with m matching neighbours is as well linked as an upper-layer
    // node: the walk goes on through them alone.
    const bool reach_past = passable < m_;
    // The lists behind refused neighbours are scattered: load them all at once.
    for (std::uint32_t j = 0; reach_past && j < block[0]; ++j) {
      if (admit.passable(block[1 + j])) continue;
      const std::uint32_t* next = links(block[1 + j], 0);
      __builtin_prefetch(next);
      __builtin_prefetch(next + 16);
    }

    std::size_t fresh = 0;
    for (std::uint32_t j = 0; j < block[0] && fresh < width; ++j) {
      const std::uint32_t id = block[1 + j];
      if (!admit.passable(id) || !visited.visit(id)) continue;
      ids[fresh++] = id;
      measure.prefetch(id);
    }
    for (std::uint32_t j = 0; reach_past && j < block[0] && fresh < width; ++j) {
      const std::uint32_t hop = block[1 + j];
      if (admit.passable(hop)) continue;
      const std::uint32_t* next = links(hop, 0);
      std::uint32_t i = 0;
      for (; i < next[0] && fresh < width; ++i) {
        const std::uint32_t id = next[1 + i];
        if (!admit.passable(id) || !visited.visit(id)) continue;
        ids[fresh++] = id;
        measure.prefetch(id);
      }
    }
    measure.score(query, ids, fresh, distances);
    offer(ids, distances, fresh, ef, admit, true, queue, results);
  }
  std::sort_heap(results.begin(), results.end(), ScoredBefore{});
}

// One layer, from one entry node; leaves the nearest found in scratch.results,
// nearest first, at most `ef`. Nodes that `admit` does not match are walked
// through (they lead to the matching nodes behind them) but never become
// results, so the far distance is that of the matching nodes alone.
template <class Admit>
void Graph::layer_search(std::uint32_t entry, const WalkMeasure& measure, const WalkQuery& query, std::size_t ef,
                         std::size_t layer, const Admit& admit, bool with_joining, SearchScratch& scratch) const {
  VisitedList& visited = scratch.visited;
  std::vector<ScoredId>& queue = scratch.queue;
  std::vector<ScoredId>& results = scratch.results;
  visited.start_search();
  results.clear();
  queue.clear();
  visited.visit(entry);
  double entry_distance;
  measure.score(query, &entry, 1, &entry_distance);
  // The results are a heap with the farthest on top until the walk ends,
  // then sorted nearest first.
  admit_node(entry_distance, entry, ef, admit, with_joining, results);
  queue.push_back({entry_distance, entry});

  std::uint32_t ids[kMaxBlockIds];
  double distances[kMaxBlockIds];
  while (!queue.empty()) {
    const ScoredId current = take_nearest(queue);
    if (!results.empty() && nearer(results.front().score, current.score)) break;
    const std::uint32_t* block = links(static_cast<std::uint32_t>(current.id), layer);
    if (block == nullptr) continue;
    // The next candidate's list is likely needed next: start loading it.
    if (!queue.empty()) {
      if (const std::uint32_t* next = links(static_cast<std::uint32_t>(queue.front().id), layer))
        __builtin_prefetch(next);
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
    offer(ids, distances, fresh, ef, admit, with_joining, queue, results);
  }
  std::sort_heap(results.begin(), results.end(), ScoredBefore{});
}

// Queues the measured neighbours that may still improve the results, and
// admits them.
template <class Admit>
void Graph::offer(const std::uint32_t* ids, const double* distances, std::size_t count, std::size_t ef,
                  const Admit& admit, bool with_joining, std::vector<ScoredId>& queue, std::vector<ScoredId>& results) {
  for (std::size_t j = 0; j < count; ++j) {
    const double d = distances[j];
    if (results.size() < ef || d < results.front().score) {
      queue.push_back({d, ids[j]});
      std::push_heap(queue.begin(), queue.end(), ScoredAfter{});
      admit_node(d, ids[j], ef, admit, with_joining, results);
    }
  }
}

// Adds the node to the results when it matches, and then, when asked, the
// nodes that join it; the results keep the `ef` nearest.
template <class Admit>
void Graph::admit_node(double distance, std::uint32_t id, std::size_t ef, const Admit& admit, bool with_joining,
                       std::vector<ScoredId>& results) {
  // False when the node is the one dropped as the farthest.
  const auto add = [&](std::uint32_t node) {
    if (!admit.matches(node)) return true;
    results.push_back({distance, node});
    std::push_heap(results.begin(), results.end(), ScoredBefore{});
    if (results.size() <= ef) return true;
    std::pop_heap(results.begin(), results.end(), ScoredBefore{});
    const bool kept = results.back().id != node;
    results.pop_back();
    return kept;
  };
  add(id);
  if (!with_joining) return;
  // Joining nodes come in ascending ids: after one is dropped, every later one would be.
  for (const std::uint32_t joined : admit.joining(id)) {
    if (!add(joined)) break;
  }
}

}  // namespace tamsel
