#include "core/lists/product_links.hpp"

#include <algorithm>
#include <limits>

#include "core/base/top_k.hpp"
#include "core/batch/room.hpp"

namespace tamsel {

namespace {

// Nodes are ranked by the negated product, so that the largest product comes
// first in score order and NaN last.
double rank_of(double product) { return -product; }

constexpr std::size_t kChunk = 64;

}  // namespace

ProductLinks::Room ProductLinks::reserve(std::size_t count, std::size_t dim, std::size_t form_words) {
  if (!enabled()) return Room{};
  reserve_lists(count);
  make_room(weakest_, count);
  make_room_for_total(best_, kShortlist);
  make_room_for_total(negated_, dim);
  make_room_for_total(point_, dim);
  make_room_for_total(form_, form_words);
  return Room{};
}

void ProductLinks::add_node(const Room&) {
  if (!enabled()) return;
  add_list();
  weakest_.push_back(std::numeric_limits<double>::quiet_NaN());
}

void ProductLinks::choose(const WalkMeasure& measure, const VectorStore& store, std::uint32_t id,
                          std::span<const ScoredId> met) {
  // The nodes met, ranked on the walk copy as a search for the smallest
  // products with the negated node ranks them; then the first kShortlist
  // of them exactly.
  const double* row = store.row(id);
  negated_.resize(store.dim());
  for (std::size_t i = 0; i < store.dim(); ++i) negated_[i] = -row[i];
  const WalkQuery query = measure.search_query(negated_.data(), store.dim(), point_, form_);
  best_.clear();
  std::uint32_t ids[kChunk];
  double measures[kChunk];
  for (std::size_t first = 0; first < met.size(); first += kChunk) {
    std::size_t count = 0;
    for (const ScoredId& node : met.subspan(first, std::min(kChunk, met.size() - first))) {
      if (node.id != id) ids[count++] = static_cast<std::uint32_t>(node.id);
    }
    measure.score(query, ids, count, measures);
    for (std::size_t j = 0; j < count; ++j) offer_best(best_, kShortlist, {measures[j], ids[j]});
  }
  store.score_exactly(Metric::InnerProduct, row, store.dim(), best_);
  for (ScoredId& entry : best_) entry.score = rank_of(entry.score);
  keep_best(best_, kWidth);
}

void ProductLinks::link(const VectorStore& store, std::uint32_t id) {
  std::uint32_t* const members = list(id);
  double ranks[kWidth];
  for (std::size_t j = 0; j < best_.size(); ++j) {
    members[j] = static_cast<std::uint32_t>(best_[j].id);
    ranks[j] = best_[j].score;
  }
  if (best_.size() == kWidth) settle_weakest(id, ranks);
  for (const ScoredId& chosen : best_) offer(store, static_cast<std::uint32_t>(chosen.id), id, chosen.score);
}

// The product is symmetric: a node of a large product with the newcomer may
// count the newcomer among its own, in place of its smallest. Most offers end
// at the comparison with the smallest it keeps; a full list that takes the
// newcomer measures its members again to find which one leaves.
void ProductLinks::offer(const VectorStore& store, std::uint32_t to, std::uint32_t newcomer, double rank) {
  double ranks[kWidth];
  switch (try_append(to, newcomer)) {
    case Offered::Present: return;
    case Offered::Appended:
      // With room left, every offer is taken: no weakest yet.
      if (!full(to)) return;
      rank_members(store, to, ranks);
      break;
    case Offered::Full: {
      if (!nearer(rank, weakest_[to])) return;
      rank_members(store, to, ranks);
      const std::size_t leaving = weakest_of(ranks);
      list(to)[leaving] = newcomer;
      ranks[leaving] = rank;
      break;
    }
  }
  settle_weakest(to, ranks);
}

void ProductLinks::rank_members(const VectorStore& store, std::uint32_t id, double* ranks) const {
  store.score_exactly(Metric::InnerProduct, store.row(id), store.dim(), of(id).data(), kWidth, ranks);
  for (std::size_t j = 0; j < kWidth; ++j) ranks[j] = rank_of(ranks[j]);
}

void ProductLinks::settle_weakest(std::uint32_t id, const double* ranks) { weakest_[id] = ranks[weakest_of(ranks)]; }

std::size_t ProductLinks::weakest_of(const double* ranks) {
  std::size_t weakest = 0;
  for (std::size_t j = 1; j < kWidth; ++j) {
    if (nearer(ranks[weakest], ranks[j])) weakest = j;
  }
  return weakest;
}

}  // namespace tamsel
