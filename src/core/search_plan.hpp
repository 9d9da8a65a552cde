// The planner of a filtered search: which path finds the nodes that hold the
// filter's value, and how wide each path looks. Every constant it weighs
// lives in filter_plan.cpp; bench/cpp/filter_paths measures each path beside
// the planner's choice, and docs/tuning.md keeps the figures the constants
// were chosen from.
#pragma once

#include <cstddef>

namespace tamsel {

// How a filtered search finds the matching nodes.
enum class FilterPath {
  Whole,    // every node holds the value: the unfiltered walk
  Exact,    // every holder of the value scored exactly
  Codes,    // every holder scored on the walk copy, the nearest few again exactly
  Holders,  // a walk over the links among the holders of the value (holder_links.hpp)
};

// Where a walk over the holder links starts (HolderLinks::search): greedy
// descents from the nearest `near` of the holders known to lie next to the
// query, and from the nearest `from_spread` of FilterPlan::kSpread holders
// spread evenly over their ids.
struct HolderStarts {
  std::size_t near;
  std::size_t from_spread;
};

class FilterPlan {
 public:
  // The holders a holder walk measures first, spread over their ids: a
  // coarse map of where they lie, wherever the graph's upper layers lead.
  static constexpr std::size_t kSpread = 128;

  // A search of an index of `nodes` built at `ef_construction`, for `k`
  // results at the breadth `ef`.
  FilterPlan(std::size_t nodes, std::size_t ef_construction, std::size_t k, std::size_t ef)
      : nodes_(nodes), ef_construction_(ef_construction), k_(k), ef_(ef) {}

  // The path for a value that `holders` of the nodes hold.
  FilterPath path(std::size_t holders) const;
  // How many of the nearest found on the walk copy are scored again exactly.
  std::size_t shortlist() const;
  // The breadth of the walk over the holder links, and its starts, for a
  // query that some holder lies next to (`near`), or none.
  std::size_t holder_breadth(bool near) const;
  static HolderStarts holder_starts(bool near);

 private:
  std::size_t nodes_;
  std::size_t ef_construction_;
  std::size_t k_;
  std::size_t ef_;
};

}  // namespace tamsel
