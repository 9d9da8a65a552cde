#include "core/search_plan.hpp"

#include <algorithm>
#include <limits>

namespace tamsel {
namespace {

// Each constant's reason is here; the figures it was chosen from are in
// docs/tuning.md ("The plan of a search"), measured by bench/cpp/filter_paths
// with every route forced on one index, and by bench/quality.py's cones.

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
// Its starts: a few descents from the nearest holders known to lie next to
// the query, and from the spread holders, more of them when no holder lies
// next to the query (its nearest holders lie in several clumps, and the
// walk finds only those it starts in or is wide enough to reach).
constexpr std::size_t kNearHolderDescents = 2;
constexpr std::size_t kSpreadDescents = 2;
constexpr std::size_t kFarSpreadDescents = 16;

// The target of a similarity search lies outside the data when its mirrored
// point lies beyond SearchPlan::kOutside times the stored points' mean square radius,
// while the query's own point lies no more than kOwnReach (lifted,
// kLiftedOwnReach) times as far out: the walk along the far edge goes there
// from the nodes most like the query. Lifted, every target has a zero lifted
// coordinate and lies outside the data whichever way the query points: the
// largest products of features of one sign, or of a small common offset, lie
// on the far edge too, with the query's own point a few times farther out; a
// large offset puts it tens of times farther, and the plain walk finds them.
constexpr double kOwnReach = 1.5;
constexpr double kLiftedOwnReach = 4.0;
// A filtered search whose target lies on the far edge walks there admitting
// the holders alone, which measures about nodes / holders times the nodes of
// the unfiltered walk; a scan of the holders on the walk copy measures each
// holder once, at a fraction of a walk's cost per node. The walk is taken
// when holders^2 reaches kFarEdgeWalkPerEf * ef * nodes: where the two ran
// at one rate (bench/cpp/filter_paths --metric angular).
constexpr std::size_t kFarEdgeWalkPerEf = 80;

std::size_t saturating_product(std::size_t a, std::size_t b) {
  std::size_t product;
  return __builtin_mul_overflow(a, b, &product) ? std::numeric_limits<std::size_t>::max() : product;
}

TargetPlace place_of(const SearchInputs& in) {
  if (!in.radii) return TargetPlace::Inside;
  const TargetRadii& r = *in.radii;
  // The search walks towards its own point first, which must lie not much
  // farther out than the mirrored one: a search for the most similar in a
  // cone (the negated query) has its mirrored point among the data, or just
  // outside it, and its own point far beyond.
  if (!(r.mirror > SearchPlan::kOutside)) return TargetPlace::Inside;
  const double own_reach = in.product_lists ? kLiftedOwnReach : kOwnReach;
  if (!(r.own <= own_reach * r.mirror)) return TargetPlace::Inside;
  return in.product_lists && r.own > r.mirror ? TargetPlace::FarEdgeProducts : TargetPlace::FarEdge;
}

FilterPath path_of(const SearchInputs& in, TargetPlace place, std::size_t shortlist) {
  if (!in.holders) return FilterPath::Whole;
  const std::size_t holders = *in.holders;
  const bool few = holders <= saturating_product(kExactShortlists, shortlist);
  // A filter that every node passes asks for the unfiltered search (which
  // reaches linked nodes alone: a few are all scored instead).
  if (holders == in.nodes && !few) return FilterPath::Whole;
  if (few) return FilterPath::Exact;
  if (holders <= saturating_product(kScanPerEf, in.ef)) return FilterPath::Codes;
  if (place != TargetPlace::Inside) {
    const std::size_t walk = saturating_product(saturating_product(kFarEdgeWalkPerEf, in.ef), in.nodes);
    return saturating_product(holders, holders) >= walk ? FilterPath::Holders : FilterPath::Codes;
  }
  const bool linked_enough =
      saturating_product(holders, in.ef_construction) >= saturating_product(in.nodes, kHoldersMet);
  return linked_enough ? FilterPath::Holders : FilterPath::Codes;
}

}  // namespace

SearchPlan plan_search(const SearchInputs& in) {
  SearchPlan plan{};
  plan.ef = in.ef;
  plan.keep = std::min(in.k, in.ef);
  // The walk over every node orders its results on the walk copy closely
  // enough that the nearest 4k hold the k nearest; the filtered routes keep
  // ef_search at the least, as they were measured.
  const std::size_t rescored = saturating_product(kRescore, plan.keep);
  const std::size_t filtered_shortlist = std::max(in.ef, rescored);
  plan.place = place_of(in);
  if (in.place && in.radii) plan.place = *in.place;
  if (plan.place == TargetPlace::FarEdgeProducts && !in.product_lists) plan.place = TargetPlace::FarEdge;
  plan.path = path_of(in, plan.place, filtered_shortlist);
  // A filter that every node passes is searched as none, whatever is asked;
  // any other filter is never searched as none, which would return nodes
  // that fail it.
  if (in.path && in.holders && plan.path != FilterPath::Whole && *in.path != FilterPath::Whole) plan.path = *in.path;
  plan.shortlist = plan.path == FilterPath::Whole ? rescored : filtered_shortlist;
  return plan;
}

std::size_t SearchPlan::holder_breadth(bool near) const {
  return saturating_product(near ? kHolderBreadth : kFarHolderBreadth, ef);
}

HolderStarts SearchPlan::holder_starts(bool near) {
  return {kNearHolderDescents, near ? kSpreadDescents : kFarSpreadDescents};
}

}  // namespace tamsel
