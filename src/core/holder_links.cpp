#include "core/holder_links.hpp"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "core/beam_search.hpp"
#include "core/room.hpp"

namespace tamsel {
namespace {

// A search starts from this many holders, spread evenly over their ids, so
// that it starts near the query wherever the holders lie, even far from the
// nodes the graph's upper layers lead to.
constexpr std::size_t kSeeds = 64;
// A node's list is chosen among the nearest this many times its length of
// the holders its walk met: choosing costs a measure per pair.
constexpr std::size_t kConsidered = 4;

}  // namespace

HolderLinks::HolderLinks(std::size_t attributes, std::size_t width) : attributes_(attributes), width_(width) {
  if (width > kMaxWidth) throw std::length_error("HNSW: holder lists longer than kMaxWidth");
}

HolderLinks::Room HolderLinks::reserve(std::size_t count, std::size_t candidates, std::size_t form_words) {
  if (attributes_ == 0) return Room{};
  if (count > (blocks_.max_size() - blocks_.size()) / (attributes_ * (1 + width_)))
    throw std::length_error("HNSW: index too large");
  make_room(blocks_, count * attributes_ * (1 + width_));
  make_room_for_total(chosen_, std::max(candidates, kConsidered * width_ + 1));
  make_room_for_total(from_form_, form_words);
  diverse_.reserve(width_, std::max(candidates, kConsidered * width_ + 1), form_words);
  return Room{};
}

void HolderLinks::add_node(const Room&) { blocks_.resize(blocks_.size() + attributes_ * (1 + width_), 0); }

void HolderLinks::link(const WalkMeasure& measure, const MetadataStore& metadata, const CopyTable& copies,
                       std::uint32_t id, std::span<const ScoredId> candidates, SearchScratch& scratch) {
  const std::size_t considered = kConsidered * width_;
  for (std::size_t attribute = 0; attribute < attributes_; ++attribute) {
    const Metadata* value = metadata.value(id, attribute);
    if (value == nullptr || !can_match(*value)) continue;
    // The walk met the originals of exact copies alone; their copies are as near.
    chosen_.clear();
    const auto consider = [&](std::uint32_t other, double distance) {
      const Metadata* held = metadata.value(other, attribute);
      if (held != nullptr && *held == *value) chosen_.push_back({distance, other});
      return chosen_.size() < considered;
    };
    for (const ScoredId& candidate : candidates) {
      const auto original = static_cast<std::uint32_t>(candidate.id);
      bool room = consider(original, candidate.score);
      for (const std::uint32_t copy : copies.copies_of(original)) {
        if (!room) break;
        room = consider(copy, candidate.score);
      }
      if (!room) break;
    }
    if (chosen_.size() < considered) reach_further(measure, id, attribute, scratch);
    // Copies tie: each list takes its own share of them, so that every copy is linked to.
    std::sort(chosen_.begin(), chosen_.end(), ChosenBefore{id});
    diverse_.keep(measure, chosen_, width_);
    std::uint32_t* own = block(id, attribute);
    own[0] = static_cast<std::uint32_t>(chosen_.size());
    for (std::size_t j = 0; j < chosen_.size(); ++j) own[1 + j] = static_cast<std::uint32_t>(chosen_[j].id);
    for (std::uint32_t j = 0; j < own[0]; ++j) link_back(measure, own[1 + j], attribute, id);
  }
}

// A value that few nodes hold leaves few of them among the nodes the walk
// met: the lists of those it met lead to more.
void HolderLinks::reach_further(const WalkMeasure& measure, std::uint32_t id, std::size_t attribute,
                                SearchScratch& scratch) {
  const std::size_t considered = kConsidered * width_;
  VisitedList& seen = scratch.visited;
  seen.start_search();
  seen.visit(id);
  for (const ScoredId& met : chosen_) seen.visit(static_cast<std::uint32_t>(met.id));
  std::uint32_t ids[kConsidered * kMaxWidth];
  std::size_t count = 0;
  const std::size_t met = chosen_.size();
  for (std::size_t j = 0; j < met; ++j) {
    const std::uint32_t* list = block(static_cast<std::uint32_t>(chosen_[j].id), attribute);
    for (std::uint32_t i = 0; i < list[0] && met + count < considered; ++i) {
      if (seen.visit(list[1 + i])) ids[count++] = list[1 + i];
    }
  }
  double distances[kConsidered * kMaxWidth];
  measure.score(measure.node(id, from_form_), ids, count, distances);
  for (std::size_t j = 0; j < count; ++j) chosen_.push_back({distances[j], ids[j]});
}

void HolderLinks::link_back(const WalkMeasure& measure, std::uint32_t from, std::size_t attribute, std::uint32_t to) {
  std::uint32_t* list = block(from, attribute);
  if (list[0] < width_) {
    list[1 + list[0]++] = to;
    return;
  }
  // The list is full: choose again among its nodes and the newcomer.
  const std::size_t count = list[0] + 1;
  std::uint32_t ids[kMaxBlockIds];
  double distances[kMaxBlockIds];
  std::copy(list + 1, list + count, ids);
  ids[count - 1] = to;
  measure.score(measure.node(from, from_form_), ids, count, distances);
  chosen_.clear();
  for (std::size_t j = 0; j < count; ++j) chosen_.push_back({distances[j], ids[j]});
  std::sort(chosen_.begin(), chosen_.end(), ChosenBefore{from});
  // Choosing again costs a measure per pair: it leaves room for the next few newcomers.
  diverse_.keep(measure, chosen_, width_ - width_ / 4);
  list[0] = static_cast<std::uint32_t>(chosen_.size());
  for (std::size_t j = 0; j < chosen_.size(); ++j) list[1 + j] = static_cast<std::uint32_t>(chosen_[j].id);
}

void HolderLinks::search(const WalkMeasure& measure, const WalkQuery& query, std::size_t attribute,
                         std::span<const std::uint32_t> holders, std::size_t ef, SearchScratch& scratch) const {
  scratch.visited.start_search();
  scratch.results.clear();
  scratch.queue.clear();
  if (holders.empty()) return;
  const std::size_t seeds = std::min(kSeeds, holders.size());
  std::uint32_t ids[kSeeds];
  double distances[kSeeds];
  for (std::size_t j = 0; j < seeds; ++j) {
    ids[j] = holders[j * holders.size() / seeds];
    scratch.visited.visit(ids[j]);
    measure.prefetch(ids[j]);
  }
  measure.score(query, ids, seeds, distances);
  for (std::size_t j = 0; j < seeds; ++j) {
    scratch.queue.push_back({distances[j], ids[j]});
    admit_node(distances[j], ids[j], ef, nullptr, scratch.results);
  }
  std::make_heap(scratch.queue.begin(), scratch.queue.end(), ScoredAfter{});
  beam_search([this, attribute](std::uint32_t id) { return block(id, attribute); }, measure, query, ef, nullptr,
              scratch);
}

}  // namespace tamsel
