#include "core/graph/diverse_choice.hpp"

#include <algorithm>

#include "core/batch/room.hpp"

namespace tamsel {

void DiverseChoice::reserve(std::size_t limit, std::size_t candidates, std::size_t form_words) {
  make_room_for_total(pruned_, candidates);
  make_room_for_total(kept_forms_, limit * form_words);
}

void DiverseChoice::keep(const WalkMeasure& measure, std::vector<ScoredId>& sorted, std::size_t limit, FillUp fill) {
  if (sorted.size() <= limit) return;
  pruned_.clear();
  // Each kept neighbour is measured from as a query, in its walk form; a
  // candidate falls at the first kept neighbour it is nearer to.
  const std::size_t form_words = measure.form_words();
  kept_forms_.resize(limit * form_words);
  const auto kept_form = [&](std::size_t j) {
    return reinterpret_cast<std::byte*>(kept_forms_.data() + j * form_words);
  };
  std::size_t kept = 0;
  for (std::size_t i = 0; i < sorted.size() && kept < limit; ++i) {
    const ScoredId candidate = sorted[i];
    const auto id = static_cast<std::uint32_t>(candidate.id);
    if (!measure.nearer_to_any(kept_form(0), kept, id, candidate.score)) {
      measure.node_form(id, kept_form(kept));
      sorted[kept++] = candidate;
    } else {
      pruned_.push_back(candidate);
    }
  }
  std::size_t last = pruned_.size();
  if (fill == FillUp::KeepingFarthest && kept < limit && last > 0) sorted[kept++] = pruned_[--last];
  for (std::size_t i = 0; kept < limit && i < last; ++i) sorted[kept++] = pruned_[i];
  sorted.resize(kept);
}

void DiverseChoice::choose_again(const WalkMeasure& measure, std::uint32_t from, const std::uint32_t* list,
                                 std::uint32_t newcomer, std::size_t limit, FillUp fill, WalkForms& from_form,
                                 std::uint32_t* ids, std::vector<ScoredId>& chosen) {
  const std::size_t count = list[0] + 1;
  double distances[kMaxBlockIds];
  std::copy(list + 1, list + count, ids);
  ids[count - 1] = newcomer;
  measure.score(measure.node(from, from_form), ids, count, distances);
  chosen.clear();
  for (std::size_t j = 0; j < count; ++j) chosen.push_back({distances[j], ids[j]});
  std::sort(chosen.begin(), chosen.end(), ChosenBefore{from});
  keep(measure, chosen, limit, fill);
}

}  // namespace tamsel
