#include "core/search_plan.hpp"

#include <algorithm>
#include <limits>

namespace tamsel {
namespace {

// Each constant's reason is here; the figures it was chosen from are in
// docs/tuning.md ("The planner of a filtered search"), measured by
// bench/cpp/filter_paths with every path forced on one index.

// The shortlist scored again exactly after a scan or a walk on the walk copy,
// as a multiple of the results asked for: the walk copy's order is close to
// the exact one, not equal to it.
constexpr std::size_t kRescore = 4;
// Up to this many shortlists of holders, scoring them all exactly costs less
// than mapping the query into the walk space and scoring a shortlist again.
constexpr std::size_t kExactShortlists = 4;
// Up to this many holders per unit of ef_search, a scan of their rows in id
// order beats a walk that reads a few times ef_search rows out of order.
constexpr std::size_t kScanPerEf = 50;
// The holder walk needs about this many holders met by an insertion walk
// (ef_construction nodes), on average, for its lists to lead everywhere;
// rarer values are scanned.
constexpr std::size_t kHoldersMet = 5;
// The holder walk keeps this many times ef_search candidates; a query that
// no holder lies next to has its nearest holders spread over several clumps
// at about the same distance, and keeps more.
constexpr std::size_t kHolderBreadth = 2;
constexpr std::size_t kFarHolderBreadth = 5;
// Its starts: a few descents from the nearest holders known, more of them
// when no holder lies next to the query (its nearest holders lie in several
// clumps, and the walk finds only those it starts in or is wide enough to
// reach).
constexpr std::size_t kNearStarts = 2;
constexpr std::size_t kSpreadStarts = 2;
constexpr std::size_t kFarSpreadStarts = 16;

std::size_t saturating_product(std::size_t a, std::size_t b) {
  std::size_t product;
  return __builtin_mul_overflow(a, b, &product) ? std::numeric_limits<std::size_t>::max() : product;
}

}  // namespace

std::size_t FilterPlan::shortlist() const { return std::max(ef_, saturating_product(kRescore, std::min(k_, ef_))); }

FilterPath FilterPlan::path(std::size_t holders) const {
  const bool few = holders <= saturating_product(kExactShortlists, shortlist());
  // A filter that every node passes asks for the unfiltered search (which
  // reaches linked nodes alone: a few are all scored instead).
  if (holders == nodes_ && !few) return FilterPath::Whole;
  if (few) return FilterPath::Exact;
  if (holders <= saturating_product(kScanPerEf, ef_)) return FilterPath::Codes;
  const bool linked_enough = saturating_product(holders, ef_construction_) >= saturating_product(nodes_, kHoldersMet);
  return linked_enough ? FilterPath::Holders : FilterPath::Codes;
}

std::size_t FilterPlan::holder_breadth(bool near) const {
  return saturating_product(near ? kHolderBreadth : kFarHolderBreadth, ef_);
}

HolderStarts FilterPlan::holder_starts(bool near) { return {kNearStarts, near ? kSpreadStarts : kFarSpreadStarts}; }

}  // namespace tamsel
