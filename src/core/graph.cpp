#include "core/graph.hpp"

#include <cmath>
#include <stdexcept>

#include "core/room.hpp"

namespace tamsel {
namespace {

std::uint64_t seed_from_os() {
  std::random_device device;
  return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

}  // namespace

LevelRandom& LevelRandom::for_this_thread() {
  thread_local LevelRandom random(seed_from_os());
  return random;
}

Graph::Graph(std::size_t layers, std::size_t m, std::size_t ef_construction)
    : layers_(layers), ef_construction_(ef_construction), m_(std::clamp(m, std::size_t{2}, kMaxM)), m0_(2 * m_) {
  double running = 0.0;
  for (std::size_t i = 0; i < layers_; ++i) {
    const double weight = std::exp(-static_cast<double>(i));
    if (running + weight == running) break;
    running += weight;
    level_weights_.push_back(weight);
  }
  level_weight_total_ = running;
}

std::span<const std::uint32_t> Graph::neighbors(std::size_t id, std::size_t layer) const {
  if (layer > levels_[id]) return {};
  const std::uint32_t* block = links(static_cast<std::uint32_t>(id), layer);
  if (block == nullptr) return {};
  return {block + 1, block[0]};
}

std::size_t Graph::draw_level(LevelRandom& random) const {
  const double target = level_weight_total_ * random.uniform();
  double running = 0.0;
  for (std::size_t i = 0; i < level_weights_.size(); ++i) {
    running += level_weights_[i];
    if (running > target) return i;
  }
  return top_level();
}

Graph::NodeRoom Graph::reserve_nodes(std::size_t count, std::size_t dim, std::size_t form_words,
                                     SearchScratch& scratch) {
  const std::size_t nodes = size() + count;
  scratch.query_point.reserve(dim);
  scratch.query_form.reserve(form_words);
  pair_form_.reserve(form_words);
  make_room(levels_, count);
  make_room(layer0_links_, count * (1 + m0_));
  make_room(upper_start_, count);
  make_room(inbound_, count);
  scratch.visited.grow(nodes);
  const std::size_t breadth = std::min(ef_construction_, nodes) + 1;
  make_room_for_total(scratch.results, breadth);
  make_room_for_total(scratch.link_candidates, breadth);
  diverse_.reserve(m0_, std::max(breadth, m0_ + 1), form_words);
  make_room_for_total(relink_, m0_ + 1);
  // At worst a walk's candidate queue holds every node.
  if (count > 1) make_room_for_total(scratch.queue, nodes);
  return NodeRoom{};
}

Graph::LinkRoom Graph::reserve_links(std::span<const Level> new_levels) {
  std::size_t blocks = 0;
  std::size_t highest = top_layer_;
  for (std::size_t i = 0; i < new_levels.size(); ++i) {
    if (size() + i == 0) continue;  // node 0's upper lists grow with top_layer_
    blocks += new_levels[i];
    highest = std::max<std::size_t>(highest, new_levels[i]);
  }
  if (blocks > kMaxNodes - upper_links_.size() / (1 + m_))
    throw CapacityExceeded("HNSW: upper-layer lists past 32-bit positions");
  make_room(upper_links_, blocks * (1 + m_));
  make_room_for_total(entry_upper_links_, highest * (1 + m_));
  make_room_for_total(chosen_, (highest + 1) * (1 + m_));
  return LinkRoom{};
}

void Graph::choose_links(const WalkMeasure& measure, const WalkQuery& from_new, std::size_t level,
                         SearchScratch& scratch) {
  chosen_.assign((level + 1) * (1 + m_), 0);
  std::vector<ScoredId>& results = scratch.results;
  std::uint32_t entry = 0;
  for (std::size_t layer = top_layer_; layer > level; --layer) {
    layer_search(entry, measure, from_new, 1, layer, nullptr, scratch);
    entry = static_cast<std::uint32_t>(results.front().id);
  }
  for (std::size_t layer = level + 1; layer-- > 0;) {
    layer_search(entry, measure, from_new, ef_construction_, layer, nullptr, scratch);
    entry = static_cast<std::uint32_t>(results.front().id);
    std::sort(results.begin(), results.end(), ChosenBefore{static_cast<std::uint32_t>(size())});
    if (layer == 0) scratch.link_candidates.assign(results.begin(), results.end());
    diverse_.keep(measure, results, m_);
    store_list(chosen_.data() + layer * (1 + m_), results);
  }
}

std::uint32_t Graph::layer0_entry(const WalkMeasure& measure, const WalkQuery& query, SearchScratch& scratch) const {
  std::uint32_t entry = 0;
  for (std::size_t layer = top_layer_; layer >= 1; --layer) {
    layer_search(entry, measure, query, 1, layer, nullptr, scratch);
    entry = static_cast<std::uint32_t>(scratch.results.front().id);
  }
  return entry;
}

void Graph::search(const WalkMeasure& measure, const WalkQuery& query, std::size_t ef, const CopyTable& copies,
                   SearchScratch& scratch) const {
  layer_search(layer0_entry(measure, query, scratch), measure, query, ef, 0, &copies, scratch);
}

void Graph::layer_search(std::uint32_t entry, const WalkMeasure& measure, const WalkQuery& query, std::size_t ef,
                         std::size_t layer, const CopyTable* copies, SearchScratch& scratch) const {
  scratch.visited.start_search();
  scratch.results.clear();
  scratch.queue.clear();
  scratch.visited.visit(entry);
  double entry_distance;
  measure.score(query, &entry, 1, &entry_distance);
  admit_node(entry_distance, entry, ef, copies, scratch.results);
  scratch.queue.push_back({entry_distance, entry});
  beam_search([this, layer](std::uint32_t id) { return links(id, layer); }, measure, query, ef, copies, scratch);
}

void Graph::add_node(const NodeRoom&, const LinkRoom&, std::size_t level) {
  const std::size_t id = size();
  levels_.push_back(static_cast<Level>(level));
  layer0_links_.resize(layer0_links_.size() + 1 + m0_, 0);
  inbound_.push_back(0);
  upper_start_.push_back(static_cast<std::uint32_t>(upper_links_.size() / (1 + m_)));
  if (id == 0) return;
  upper_links_.resize(upper_links_.size() + level * (1 + m_), 0);
  if (level > top_layer_) {
    entry_upper_links_.resize(level * (1 + m_), 0);
    top_layer_ = level;
  }
}

void Graph::link_node(const LinkRoom&, const WalkMeasure& measure, std::uint32_t id, std::size_t level) {
  for (std::size_t layer = 0; layer <= level; ++layer) {
    const std::uint32_t* chosen = chosen_.data() + layer * (1 + m_);
    std::copy(chosen, chosen + 1 + chosen[0], links(id, layer));
  }
  for (std::uint32_t j = 0; j < chosen_[0]; ++j) ++inbound_[chosen_[1 + j]];
  for (std::size_t layer = 0; layer <= level; ++layer) {
    const std::uint32_t* chosen = chosen_.data() + layer * (1 + m_);
    for (std::uint32_t j = 0; j < chosen[0]; ++j) link_back(measure, chosen[1 + j], id, layer);
  }
  if (inbound_[id] == 0) adopt(id);
}

// Every list the new node's neighbours chose again without it: the nearest
// of them that can spare a member (one other lists also hold) takes it in
// that member's place, so that a walk can still reach the node.
void Graph::adopt(std::uint32_t id) {
  const std::uint32_t* chosen = chosen_.data();
  for (std::uint32_t j = 0; j < chosen[0]; ++j) {
    std::uint32_t* block = links(chosen[1 + j], 0);
    std::uint32_t* spare = nullptr;
    for (std::uint32_t i = 0; i < block[0]; ++i) {
      if (inbound_[block[1 + i]] >= 2 && (spare == nullptr || inbound_[block[1 + i]] > inbound_[*spare]))
        spare = block + 1 + i;
    }
    if (spare == nullptr) continue;
    --inbound_[*spare];
    *spare = id;
    ++inbound_[id];
    return;
  }
}

void Graph::link_back(const WalkMeasure& measure, std::uint32_t from, std::uint32_t to, std::size_t layer) {
  std::uint32_t* block = links(from, layer);
  const std::size_t limit = max_neighbors(layer);
  if (block[0] < limit) {
    block[1 + block[0]] = to;
    ++block[0];
    if (layer == 0) ++inbound_[to];
    return;
  }
  // The list is full: choose again among its neighbours and the newcomer.
  const std::size_t count = block[0] + 1;
  std::uint32_t ids[kMaxBlockIds];
  diverse_.choose_again(measure, from, block, to, limit, pair_form_, ids, relink_);
  if (layer == 0) keep_last_links(ids, count, to);
  store_list(block, relink_);
}

// A full layer-0 list chose `relink_` among `ids` (its old members, then the
// newcomer `to`). If the one it left out is a member that no other list
// holds, that member is taken back in place of the farthest kept one that
// can be spared (the newcomer, or a node other lists hold too): a node in no
// layer-0 list is never found.
void Graph::keep_last_links(const std::uint32_t* ids, std::size_t count, std::uint32_t to) {
  // The choice kept all but one of the limit + 1 candidates: the sums tell which.
  std::uint64_t left_out = 0;
  for (std::size_t j = 0; j < count; ++j) left_out += ids[j];
  for (const ScoredId& kept : relink_) left_out -= kept.id;
  auto dropped = static_cast<std::uint32_t>(left_out);
  if (dropped != to && inbound_[dropped] == 1) {
    for (std::size_t i = relink_.size(); i-- > 0;) {
      const auto other = static_cast<std::uint32_t>(relink_[i].id);
      if (other != to && inbound_[other] < 2) continue;
      relink_[i].id = dropped;
      dropped = other;
      break;
    }
  }
  if (dropped == to) return;
  --inbound_[dropped];
  ++inbound_[to];
}

}  // namespace tamsel
