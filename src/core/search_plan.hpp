// The plan of a search: which nodes it may return and by which path, and
// where its target lies, decided in one place from the counts, the
// breadths and the geometry of the query. Every constant the plan weighs
// lives in search_plan.cpp; bench/cpp/filter_paths measures each route
// forced beside the planner's choice, and docs/tuning.md keeps the figures
// the constants were chosen from.
#pragma once

#include <cstddef>
#include <optional>

namespace tamsel {

// Which nodes a search may return, and how it finds them.
enum class FilterPath {
  Whole,    // every node: no filter, or one that every node passes
  Exact,    // the holders of the filter's value, every one scored exactly
  Codes,    // the holders, every one scored on the walk copy, the nearest few again exactly
  Holders,  // the holders, found by a walk that admits them alone (holder_links.hpp, or along the far edge)
};

// Where the answer of a search lies.
enum class TargetPlace {
  Inside,           // among the data: the walk from the entry node
  FarEdge,          // outside it, on its far edge (far_edge.hpp)
  FarEdgeProducts,  // the same, with the largest products asked for: the product lists lead there too
};

// The geometry of a similarity search's target (WalkSpace::target_radii):
// the square distances from the frame's centre of the point it walks
// towards (the mirrored query, lifted under the inner product) and of the
// query's own point (NaN when not measured), over the stored points' mean.
struct TargetRadii {
  double mirror;
  double own;
};

// Where a walk over the holder links starts (HolderLinks::search): greedy
// descents from the nearest `near` of the holders known to lie next to the
// query, and from the nearest `from_spread` of SearchPlan::kSpreadHolders
// holders spread evenly over their ids.
struct HolderStarts {
  std::size_t near;
  std::size_t from_spread;
};

// What the planner weighs.
struct SearchInputs {
  std::size_t nodes = 0;
  std::size_t ef_construction = 0;
  std::size_t k = 0;
  std::size_t ef = 0;
  std::optional<std::size_t> holders = std::nullopt;  // of the filter's value, when filtered
  std::optional<TargetRadii> radii = std::nullopt;    // when the index keeps far lists and the query has their length
  bool product_lists = false;                         // whether the index keeps them
  // Routes tests and tools impose; the planner chooses what is absent.
  std::optional<FilterPath> path = std::nullopt;
  std::optional<TargetPlace> place = std::nullopt;
};

struct SearchPlan {
  // A target lies outside the data only when its mirrored point lies beyond
  // this many times the stored points' mean square radius (search_plan.cpp).
  static constexpr double kOutside = 1.1;

  // The holders a holder walk measures first, spread over their ids: a
  // coarse map of where they lie, wherever the graph's upper layers lead.
  static constexpr std::size_t kSpreadHolders = 128;
  // The walk to the nodes most like the query, first on the far edge, and
  // how many of them lend their far lists as its starts.
  static constexpr std::size_t kNearWalkBreadth = 8;
  static constexpr std::size_t kFarListSources = 8;

  FilterPath path;
  TargetPlace place;
  std::size_t ef;         // the breadth of the walk
  std::size_t keep;       // the results returned, at most
  std::size_t shortlist;  // how many of the nearest found on the walk copy are scored again exactly

  // The breadth of the walk over the holder links, and its starts, for a
  // query that some holder lies next to (`near`), or none.
  std::size_t holder_breadth(bool near) const;
  static HolderStarts holder_starts(bool near);
};

SearchPlan plan_search(const SearchInputs& inputs);

}  // namespace tamsel
