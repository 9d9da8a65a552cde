// The walk along the far edge of the data, under the similarities: the
// lists it follows from a node, and the walk itself (far_links.hpp says why
// the least similar lie there, and how the far lists find them).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/graph/beam_search.hpp"
#include "core/graph/graph.hpp"
#include "core/graph/search_scratch.hpp"
#include "core/lists/far_links.hpp"
#include "core/lists/product_links.hpp"
#include "core/rows/walk_measure.hpp"

namespace tamsel {

// What the walk follows from a node: its layer-0 list, the far lists of the
// nodes on its own far list (those lie opposite it, so their own least
// similar lie around it, on the edge), and, when given, its product list.
// A block holds all of them at the largest m.
class FarEdgeLists {
 public:
  static constexpr std::size_t kMaxIds = 2 * Graph::kMaxM + FarLinks::kWidth * FarLinks::kWidth + ProductLinks::kWidth;

  FarEdgeLists(const Graph& graph, const FarLinks& far, const ProductLinks* products)
      : graph_(&graph), far_(&far), products_(products) {}
  const std::uint32_t* block(std::uint32_t id);
  void prefetch(std::uint32_t id) const;

 private:
  const Graph* graph_;
  const FarLinks* far_;
  const ProductLinks* products_;
  std::uint32_t block_[1 + kMaxIds] = {};
};

// The breadths of a walk along the far edge (the search plan sets them).
struct FarEdgeBreadths {
  std::size_t near;     // of the walk to the nodes most like the query
  std::size_t sources;  // how many of those lend their far lists as starts
  std::size_t ef;       // of the walk along the edge
};

// Walks to the nodes most like the query first (the least like its
// negation), a walk that stays inside the data, then from their far lists
// along the far edge, leaving in scratch.results the nearest by `query`'s
// measure that `admit` admits, nearest first. `products`, when given, joins
// the lists followed (the largest products lie along them). Returns the
// query as the walk measured it.
template <class Admit>
WalkQuery walk_far_edge(const Graph& graph, const FarLinks& far, const ProductLinks* products,
                        const WalkMeasure& measure, const double* query, std::size_t length, FarEdgeBreadths breadths,
                        const Admit& admit, SearchScratch& scratch) {
  std::vector<double>& negated = scratch.negated;
  negated.resize(length);
  for (std::size_t i = 0; i < length; ++i) negated[i] = -query[i];
  // Nodes alone: the starts are linked nodes, each met once.
  graph.search(measure, measure.search_query(negated.data(), length, scratch), breadths.near, kNodeAlone, scratch);
  std::uint32_t starts[FarLinks::kMaxSources * FarLinks::kWidth];
  const std::size_t count = far.starts_from(scratch.results, std::min(breadths.sources, FarLinks::kMaxSources), starts);
  const WalkQuery walk_query = measure.search_query(query, length, scratch);
  beam_search_from({starts, count}, FarEdgeLists(graph, far, products), measure, walk_query, breadths.ef, admit,
                   scratch);
  return walk_query;
}

}  // namespace tamsel
