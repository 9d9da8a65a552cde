// Links from each node to the nodes least like it, under the similarities.
//
// A similarity search lists the least similar vectors first: the nearest to
// the mirrored query. When the data lies in a cone (every vector shares a
// common component: embeddings, positive features, an offset), the mirrored
// query lies outside the data, and its nearest vectors lie on the far edge,
// where a walk from inside reaches few of them: the graph links each node to
// its nearest, none of which leads there. But a vector like the query has
// least similar vectors like the query's own. So each node keeps a short list
// of the least similar nodes found when it was stored (the answer of the
// mirrored node, as a search would ask for it), and a search whose target
// lies outside the data walks to the nodes most like the query first, a walk
// that stays inside the data, then walks on from their lists (walk_far_edge).
//
// Along the far edge the walk follows, from each node, its graph neighbours
// and the lists of the nodes on its own list: those nodes lie opposite it,
// so their own least similar lie around it, on the edge, which is where the
// walk must move (FarEdgeLists).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/base/scored.hpp"
#include "core/graph/beam_search.hpp"
#include "core/graph/graph.hpp"
#include "core/graph/search_scratch.hpp"
#include "core/lists/node_lists.hpp"
#include "core/rows/walk_measure.hpp"

namespace tamsel {

// Enabled only under the metrics whose search walks towards a mirrored target.
class FarLinks : public NodeLists<8> {
 public:
  // The breadth of the walk that finds a new node's list, and how many of
  // the nodes nearest to it lend their lists as its starts (docs/tuning.md).
  static constexpr std::size_t kFindBreadth = 32;
  static constexpr std::size_t kFindSources = 8;
  // Most nodes whose lists start one walk.
  static constexpr std::size_t kMaxSources = 8;

  using NodeLists::NodeLists;

  class Room {
    friend class FarLinks;
    Room() = default;
  };
  // Room for the lists of `count` more nodes, for the forms of `form_words`
  // words that linking measures from, and in `scratch` for the results of
  // the walk that finds a list: a batch must not fail halfway.
  Room reserve(std::size_t count, std::size_t form_words, SearchScratch& scratch);
  // Appends the next node, with an empty list.
  void add_node(const Room& room);

  // The lists of the first `nodes` of `near` (nearest first, at most
  // kMaxSources), into `starts` (room for nodes * kWidth ids), or where
  // those hold none yet (the first nodes of an index), those nodes
  // themselves; returns how many ids it wrote.
  std::size_t starts_from(std::span<const ScoredId> near, std::size_t nodes, std::uint32_t* starts) const;

  // Inserting the node of row `vector`: choose finds its least similar
  // nodes by a walk from the lists of the nearest nodes its insertion `met`
  // (nearest first), and changes nothing; link then makes them node `id`'s
  // list and offers the node to the list of each of them.
  void choose(const Graph& graph, const WalkMeasure& measure, const double* vector, std::span<const ScoredId> met,
              SearchScratch& scratch);
  void link(const WalkMeasure& measure, std::uint32_t id);

 private:
  void offer(const WalkMeasure& measure, std::uint32_t to, std::uint32_t newcomer);

  // Linking scratch: the chosen list, and the form of the node whose list is
  // offered a newcomer.
  std::vector<std::uint32_t> chosen_;
  WalkForms form_;
};

}  // namespace tamsel
