#include "core/graph/graph.hpp"

#include <cmath>
#include <stdexcept>

#include "core/batch/room.hpp"

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
  make_room(older_holders_, count);
  scratch.visited.grow(nodes);
  const std::size_t breadth = std::min(ef_construction_, nodes) + 1;
  make_room_for_total(scratch.results, breadth);
  make_room_for_total(met_, breadth);
  diverse_.reserve(m0_, std::max(breadth, m0_ + 1), form_words);
  make_room_for_total(relink_, m0_ + 1);
  make_room_for_total(adoption_, std::min(nodes, kAdoptionReach));
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

std::span<const ScoredId> Graph::choose_links(const WalkMeasure& measure, const WalkQuery& from_new, std::size_t level,
                                              SearchScratch& scratch) {
  chosen_.assign((level + 1) * (1 + m_), 0);
  std::vector<ScoredId>& results = scratch.results;
  std::uint32_t entry = 0;
  for (std::size_t layer = top_layer_; layer > level; --layer) {
    layer_search(entry, measure, from_new, 1, layer, kNodeAlone, scratch);
    entry = static_cast<std::uint32_t>(results.front().id);
  }
  for (std::size_t layer = level + 1; layer-- > 0;) {
    layer_search(entry, measure, from_new, ef_construction_, layer, kNodeAlone, scratch);
    entry = static_cast<std::uint32_t>(results.front().id);
    std::sort(results.begin(), results.end(), ChosenBefore{static_cast<std::uint32_t>(size())});
    if (layer == 0) met_.assign(results.begin(), results.end());
    diverse_.keep(measure, results, m_);
    store_list(chosen_.data() + layer * (1 + m_), results);
  }
  return met_;
}

std::uint32_t Graph::layer0_entry(const WalkMeasure& measure, const WalkQuery& query, SearchScratch& scratch) const {
  std::uint32_t entry = 0;
  for (std::size_t layer = top_layer_; layer >= 1; --layer) {
    layer_search(entry, measure, query, 1, layer, kNodeAlone, scratch);
    entry = static_cast<std::uint32_t>(scratch.results.front().id);
  }
  return entry;
}

void Graph::search(const WalkMeasure& measure, const WalkQuery& query, std::size_t ef, const Admission<>& admit,
                   SearchScratch& scratch) const {
  layer_search(layer0_entry(measure, query, scratch), measure, query, ef, 0, admit, scratch);
  complete(measure, query, ef, admit, scratch);
}

void Graph::complete(const WalkMeasure& measure, const WalkQuery& query, std::size_t ef, const Admission<>& admit,
                     SearchScratch& scratch) const {
  std::vector<ScoredId>& results = scratch.results;
  // A walk holds every node it reached while it holds fewer than ef: short of
  // ef and of every node, it ran dry with nodes left that it could not reach.
  if (results.size() < ef && results.size() < size()) {
    reach_unvisited(measure, query, ef, admit, scratch);
    return;
  }
  // ef results that all tie: the walk may stand in a field of nodes that the
  // walk copy sees as one point (vectors on one ray under the cosine), whose
  // lists lead mostly to one another, and have stopped there short of any
  // nearer node.
  if (results.empty() || results.size() < ef) return;
  const auto [least, most] = std::minmax_element(results.begin(), results.end(), ScoredBefore{});
  if (!nearer(least->score, most->score)) go_on_from_spread(measure, query, ef, admit, scratch);
}

// Layer 0 is kept connected (older_holders_), so this runs only on a graph
// that lost a link those rules could not keep, and for nodes stored without
// links (a failed insertion), which it skips: it makes the walk complete
// whatever the links.
void Graph::reach_unvisited(const WalkMeasure& measure, const WalkQuery& query, std::size_t ef,
                            const Admission<>& admit, SearchScratch& scratch) const {
  std::vector<ScoredId>& results = scratch.results;
  std::make_heap(results.begin(), results.end(), ScoredBefore{});
  for (std::uint32_t id = 0; id < size() && results.size() < ef; ++id) {
    if (!linked(id) || !scratch.visited.visit(id)) continue;
    double distance;
    measure.score(query, &id, 1, &distance);
    admit(distance, id, ef, results);
    scratch.queue.clear();
    scratch.queue.push_back({distance, id});
    expand(layer0_lists(), measure, query, ef, admit, scratch);
  }
  sort_best(results);
}

// Goes on with the walk from kSpreadSeeds linked nodes spread evenly over
// the ids: a field of ties is left as soon as one of them lies nearer.
void Graph::go_on_from_spread(const WalkMeasure& measure, const WalkQuery& query, std::size_t ef,
                              const Admission<>& admit, SearchScratch& scratch) const {
  std::vector<ScoredId>& results = scratch.results;
  std::make_heap(results.begin(), results.end(), ScoredBefore{});
  std::uint32_t ids[kSpreadSeeds];
  double distances[kSpreadSeeds];
  std::size_t count = 0;
  for (std::size_t j = 0; j < kSpreadSeeds; ++j) {
    const auto id = static_cast<std::uint32_t>(j * size() / kSpreadSeeds);
    if (linked(id) && scratch.visited.visit(id)) ids[count++] = id;
  }
  measure.score(query, ids, count, distances);
  scratch.queue.clear();
  offer(ids, distances, count, ef, admit, scratch.queue, results);
  expand(layer0_lists(), measure, query, ef, admit, scratch);
  sort_best(results);
}

void Graph::layer_search(std::uint32_t entry, const WalkMeasure& measure, const WalkQuery& query, std::size_t ef,
                         std::size_t layer, const Admission<>& admit, SearchScratch& scratch) const {
  scratch.visited.start_search();
  scratch.results.clear();
  scratch.queue.clear();
  scratch.visited.visit(entry);
  double entry_distance;
  measure.score(query, &entry, 1, &entry_distance);
  admit(entry_distance, entry, ef, scratch.results);
  scratch.queue.push_back({entry_distance, entry});
  beam_search(StoredLists{[this, layer](std::uint32_t id) { return links(id, layer); }}, measure, query, ef, admit,
              scratch);
}

void Graph::add_node(const NodeRoom&, const LinkRoom&, std::size_t level) {
  const std::size_t id = size();
  levels_.push_back(static_cast<Level>(level));
  layer0_links_.resize(layer0_links_.size() + 1 + m0_, 0);
  older_holders_.push_back(0);
  upper_start_.push_back(static_cast<std::uint32_t>(upper_links_.size() / (1 + m_)));
  if (id == 0) return;
  upper_links_.resize(upper_links_.size() + level * (1 + m_), 0);
  if (level > top_layer_) {
    entry_upper_links_.resize(level * (1 + m_), 0);
    top_layer_ = level;
  }
}

void Graph::link_node(const LinkRoom&, const WalkMeasure& measure, std::uint32_t id, std::size_t level,
                      SearchScratch& scratch) {
  for (std::size_t layer = 0; layer <= level; ++layer) {
    const std::uint32_t* chosen = chosen_.data() + layer * (1 + m_);
    std::copy(chosen, chosen + 1 + chosen[0], links(id, layer));
  }
  for (std::size_t layer = 0; layer <= level; ++layer) {
    const std::uint32_t* chosen = chosen_.data() + layer * (1 + m_);
    for (std::uint32_t j = 0; j < chosen[0]; ++j) link_back(measure, chosen[1 + j], id, layer);
  }
  if (older_holders_[id] == 0) adopt(id, scratch);
}

// Whether `from`'s layer-0 list may lose `member` and keep both rules of
// older_holders_, while it holds `older_members` nodes older than `from`.
bool Graph::can_spare(std::uint32_t from, std::uint32_t member, std::size_t older_members) const {
  return member < from ? older_members >= 2 : older_holders_[member] >= 2;
}

// Puts `id` into the layer-0 list of `from`, an older node whose list does
// not hold it yet: when the list has room, or in place of a member it can
// spare (held by the most older lists, or else an older member).
bool Graph::take_in(std::uint32_t from, std::uint32_t id) {
  std::uint32_t* block = links(from, 0);
  const std::span<std::uint32_t> members(block + 1, block[0]);
  if (std::find(members.begin(), members.end(), id) != members.end()) return false;
  if (block[0] < m0_) {
    block[1 + block[0]] = id;
    ++block[0];
    ++older_holders_[id];
    return true;
  }
  const auto older_members = static_cast<std::size_t>(
      std::count_if(members.begin(), members.end(), [from](std::uint32_t x) { return x < from; }));
  std::uint32_t* spare = nullptr;
  for (std::uint32_t& member : members) {
    if (!can_spare(from, member, older_members)) continue;
    if (spare == nullptr || (member > from && (*spare < from || older_holders_[member] > older_holders_[*spare])))
      spare = &member;
  }
  if (spare == nullptr) return false;
  if (*spare > from) --older_holders_[*spare];
  *spare = id;
  ++older_holders_[id];
  return true;
}

// A new node that every list it was offered to chose again without is taken
// in by the nearest node its walk met that can. Where the lists near it hold
// only members they must keep (a group that the walk copy sees as one
// point, at a small m), the lists those lists lead to are tried, breadth
// first, up to kAdoptionReach of them.
void Graph::adopt(std::uint32_t id, SearchScratch& scratch) {
  std::vector<std::uint32_t>& reached = adoption_;
  reached.clear();
  scratch.visited.start_search();
  // reserve_nodes made room for this many: the walk never allocates.
  const std::size_t most = std::min(reached.capacity(), kAdoptionReach);
  const auto reach = [&](std::uint32_t node) {
    if (reached.size() < most && scratch.visited.visit(node)) reached.push_back(node);
  };
  for (const ScoredId& candidate : met_) reach(static_cast<std::uint32_t>(candidate.id));
  for (std::size_t next = 0; next < reached.size(); ++next) {
    const std::uint32_t from = reached[next];
    if (take_in(from, id)) return;
    for (const std::uint32_t member : neighbors(from, 0)) reach(member);
  }
}

void Graph::link_back(const WalkMeasure& measure, std::uint32_t from, std::uint32_t to, std::size_t layer) {
  std::uint32_t* block = links(from, layer);
  const std::size_t limit = max_neighbors(layer);
  if (block[0] < limit) {
    block[1 + block[0]] = to;
    ++block[0];
    if (layer == 0) ++older_holders_[to];
    return;
  }
  // The list is full: choose again among its neighbours and the newcomer.
  const std::size_t count = block[0] + 1;
  std::uint32_t ids[kMaxBlockIds];
  diverse_.choose_again(measure, from, block, to, limit, FillUp::KeepingFarthest, pair_form_, ids, relink_);
  if (layer == 0) keep_reach(from, ids, count, to);
  store_list(block, relink_);
}

// A full layer-0 list of `from` chose `relink_` among `ids` (its old members,
// then the newcomer `to`, which is newer than every node). A member the
// choice left out goes back in when the rules of older_holders_ need it:
// when `from` is its only older holder, or when it is the last member older
// than `from`. It takes the place of the last kept member that can be spared
// (the newcomer is one), and there is always one: the old list kept the
// rules with every member it needs.
void Graph::keep_reach(std::uint32_t from, const std::uint32_t* ids, std::size_t count, std::uint32_t to) {
  const auto kept = [&](std::uint32_t id) {
    return std::any_of(relink_.begin(), relink_.end(), [id](const ScoredId& s) { return s.id == id; });
  };
  std::size_t older_members = 0;
  for (const ScoredId& s : relink_) older_members += s.id < from ? 1 : 0;
  for (std::size_t j = 0; j + 1 < count; ++j) {
    const std::uint32_t member = ids[j];
    const bool needed = member < from ? older_members == 0 : older_holders_[member] == 1;
    if (!needed || kept(member)) continue;
    if (relink_.size() < m0_) {
      relink_.push_back({0.0, member});
    } else {
      std::size_t spare = relink_.size();
      while (spare-- > 0) {
        const auto other = static_cast<std::uint32_t>(relink_[spare].id);
        if (other == to || can_spare(from, other, older_members)) break;
      }
      if (spare >= relink_.size()) continue;  // cannot happen while the rules held
      if (relink_[spare].id < from) --older_members;
      relink_[spare].id = member;
    }
    if (member < from) ++older_members;
  }
  for (std::size_t j = 0; j + 1 < count; ++j) {
    if (ids[j] > from && !kept(ids[j])) --older_holders_[ids[j]];
  }
  if (kept(to)) ++older_holders_[to];
}

}  // namespace tamsel
