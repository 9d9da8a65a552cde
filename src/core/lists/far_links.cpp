#include "core/lists/far_links.hpp"

#include <algorithm>

#include "core/batch/room.hpp"

namespace tamsel {

FarLinks::Room FarLinks::reserve(std::size_t count, std::size_t form_words, SearchScratch& scratch) {
  if (!kept()) return Room{};
  reserve_lists(count);
  make_room_for_total(scratch.results, kFindBreadth + 1);
  make_room_for_total(chosen_, kWidth);
  make_room_for_total(form_, form_words);
  return Room{};
}

void FarLinks::add_node(const Room&) { add_list(); }

std::size_t FarLinks::starts_from(std::span<const ScoredId> near, std::size_t nodes, std::uint32_t* starts) const {
  std::size_t count = 0;
  for (const ScoredId& node : near.first(std::min(near.size(), nodes))) {
    for (const std::uint32_t far : of(static_cast<std::uint32_t>(node.id))) {
      if (far != kNone) starts[count++] = far;
    }
  }
  if (count > 0) return count;
  for (const ScoredId& node : near.first(std::min(near.size(), nodes)))
    starts[count++] = static_cast<std::uint32_t>(node.id);
  return count;
}

void FarLinks::choose(std::span<const ScoredId> found) {
  chosen_.clear();
  for (const ScoredId& node : found.first(std::min(found.size(), kWidth)))
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
  std::uint32_t* const members = list(to);
  std::uint32_t* const end = std::find(members, members + kWidth, kNone);
  if (std::find(members, end, newcomer) != end) return;
  if (end != members + kWidth) {
    *end = newcomer;
    return;
  }
  std::uint32_t ids[kWidth + 1];
  double measures[kWidth + 1];
  std::copy(members, members + kWidth, ids);
  ids[kWidth] = newcomer;
  measure.score(measure.node(to, form_, WalkSearch::Farthest), ids, kWidth + 1, measures);
  const std::size_t most_similar = static_cast<std::size_t>(std::max_element(measures, measures + kWidth) - measures);
  if (nearer(measures[kWidth], measures[most_similar])) members[most_similar] = newcomer;
}

const std::uint32_t* FarEdgeLists::block(std::uint32_t id) {
  const std::uint32_t* own = graph_->layer0_list(id);
  std::size_t count = std::min<std::size_t>(own[0], kMaxBlockIds - 1);
  std::copy(own + 1, own + 1 + count, block_ + 1);
  for (const std::uint32_t opposite : far_->of(id)) {
    if (opposite == FarLinks::kNone) continue;
    for (const std::uint32_t along : far_->of(opposite)) {
      if (along != FarLinks::kNone && along != id && count < kMaxBlockIds - 1) block_[1 + count++] = along;
    }
  }
  if (products_ != nullptr) {
    for (const std::uint32_t product : products_->of(id)) {
      if (product != ProductLinks::kNone && count < kMaxBlockIds - 1) block_[1 + count++] = product;
    }
  }
  block_[0] = static_cast<std::uint32_t>(count);
  return block_;
}

void FarEdgeLists::prefetch(std::uint32_t id) const {
  __builtin_prefetch(graph_->layer0_list(id));
  __builtin_prefetch(far_->of(id).data());
}

}  // namespace tamsel
