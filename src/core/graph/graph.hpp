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

#include "core/base/large_buffer.hpp"
#include "core/base/scored.hpp"
#include "core/graph/beam_search.hpp"
#include "core/graph/diverse_choice.hpp"
#include "core/graph/search_scratch.hpp"
#include "core/rows/duplicates.hpp"
#include "core/rows/walk_measure.hpp"

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

class Graph {
 public:
  // A node's level; the caller bounds `layers` so that every level fits.
  using Level = std::uint16_t;
  // Most lists a new node that no list kept is offered to (adopt).
  static constexpr std::size_t kAdoptionReach = 1024;
  // The nodes a walk whose results all tie goes on from (complete): at 16,
  // a walk that stands on one of two rays of equal size starts on the other
  // from at least one of them but for a chance of 2^-16.
  static constexpr std::size_t kSpreadSeeds = 16;
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

  // Inserting node size() of `level`: choose_links walks and changes
  // nothing, and returns the layer-0 nodes its walk met, nearest first
  // (valid until the next insertion); add_node then appends the node, and
  // link_node links it both ways.
  std::span<const ScoredId> choose_links(const WalkMeasure& measure, const WalkQuery& from_new, std::size_t level,
                                         SearchScratch& scratch);
  void add_node(const NodeRoom& nodes, const LinkRoom& links, std::size_t level);
  void link_node(const LinkRoom& links, const WalkMeasure& measure, std::uint32_t id, std::size_t level,
                 SearchScratch& scratch);

  // Walks down from node 0 and leaves in scratch.results the nearest `ef`
  // nodes found on layer 0 that `admit` admits (with their duplicates),
  // nearest first by the walk's measure, then completes the walk.
  void search(const WalkMeasure& measure, const WalkQuery& query, std::size_t ef, const Admission<>& admit,
              SearchScratch& scratch) const;
  // After a layer-0 walk that left its results in scratch.results (a heap
  // or sorted), leaves them sorted. A walk that ran dry short of ef and of
  // every node goes on from the linked nodes it did not reach, so that a
  // walk as wide as the index returns every linked node whatever the links;
  // one whose ef results all tie goes on from kSpreadSeeds nodes spread over
  // the index, so that a field of ties does not strand it.
  void complete(const WalkMeasure& measure, const WalkQuery& query, std::size_t ef, const Admission<>& admit,
                SearchScratch& scratch) const;
  // Node `id`'s layer-0 list: its count, then its ids.
  const std::uint32_t* layer0_list(std::uint32_t id) const { return links(id, 0); }
  // The layer-0 lists, as a walk follows them (beam_search).
  auto layer0_lists() const {
    return StoredLists{[this](std::uint32_t id) { return layer0_list(id); }};
  }
  // Walks down from node 0, one node wide, to the node where layer 0 would start.
  std::uint32_t layer0_entry(const WalkMeasure& measure, const WalkQuery& query, SearchScratch& scratch) const;

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

  // Whether node `id` is in the graph's lists: only node 0 is linked with an
  // empty list, and a duplicate or a node stored without links is in none.
  bool linked(std::uint32_t id) const { return id == 0 || links(id, 0)[0] != 0; }
  // One layer, from one entry node; leaves the nearest found that `admit`
  // admits in scratch.results, nearest first, at most `ef`.
  void layer_search(std::uint32_t entry, const WalkMeasure& measure, const WalkQuery& query, std::size_t ef,
                    std::size_t layer, const Admission<>& admit, SearchScratch& scratch) const;
  // Go on with a layer-0 walk (complete): from the linked nodes it did not
  // reach, or from nodes spread over the index.
  void reach_unvisited(const WalkMeasure& measure, const WalkQuery& query, std::size_t ef, const Admission<>& admit,
                       SearchScratch& scratch) const;
  void go_on_from_spread(const WalkMeasure& measure, const WalkQuery& query, std::size_t ef, const Admission<>& admit,
                         SearchScratch& scratch) const;
  void link_back(const WalkMeasure& measure, std::uint32_t from, std::uint32_t to, std::size_t layer);
  void keep_reach(std::uint32_t from, const std::uint32_t* ids, std::size_t count, std::uint32_t to);
  bool can_spare(std::uint32_t from, std::uint32_t member, std::size_t older_members) const;
  bool take_in(std::uint32_t from, std::uint32_t id);
  void adopt(std::uint32_t id, SearchScratch& scratch);

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
  // How many layer-0 lists of older nodes (lower ids) hold each node. Layer 0
  // keeps two rules, whatever the data's order and scale: every node's list
  // holds a node older than it, so a walk can always go on to older nodes, down
  // to node 0; and every node stays in the list of a node older than it, so
  // from node 0 a walk reaches every node (by induction on the ids). Together
  // every linked node reaches every other. A list chosen again keeps the
  // members these rules need (keep_reach), and a new node that no list kept
  // is adopted (adopt).
  std::vector<std::uint32_t> older_holders_;

  // Insertion scratch: the chosen neighbours of the node being inserted
  // (blocks of 1 + m_ per layer, from layer 0 up), the candidates of an
  // overflowing list, the walk form of the node whose list overflows, the
  // choice among candidates, the lists a new node is offered to.
  std::vector<std::uint32_t> chosen_;
  std::vector<ScoredId> relink_;
  WalkForms pair_form_;
  DiverseChoice diverse_;
  std::vector<std::uint32_t> adoption_;
  // The layer-0 nodes the last choose_links met, nearest first.
  std::vector<ScoredId> met_;
};

static_assert(2 * Graph::kMaxM + 1 <= kMaxBlockIds,
              "a layer-0 list and the newcomer of an overflowing one fit a block");

}  // namespace tamsel
