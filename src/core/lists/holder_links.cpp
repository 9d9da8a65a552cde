#include "core/lists/holder_links.hpp"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "core/batch/room.hpp"
#include "core/graph/beam_search.hpp"
#include "core/search_plan.hpp"

namespace tamsel {
namespace {

// A node's list is chosen among the nearest this many times its length of
// the holders its walk met: choosing costs a measure per pair.
constexpr std::size_t kConsidered = 4;
constexpr std::size_t kMaxNear = kConsidered * HolderLinks::kMaxWidth;

}  // namespace

HolderLinks::HolderLinks(std::size_t attributes, std::size_t width) : attributes_(attributes), width_(width) {
  if (width > kMaxWidth) throw BrokenInvariant("HNSW: holder lists longer than kMaxWidth");
}

HolderLinks::Room HolderLinks::reserve(std::size_t count, std::size_t candidates, std::size_t form_words,
                                       SearchScratch& scratch) {
  if (attributes_ == 0) return Room{};
  if (count > (blocks_.max_size() - blocks_.size()) / (attributes_ * (1 + width_)))
    throw CapacityExceeded("HNSW: more holder links than a container holds");
  make_room(blocks_, count * attributes_ * (1 + width_));
  // The walk that reaches further queues at worst every node.
  const std::size_t nodes = blocks_.size() / (attributes_ * (1 + width_)) + count;
  make_room_for_total(scratch.queue, nodes);
  make_room_for_total(scratch.results, kConsidered * width_ + 1);
  make_room_for_total(chosen_, std::max(candidates, kConsidered * width_ + 1));
  make_room_for_total(chosen_lists_, attributes_ * (1 + width_));
  make_room_for_total(from_form_, form_words);
  make_room_for_total(query_form_, form_words);
  diverse_.reserve(width_, std::max(candidates, kConsidered * width_ + 1), form_words);
  return Room{};
}

void HolderLinks::add_node(const Room&) { blocks_.resize(blocks_.size() + attributes_ * (1 + width_), 0); }

void HolderLinks::choose(const WalkMeasure& measure, const MetadataStore& metadata, const DuplicateTable& duplicates,
                         std::uint32_t id, std::span<const ScoredId> met, SearchScratch& scratch) {
  const std::size_t considered = kConsidered * width_;
  for (std::size_t attribute = 0; attribute < attributes_; ++attribute) {
    std::uint32_t* const chosen_list = chosen_lists_.data() + attribute * (1 + width_);
    chosen_list[0] = 0;
    const Metadata* value = metadata.value(id, attribute);
    if (value == nullptr || !can_match(*value)) continue;
    // The walk met the originals of duplicates alone; their duplicates are as near.
    chosen_.clear();
    const auto consider = [&](std::uint32_t other, double distance) {
      const Metadata* held = metadata.value(other, attribute);
      if (held != nullptr && *held == *value) chosen_.push_back({distance, other});
      return chosen_.size() < considered;
    };
    for (const ScoredId& candidate : met) {
      const auto original = static_cast<std::uint32_t>(candidate.id);
      bool room = consider(original, candidate.score);
      for (const std::uint32_t duplicate : duplicates.duplicates_of(original)) {
        if (!room) break;
        room = consider(duplicate, candidate.score);
      }
      if (!room) break;
    }
    if (chosen_.size() < considered)
      reach_further(measure, metadata.holders(attribute, *value), id, attribute, scratch);
    // Duplicates tie: each list takes its own share of them, so that every one is linked to.
    std::sort(chosen_.begin(), chosen_.end(), ChosenBefore{id});
    diverse_.keep(measure, chosen_, width_);
    store_list(chosen_list, chosen_);
  }
}

void HolderLinks::link(const WalkMeasure& measure, std::uint32_t id) {
  for (std::size_t attribute = 0; attribute < attributes_; ++attribute) {
    const std::uint32_t* const chosen_list = chosen_lists_.data() + attribute * (1 + width_);
    std::uint32_t* const own = block(id, attribute);
    std::copy(chosen_list, chosen_list + 1 + chosen_list[0], own);
    for (std::uint32_t j = 0; j < own[0]; ++j) link_back(measure, own[1 + j], attribute, id);
  }
}

// A value that few nodes near this one hold leaves few of them among the
// nodes the walk met, and those may all lie in one clump: a walk over the
// holders' own lists, from those met, finds the nearest holders wherever they
// lie, so that the clump is linked to the others.
void HolderLinks::reach_further(const WalkMeasure& measure, std::span<const std::uint32_t> holders, std::uint32_t id,
                                std::size_t attribute, SearchScratch& scratch) {
  const std::size_t considered = kConsidered * width_;
  const std::size_t met = chosen_.size();
  std::uint32_t near[kMaxNear];
  for (std::size_t j = 0; j < met; ++j) near[j] = static_cast<std::uint32_t>(chosen_[j].id);
  search(measure, measure.node(id, query_form_), attribute, holders, {near, met}, considered, scratch);
  for (const ScoredId& found : scratch.results) {
    if (chosen_.size() == considered) break;
    if (found.id == id || std::find(near, near + met, found.id) != near + met) continue;
    chosen_.push_back(found);
  }
}

void HolderLinks::link_back(const WalkMeasure& measure, std::uint32_t from, std::size_t attribute, std::uint32_t to) {
  std::uint32_t* list = block(from, attribute);
  if (list[0] < width_) {
    list[1 + list[0]++] = to;
    return;
  }
  // The list is full: choose again among its nodes and the newcomer. Choosing
  // costs a measure per pair: it leaves room for the next few newcomers.
  std::uint32_t ids[kMaxBlockIds];
  diverse_.choose_again(measure, from, list, to, width_ - width_ / 4, FillUp::Nearest, from_form_, ids, chosen_);
  store_list(list, chosen_);
}

void HolderLinks::descend(const WalkMeasure& measure, const WalkQuery& query, std::size_t attribute, ScoredId start,
                          std::size_t ef, SearchScratch& scratch) const {
  std::uint32_t ids[kMaxBlockIds];
  double distances[kMaxBlockIds];
  ScoredId current = start;
  scratch.queue.push_back(current);
  for (;;) {
    const std::uint32_t* list = block(static_cast<std::uint32_t>(current.id), attribute);
    std::size_t fresh = 0;
    for (std::uint32_t j = 0; j < list[0]; ++j) {
      if (!scratch.visited.visit(list[1 + j])) continue;
      ids[fresh] = list[1 + j];
      measure.prefetch(ids[fresh]);
      ++fresh;
    }
    measure.score(query, ids, fresh, distances);
    ScoredId best = current;
    for (std::size_t j = 0; j < fresh; ++j) {
      scratch.queue.push_back({distances[j], ids[j]});
      kNodeAlone(distances[j], ids[j], ef, scratch.results);
      if (nearer(distances[j], best.score)) best = {distances[j], ids[j]};
    }
    if (best.id == current.id) return;
    current = best;
  }
}

void HolderLinks::search(const WalkMeasure& measure, const WalkQuery& query, std::size_t attribute,
                         std::span<const std::uint32_t> holders, std::span<const std::uint32_t> near, std::size_t ef,
                         SearchScratch& scratch) const {
  scratch.visited.start_search();
  scratch.results.clear();
  scratch.queue.clear();
  if (holders.empty()) return;
  // The near holders first, then the spread ones, each measured once.
  std::uint32_t ids[kMaxNear + SearchPlan::kSpreadHolders];
  double distances[kMaxNear + SearchPlan::kSpreadHolders];
  std::size_t near_count = 0;
  for (const std::uint32_t id : near.first(std::min(near.size(), kMaxNear))) {
    if (scratch.visited.visit(id)) ids[near_count++] = id;
  }
  std::size_t count = near_count;
  const std::size_t spread = std::min(SearchPlan::kSpreadHolders, holders.size());
  for (std::size_t j = 0; j < spread; ++j) {
    const std::uint32_t id = holders[j * holders.size() / spread];
    if (scratch.visited.visit(id)) ids[count++] = id;
  }
  for (std::size_t j = 0; j < count; ++j) measure.prefetch(ids[j]);
  measure.score(query, ids, count, distances);
  ScoredId seeds[kMaxNear + SearchPlan::kSpreadHolders];
  for (std::size_t j = 0; j < count; ++j) {
    seeds[j] = {distances[j], ids[j]};
    kNodeAlone(distances[j], ids[j], ef, scratch.results);
  }
  ScoredId* const spread_seeds = seeds + near_count;
  const HolderStarts starts = SearchPlan::holder_starts(near_count > 0);
  const std::size_t near_starts = std::min(starts.near, near_count);
  const std::size_t spread_starts = std::min(starts.from_spread, count - near_count);
  std::partial_sort(seeds, seeds + near_starts, spread_seeds, ScoredBefore{});
  std::partial_sort(spread_seeds, spread_seeds + spread_starts, seeds + count, ScoredBefore{});
  // Each descent ends where no neighbour is nearer: the walk then starts at
  // the bottom of every basin it found.
  for (std::size_t j = 0; j < near_starts; ++j) descend(measure, query, attribute, seeds[j], ef, scratch);
  for (std::size_t j = 0; j < spread_starts; ++j) descend(measure, query, attribute, spread_seeds[j], ef, scratch);
  std::make_heap(scratch.queue.begin(), scratch.queue.end(), ScoredAfter{});
  beam_search(StoredLists{[this, attribute](std::uint32_t id) { return block(id, attribute); }}, measure, query, ef,
              kNodeAlone, scratch);
}

}  // namespace tamsel
