#include "core/lists/far_links.hpp"

#include <algorithm>

#include "core/batch/room.hpp"

namespace tamsel {

FarLinks::Room FarLinks::reserve(std::size_t count, std::size_t form_words, SearchScratch& scratch) {
  if (!enabled()) return Room{};
  reserve_lists(count);
  make_room_for_total(scratch.results, kFindBreadth + 1);
  make_room_for_total(chosen_, kWidth);
  make_room_for_total(form_, form_words);
  return Room{};
}

void FarLinks::add_node(const Room&) { add_list(); }

std::size_t FarLinks::starts_from(std::span<const ScoredId> near, std::size_t nodes, std::uint32_t* starts) const {
  nodes = std::min({nodes, kMaxSources, near.size()});
  std::size_t count = 0;
  for (const ScoredId& node : near.first(nodes)) {
    for (const std::uint32_t far : of(static_cast<std::uint32_t>(node.id))) {
      if (far != kNone) starts[count++] = far;
    }
  }
  if (count > 0) return count;
  for (const ScoredId& node : near.first(nodes)) starts[count++] = static_cast<std::uint32_t>(node.id);
  return count;
}

void FarLinks::choose(const Graph& graph, const WalkMeasure& measure, const double* vector,
                      std::span<const ScoredId> met, SearchScratch& scratch) {
  std::uint32_t starts[kFindSources * kWidth];
  const std::size_t count = starts_from(met, kFindSources, starts);
  beam_search_from({starts, count}, graph.layer0_lists(), measure, measure.search_query(vector, measure.dim(), scratch),
                   kFindBreadth, kNodeAlone, scratch);
  chosen_.clear();
  for (const ScoredId& node : std::span(scratch.results).first(std::min(scratch.results.size(), kWidth)))
    chosen_.push_back(static_cast<std::uint32_t>(node.id));
}

void FarLinks::link(const WalkMeasure& measure, std::uint32_t id) {
  std::copy(chosen_.begin(), chosen_.end(), list(id));
  for (const std::uint32_t far : chosen_) offer(measure, far, id);
}

// Similarity is symmetric: a node least like the newcomer may count the
// newcomer among its own least similar, in place of the most similar it
// keeps. Measured as the points farthest from the node's own, as its walk
// row keeps it: the same order as a search from it under the cosine, and
// near it under the inner product (lifted, the products of the lifts join
// those of the vectors), at a fraction of the cost of a search's form.
void FarLinks::offer(const WalkMeasure& measure, std::uint32_t to, std::uint32_t newcomer) {
  if (try_append(to, newcomer) != Offered::Full) return;
  std::uint32_t* const members = list(to);
  std::uint32_t ids[kWidth + 1];
  double measures[kWidth + 1];
  std::copy(members, members + kWidth, ids);
  ids[kWidth] = newcomer;
  measure.score(measure.node(to, form_, WalkSearch::Farthest), ids, kWidth + 1, measures);
  const std::size_t most_similar = static_cast<std::size_t>(std::max_element(measures, measures + kWidth) - measures);
  if (nearer(measures[kWidth], measures[most_similar])) members[most_similar] = newcomer;
}

}  // namespace tamsel
