#include "core/hnsw.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <unordered_map>
#include <utility>

namespace tamsel {
namespace {

constexpr std::uint32_t kNoRecord = std::numeric_limits<std::uint32_t>::max();
// Ids are 32-bit, and the largest value marks "no record".
constexpr std::size_t kMaxNodes = std::numeric_limits<std::uint32_t>::max() - 1;
// Most neighbours one list holds (layer 0 at the largest m), plus the newcomer
// of an overflowing list.
constexpr std::size_t kMaxBlockIds = 2 * HNSW::kMaxM + 1;
// A filtered search scores the holders of the filter value directly when
// holders^2 <= factor * ef_search * nodes. A graph walk costs about
// ef_search / selectivity distances, the direct scan holders ones; on random
// data (20k and 100k nodes, 64-d, ef_search 50) the two cost the same at a
// factor of about 70.
constexpr std::size_t kExactFilterFactor = 64;

// Distance order: NaN after every number and equal to any NaN.
inline bool nearer(double a, double b) { return a < b || (std::isnan(b) && !std::isnan(a)); }

// The candidate queue serves the nearest first, the smaller id among equals.
// Function objects, so that the heap and sort algorithms inline them.
struct ServedAfter {
  template <class Candidate>
  bool operator()(const Candidate& a, const Candidate& b) const {
    if (nearer(b.distance, a.distance)) return true;
    if (nearer(a.distance, b.distance)) return false;
    return b.id < a.id;
  }
};

struct ServedBefore {
  template <class Candidate>
  bool operator()(const Candidate& a, const Candidate& b) const {
    return ServedAfter{}(b, a);
  }
};

// Neighbours are chosen nearest first; among equally near ones in an order
// scrambled from the ids and the list's owner, not by id. Exact copies are
// linked once, but distinct vectors whose walk copies round alike still tie
// on every walk distance: with one order for every list, each newcomer would
// link to the same of them and, when their lists overflow, be the one dropped
// again, until later ones had no incoming link at all.
struct ChosenBefore {
  std::uint32_t owner;
  static std::uint32_t mix(std::uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352du;
    x ^= x >> 15;
    x *= 0x846ca68bu;
    return x ^ (x >> 16);
  }
  template <class Candidate>
  bool operator()(const Candidate& a, const Candidate& b) const {
    if (nearer(a.distance, b.distance)) return true;
    if (nearer(b.distance, a.distance)) return false;
    return mix(a.id ^ mix(owner)) < mix(b.id ^ mix(owner));
  }
};

// Room for `more` items; geometric, so that one insertion after another stays
// amortised constant.
template <class Items>
void make_room(Items& items, std::size_t more) {
  if (more > items.max_size() - items.size()) throw std::length_error("HNSW: index too large");
  const std::size_t needed = items.size() + more;
  if (needed <= items.capacity()) return;
  items.reserve(std::max(needed, items.capacity() + items.capacity() / 2));
}

template <class Items>
void make_room_for_total(Items& items, std::size_t total) {
  if (total > items.size()) make_room(items, total - items.size());
}

std::uint64_t seed_from_os() {
  std::random_device device;
  return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

}  // namespace

const char* error_name(HNSWError error) {
  switch (error) {
    case HNSWError::InvalidEF: return "InvalidEF";
    case HNSWError::InvalidLayer: return "InvalidLayer";
    case HNSWError::NoSchema: return "NoSchema";
    case HNSWError::EmptySchema: return "EmptySchema";
    case HNSWError::AttributeNotFound: return "AttributeNotFound";
    case HNSWError::EmptyVectors: return "EmptyVectors";
    case HNSWError::InvalidNodeID: return "InvalidNodeID";
  }
  return "Unknown";
}

std::optional<Metric> hnsw_metric(std::string_view name) {
  if (name == "euclidean") return Metric::Euclidean;
  if (name == "angular") return Metric::Cosine;
  if (name == "inner_product") return Metric::InnerProduct;
  return std::nullopt;
}

LevelRandom& LevelRandom::for_this_thread() {
  thread_local LevelRandom random(seed_from_os());
  return random;
}

HNSW::HNSW(const HNSWParams& params, Metric metric, std::optional<Schema> schema)
    : dim_(params.dim),
      layers_(params.layers),
      ef_construction_(params.ef_construction),
      ef_search_(params.ef_search),
      m_(std::clamp(params.m, std::size_t{2}, kMaxM)),
      m0_(2 * m_),
      metric_(metric),
      schema_(std::move(schema)) {
  // Levels are stored in 16 bits; the caller refuses larger values first.
  if (layers_ > kMaxLayers) throw std::length_error("HNSW: more layers than kMaxLayers");
  double running = 0.0;
  for (std::size_t i = 0; i < layers_; ++i) {
    const double weight = std::exp(-static_cast<double>(i));
    if (running + weight == running) break;
    running += weight;
    level_weights_.push_back(weight);
  }
  level_weight_total_ = running;
  if (schema_) value_ids_.resize(schema_->size());
}

std::size_t HNSW::dim() const { return dim_; }
std::size_t HNSW::size() const { return levels_.size(); }
const std::optional<Schema>& HNSW::schema() const { return schema_; }

std::span<const double> HNSW::vector(std::size_t id) const {
  return {vectors_.data() + id * dim_, dim_};
}

std::size_t HNSW::level(std::size_t id) const { return levels_[id]; }

std::size_t HNSW::max_neighbors(std::size_t layer) const { return layer == 0 ? m0_ : m_; }

std::span<const std::uint32_t> HNSW::neighbors(std::size_t id, std::size_t layer) const {
  if (layer > levels_[id]) return {};
  const std::uint32_t* block = links(static_cast<std::uint32_t>(id), layer);
  if (block == nullptr) return {};
  return {block + 1, block[0]};
}

std::size_t HNSW::top_level() const { return layers_ == 0 ? 0 : layers_ - 1; }

std::size_t HNSW::draw_level(LevelRandom& random) const {
  const double target = level_weight_total_ * random.uniform();
  double running = 0.0;
  for (std::size_t i = 0; i < level_weights_.size(); ++i) {
    running += level_weights_[i];
    if (running > target) return i;
  }
  return top_level();
}

const std::uint32_t* HNSW::links(std::uint32_t id, std::size_t layer) const {
  if (layer == 0) return layer0_links_.data() + std::size_t{id} * (1 + m0_);
  if (id == 0) {
    return layer <= top_layer_ ? entry_upper_links_.data() + (layer - 1) * (1 + m_) : nullptr;
  }
  return upper_links_.data() + (std::size_t{upper_start_[id]} + layer - 1) * (1 + m_);
}

std::uint32_t* HNSW::links(std::uint32_t id, std::size_t layer) {
  return const_cast<std::uint32_t*>(std::as_const(*this).links(id, layer));
}

bool HNSW::matches(std::uint32_t id, const FilterTarget& target) const {
  const std::uint32_t record = record_of_[id];
  if (record == kNoRecord) return false;
  return target.filter->matches(record_values_[std::size_t{record} * schema_->size() + target.position]);
}

std::optional<HNSWError> HNSW::resolve_filter(const Filter* filter,
                                              std::optional<FilterTarget>& target) const {
  if (!schema_) return HNSWError::NoSchema;
  if (schema_->empty()) return HNSWError::EmptySchema;
  const auto found = std::find(schema_->begin(), schema_->end(), filter->attribute);
  if (found == schema_->end()) return HNSWError::AttributeNotFound;
  target = FilterTarget{filter, static_cast<std::size_t>(found - schema_->begin())};
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// Insertion

std::optional<HNSWError> HNSW::insert(std::span<const double> vector, const MetadataRecord* record,
                                      LevelRandom& random) {
  return add_nodes(vector.data(), 1, [record](std::size_t) { return record; }, random);
}

std::optional<HNSWError> HNSW::create(VectorRows rows, std::span<const MetadataRecord> records,
                                      LevelRandom& random) {
  if (rows.count == 0) return HNSWError::EmptyVectors;
  const bool with_records = schema_ && !records.empty();
  if (with_records && records.size() != rows.count) return HNSWError::AttributeNotFound;
  return add_nodes(
      rows.values, rows.count,
      [&](std::size_t i) -> const MetadataRecord* { return with_records ? &records[i] : nullptr; },
      random);
}

template <class RecordAt>
std::optional<HNSWError> HNSW::add_nodes(const double* first, std::size_t count, RecordAt record_at,
                                         LevelRandom& random) {
  if (count > kMaxNodes - size()) throw std::length_error("HNSW: more nodes than 32-bit ids");
  // Everything the batch appends fits in room reserved before the first node
  // is stored, so an allocation failure leaves the index exactly as it was.
  std::vector<Metadata> staged_records;
  reserve_nodes(count, record_at, staged_records);
  std::vector<std::uint32_t> originals;
  reserve_copies(first, count, originals);
  const std::size_t base = size();
  // An index of empty vectors stores no numbers, so it has nothing to search
  // or link: its nodes are stored like the entry node, without a draw.
  std::vector<std::uint16_t> new_levels(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t id = base + i;
    const std::size_t level = id == 0 ? top_level() : dim_ == 0 ? 0 : draw_level(random);
    new_levels[i] = static_cast<std::uint16_t>(level);
  }
  reserve_upper_links(new_levels);

  std::size_t staged = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const double* vector = first + i * dim_;
    const std::size_t id = base + i;
    std::optional<std::span<Metadata>> record;
    if (schema_ && record_at(i) != nullptr) {
      const std::size_t width = schema_->size();
      record.emplace(staged_records.data() + staged * width, width);
      ++staged;
    }
    const std::uint32_t original = originals[i];
    const std::size_t level = original == RowTable::kNone ? new_levels[i] : 0;
    const bool linkable = id > 0 && dim_ > 0 && layers_ > 0;
    if (linkable && ef_construction_ == 0) {
      // The node stays stored, as a failed insertion leaves it.
      store_node(vector, level, record);
      remember_values(static_cast<std::uint32_t>(id), original);
      return HNSWError::InvalidEF;
    }
    const bool linked = linkable && original == RowTable::kNone;
    if (linked) choose_links(vector, level);
    store_node(vector, level, record);
    if (linked) link_node(static_cast<std::uint32_t>(id), level);
    remember_values(static_cast<std::uint32_t>(id), original);
  }
  return std::nullopt;
}

template <class RecordAt>
void HNSW::reserve_nodes(std::size_t count, RecordAt record_at, std::vector<Metadata>& staged_records) {
  const std::size_t nodes = size() + count;
  make_room(vectors_, count * dim_);
  make_room(compact_, count * compact_row_size(dim_));
  walk_values_.reserve(dim_);
  pair_values_.reserve(dim_);
  kept_values_.reserve((m0_ + 1) * dim_);
  make_room(levels_, count);
  make_room(layer0_links_, count * (1 + m0_));
  make_room(upper_start_, count);

  if (schema_) {
    const std::size_t width = schema_->size();
    std::size_t with_records = 0;
    for (std::size_t i = 0; i < count; ++i) with_records += record_at(i) != nullptr;
    if (with_records > kNoRecord - record_count_)
      throw std::length_error("HNSW: more records than 32-bit positions");
    // Copies of the records, made now, are moved into the store later: a move cannot fail.
    staged_records.reserve(with_records * width);
    for (std::size_t i = 0; i < count; ++i) {
      if (const MetadataRecord* record = record_at(i))
        staged_records.insert(staged_records.end(), record->begin(), record->begin() + width);
    }
    make_room(record_of_, count);
    make_room(record_values_, with_records * width);
    reserve_value_ids(count, record_at);
  }

  visited_.grow(nodes);
  const std::size_t breadth = std::min(ef_construction_, nodes) + 1;
  make_room_for_total(results_, breadth);
  make_room_for_total(pruned_, std::max(breadth, m0_ + 1));
  make_room_for_total(relink_, m0_ + 1);
  // A batch must not fail halfway: at worst a search's candidate queue holds
  // every node. A single insertion searches before it changes anything.
  if (count > 1) make_room_for_total(queue_, nodes);
}

void HNSW::reserve_upper_links(std::span<const std::uint16_t> new_levels) {
  std::size_t blocks = 0;
  std::size_t highest = top_layer_;
  for (std::size_t i = 0; i < new_levels.size(); ++i) {
    if (size() + i == 0) continue;  // node 0's upper lists grow with top_layer_
    blocks += new_levels[i];
    highest = std::max<std::size_t>(highest, new_levels[i]);
  }
  if (blocks > kMaxNodes - upper_links_.size() / (1 + m_))
    throw std::length_error("HNSW: more upper-layer lists than 32-bit positions");
  make_room(upper_links_, blocks * (1 + m_));
  make_room_for_total(entry_upper_links_, highest * (1 + m_));
  make_room_for_total(chosen_, (highest + 1) * (1 + m_));
}

template <class RecordAt>
void HNSW::reserve_value_ids(std::size_t count, RecordAt record_at) {
  struct ValueHash {
    std::size_t operator()(const Metadata* value) const noexcept { return MetadataHash{}(*value); }
  };
  struct SameValue {
    bool operator()(const Metadata* a, const Metadata* b) const { return *a == *b; }
  };
  for (std::size_t position = 0; position < schema_->size(); ++position) {
    std::unordered_map<const Metadata*, std::size_t, ValueHash, SameValue> added;
    for (std::size_t i = 0; i < count; ++i) {
      const MetadataRecord* record = record_at(i);
      if (record != nullptr && can_match((*record)[position])) ++added[&(*record)[position]];
    }
    ValueIndex& index = value_ids_[position];
    index.reserve(index.size() + added.size());
    for (const auto& [value, extra] : added) make_room(index.try_emplace(*value).first->second, extra);
  }
}

void HNSW::reserve_copies(const double* first, std::size_t count, std::vector<std::uint32_t>& originals) {
  originals.assign(count, RowTable::kNone);
  if (dim_ == 0) return;  // nothing to compare: no node is linked
  const auto stored_row = [this](std::uint32_t id) { return stored(id); };
  const auto batch_row = [&](std::uint32_t row) { return first + std::size_t{row} * dim_; };
  linked_values_.reserve(count, dim_, stored_row);
  // A row may also copy an earlier row of the same batch.
  RowTable earlier_rows;
  earlier_rows.reserve(count, dim_, batch_row);
  std::unordered_map<std::uint32_t, std::size_t> added;
  const std::size_t base = size();
  for (std::size_t i = 0; i < count; ++i) {
    const double* row = batch_row(static_cast<std::uint32_t>(i));
    std::uint32_t original = linked_values_.find(row, dim_, stored_row);
    if (original == RowTable::kNone) {
      const std::uint32_t earlier = earlier_rows.find(row, dim_, batch_row);
      if (earlier == RowTable::kNone) {
        earlier_rows.add(static_cast<std::uint32_t>(i), row, dim_);
        continue;
      }
      original = static_cast<std::uint32_t>(base + earlier);
    }
    originals[i] = original;
    ++added[original];
  }
  for (const auto& [original, extra] : added) make_room(copies_[original], extra);
  has_copies_.resize((base + count + 63) / 64, 0);
}

void HNSW::remember_values(std::uint32_t id, std::uint32_t original) {
  if (dim_ == 0) return;
  if (original == RowTable::kNone) {
    linked_values_.add(id, stored(id), dim_);
    return;
  }
  copies_.find(original)->second.push_back(id);
  has_copies_[original / 64] |= std::uint64_t{1} << (original % 64);
}

void HNSW::choose_links(const double* vector, std::size_t level) {
  chosen_.assign((level + 1) * (1 + m_), 0);
  std::uint32_t entry = 0;
  const WalkQuery from_new = walk_query(vector, dim_, walk_values_);
  for (std::size_t layer = top_layer_; layer > level; --layer) {
    layer_search(entry, from_new, 1, layer, nullptr);
    entry = results_.front().id;
  }
  for (std::size_t layer = level + 1; layer-- > 0;) {
    layer_search(entry, from_new, ef_construction_, layer, nullptr);
    entry = results_.front().id;
    std::sort(results_.begin(), results_.end(), ChosenBefore{static_cast<std::uint32_t>(levels_.size())});
    keep_diverse(results_, m_);
    std::uint32_t* block = chosen_.data() + layer * (1 + m_);
    block[0] = static_cast<std::uint32_t>(results_.size());
    for (std::size_t j = 0; j < results_.size(); ++j) block[1 + j] = results_[j].id;
  }
}

void HNSW::store_node(const double* vector, std::size_t level,
                      std::optional<std::span<Metadata>> record) {
  const auto id = static_cast<std::uint32_t>(levels_.size());
  vectors_.insert(vectors_.end(), vector, vector + dim_);
  compact_.resize(compact_.size() + compact_row_size(dim_));
  to_compact(vector, dim_, compact_.data() + std::size_t{id} * compact_row_size(dim_));
  levels_.push_back(static_cast<std::uint16_t>(level));
  layer0_links_.resize(layer0_links_.size() + 1 + m0_, 0);
  upper_start_.push_back(static_cast<std::uint32_t>(upper_links_.size() / (1 + m_)));
  if (id != 0) {
    upper_links_.resize(upper_links_.size() + level * (1 + m_), 0);
    if (level > top_layer_) {
      entry_upper_links_.resize(level * (1 + m_), 0);
      top_layer_ = level;
    }
  }

  if (schema_) {
    if (!record) {
      record_of_.push_back(kNoRecord);
    } else {
      const std::size_t width = record->size();
      const std::size_t first_value = record_values_.size();
      record_values_.insert(record_values_.end(), std::make_move_iterator(record->begin()),
                            std::make_move_iterator(record->end()));
      record_of_.push_back(record_count_++);
      for (std::size_t position = 0; position < width; ++position) {
        const Metadata& value = record_values_[first_value + position];
        if (can_match(value)) value_ids_[position].find(value)->second.push_back(id);
      }
    }
  }

}

void HNSW::link_node(std::uint32_t id, std::size_t level) {
  for (std::size_t layer = 0; layer <= level; ++layer) {
    const std::uint32_t* chosen = chosen_.data() + layer * (1 + m_);
    std::copy(chosen, chosen + 1 + chosen[0], links(id, layer));
  }
  for (std::size_t layer = 0; layer <= level; ++layer) {
    const std::uint32_t* chosen = chosen_.data() + layer * (1 + m_);
    for (std::uint32_t j = 0; j < chosen[0]; ++j) link_back(chosen[1 + j], id, layer);
  }
}

void HNSW::link_back(std::uint32_t from, std::uint32_t to, std::size_t layer) {
  std::uint32_t* block = links(from, layer);
  const std::size_t limit = max_neighbors(layer);
  if (block[0] < limit) {
    block[1 + block[0]] = to;
    ++block[0];
    return;
  }
  // The list is full: choose again among its neighbours and the newcomer.
  const std::size_t count = block[0] + 1;
  std::uint32_t ids[kMaxBlockIds];
  double distances[kMaxBlockIds];
  std::copy(block + 1, block + count, ids);
  ids[count - 1] = to;
  walk_score(walk_query_of(from, pair_values_), ids, count, distances);
  relink_.clear();
  for (std::size_t j = 0; j < count; ++j) relink_.push_back({distances[j], ids[j]});
  std::sort(relink_.begin(), relink_.end(), ChosenBefore{from});
  keep_diverse(relink_, limit);
  block[0] = static_cast<std::uint32_t>(relink_.size());
  for (std::size_t j = 0; j < relink_.size(); ++j) block[1 + j] = relink_[j].id;
}

// `sorted` holds candidates nearest first, each with its distance to the node
// being linked. A candidate is kept only when it is nearer to that node than
// to every neighbour kept before it, so the list points in many directions;
// when too few pass, the nearest of the others fill it up.
void HNSW::keep_diverse(std::vector<Candidate>& sorted, std::size_t limit) {
  if (sorted.size() <= limit) return;
  pruned_.clear();
  // Each kept neighbour is measured from as a query, in its float32 form; a
  // candidate falls at the first kept neighbour it is nearer to.
  kept_values_.resize(limit * dim_);
  double kept_norms[kMaxBlockIds];
  std::size_t kept = 0;
  for (std::size_t i = 0; i < sorted.size() && kept < limit; ++i) {
    const Candidate candidate = sorted[i];
    const CompactRow row = compact_row(candidate.id);
    bool diverse = true;
    for (std::size_t j = 0; j < kept && diverse; ++j)
      diverse = !(walk_distance(metric_, kept_values_.data() + j * dim_, kept_norms[j], row, dim_) < candidate.distance);
    if (diverse) {
      kept_norms[kept] = to_walk_query(metric_, row, dim_, kept_values_.data() + kept * dim_);
      sorted[kept++] = candidate;
    } else {
      pruned_.push_back(candidate);
    }
  }
  for (std::size_t i = 0; kept < limit && i < pruned_.size(); ++i) sorted[kept++] = pruned_[i];
  sorted.resize(kept);
}

// ---------------------------------------------------------------------------
// Search

HNSW::WalkQuery HNSW::walk_query(const double* values, std::size_t length, std::vector<float>& narrow) const {
  if (length != dim_) return {values, length, nullptr, 0.0};
  narrow.resize(length);
  const double norm = to_walk_query(metric_, values, length, narrow.data());
  return {values, length, narrow.data(), norm};
}

HNSW::WalkQuery HNSW::walk_query_of(std::uint32_t id, std::vector<float>& narrow) const {
  narrow.resize(dim_);
  const double norm = to_walk_query(metric_, compact_row(id), dim_, narrow.data());
  return {stored(id), dim_, narrow.data(), norm};
}

void HNSW::walk_score(const WalkQuery& query, const std::uint32_t* ids, std::size_t count, double* out) const {
  if (query.narrow == nullptr) {
    const double* rows[kMaxBlockIds];
    for (std::size_t j = 0; j < count; ++j) rows[j] = stored(ids[j]);
    exact_score(query.values, query.length, rows, count, out);
    return;
  }
  for (std::size_t j = 0; j < count; ++j)
    out[j] = walk_distance(metric_, query.narrow, query.norm, compact_row(ids[j]), dim_);
}

void HNSW::exact_score(const double* query, std::size_t query_len, const double* const* rows,
                       std::size_t count, double* out) const {
  if (query_len == dim_) {
    score_batch(metric_, query, dim_, rows, count, out);
    return;
  }
  for (std::size_t j = 0; j < count; ++j) out[j] = distance(metric_, query, query_len, rows[j], dim_);
}

// One layer, from one entry node; leaves the nearest found in results_,
// nearest first, at most `ef`. With a filter, nodes that do not match are
// walked through (they lead to the matching nodes behind them) but never
// become results, so the far distance is that of the matching nodes alone.
void HNSW::layer_search(std::uint32_t entry, const WalkQuery& query, std::size_t ef, std::size_t layer,
                        const FilterTarget* target, bool with_copies) const {
  visited_.start_search();
  results_.clear();
  queue_.clear();
  visited_.visit(entry);
  double entry_distance;
  walk_score(query, &entry, 1, &entry_distance);
  // The results are a heap with the farthest on top until the walk ends,
  // then sorted nearest first.
  admit(entry_distance, entry, ef, target, with_copies);
  queue_.push_back({entry_distance, entry});

  std::uint32_t ids[kMaxBlockIds];
  double distances[kMaxBlockIds];
  while (!queue_.empty()) {
    std::pop_heap(queue_.begin(), queue_.end(), ServedAfter{});
    const Candidate current = queue_.back();
    queue_.pop_back();
    if (!results_.empty() && nearer(results_.front().distance, current.distance)) break;
    const std::uint32_t* block = links(current.id, layer);
    if (block == nullptr) continue;
    // The next candidate's list is likely needed next: start loading it.
    if (!queue_.empty()) {
      if (const std::uint32_t* next = links(queue_.front().id, layer)) __builtin_prefetch(next);
    }
    for (std::uint32_t j = 0; j < block[0]; ++j) __builtin_prefetch(visited_.address_of(block[1 + j]));

    std::size_t fresh = 0;
    for (std::uint32_t j = 0; j < block[0]; ++j) {
      const std::uint32_t id = block[1 + j];
      if (!visited_.visit(id)) continue;
      ids[fresh] = id;
      prefetch_compact(compact_row(id), dim_);
      ++fresh;
    }
    walk_score(query, ids, fresh, distances);

    for (std::size_t j = 0; j < fresh; ++j) {
      const double d = distances[j];
      if (results_.size() < ef || d < results_.front().distance) {
        queue_.push_back({d, ids[j]});
        std::push_heap(queue_.begin(), queue_.end(), ServedAfter{});
        admit(d, ids[j], ef, target, with_copies);
      }
    }
  }
  std::sort_heap(results_.begin(), results_.end(), ServedBefore{});
}

// Adds the node to the results when it matches the filter, and then, on a
// search for answers, its copies; the results keep the `ef` nearest.
void HNSW::admit(double distance, std::uint32_t id, std::size_t ef, const FilterTarget* target,
                 bool with_copies) const {
  // False when the node is the one dropped as the farthest.
  const auto add = [&](std::uint32_t node) {
    if (target != nullptr && !matches(node, *target)) return true;
    results_.push_back({distance, node});
    std::push_heap(results_.begin(), results_.end(), ServedBefore{});
    if (results_.size() <= ef) return true;
    std::pop_heap(results_.begin(), results_.end(), ServedBefore{});
    const bool kept = results_.back().id != node;
    results_.pop_back();
    return kept;
  };
  add(id);
  if (!with_copies || !has_copies(id)) return;
  // Copies come in ascending ids: after one is dropped, every later one would be.
  for (const std::uint32_t copy : copies_.find(id)->second) {
    if (!add(copy)) break;
  }
}

// Gives every entry of results_ its exact distance.
void HNSW::score_results_exactly(const double* query, std::size_t query_len) const {
  constexpr std::size_t kChunk = 64;
  const double* rows[kChunk];
  double distances[kChunk];
  for (std::size_t first = 0; first < results_.size(); first += kChunk) {
    const std::size_t count = std::min(kChunk, results_.size() - first);
    for (std::size_t j = 0; j < count; ++j) rows[j] = stored(results_[first + j].id);
    exact_score(query, query_len, rows, count, distances);
    for (std::size_t j = 0; j < count; ++j) results_[first + j].distance = distances[j];
  }
}

// Scores exactly the nodes that hold the filter value and keeps the `keep` nearest.
void HNSW::exact_filtered(const double* query, std::size_t query_len, std::size_t keep,
                          const std::vector<std::uint32_t>& ids) const {
  results_.clear();
  results_.reserve(ids.size());
  for (const std::uint32_t id : ids) results_.push_back({0.0, id});
  score_results_exactly(query, query_len);
  keep = std::min(keep, results_.size());
  std::partial_sort(results_.begin(), results_.begin() + static_cast<std::ptrdiff_t>(keep),
                    results_.end(), ServedBefore{});
  results_.resize(keep);
}

Result<std::vector<Found>, HNSWError> HNSW::search(std::span<const double> query, std::size_t k,
                                                   const Filter* filter) const {
  if (vectors_.empty()) return std::vector<Found>{};
  if (layers_ == 0) return HNSWError::InvalidLayer;
  // Each layer search checks its breadth, then its layer, then the filter.
  // The first one is the top layer's one-result search, or the layer-0
  // search itself when that is the only layer.
  if (layers_ == 1 && ef_search_ == 0) return HNSWError::InvalidEF;
  std::optional<FilterTarget> target;
  if (filter != nullptr) {
    if (auto error = resolve_filter(filter, target)) return *error;
  }
  if (ef_search_ == 0) return HNSWError::InvalidEF;

  const double* q = query.data();
  const std::size_t query_len = query.size();
  const FilterTarget* filtering = target ? &*target : nullptr;
  const std::size_t keep = std::min(k, ef_search_);
  bool answered = false;
  if (filtering != nullptr) {
    const ValueIndex& index = value_ids_[filtering->position];
    const auto holders = index.find(filter->value);
    const std::size_t matching = holders == index.end() ? 0 : holders->second.size();
    // A graph walk must pass about size() / matching nodes per match it
    // finds; below this count scoring the holders directly is cheaper, and exact.
    if (matching * matching <= kExactFilterFactor * ef_search_ * size()) {
      if (matching > 0) exact_filtered(q, query_len, keep, holders->second);
      else results_.clear();
      answered = true;
    }
  }

  if (!answered) {
    std::uint32_t entry = 0;
    // Above top_layer_ node 0 is alone: those searches find node 0 if it
    // matches, and otherwise nothing, which ends the descent there.
    const bool descend = filtering == nullptr || top_layer_ + 1 == layers_ || matches(0, *filtering);
    const WalkQuery walk = walk_query(q, query_len, walk_values_);
    for (std::size_t layer = top_layer_; descend && layer >= 1; --layer) {
      layer_search(entry, walk, 1, layer, filtering);
      if (results_.empty()) break;
      entry = results_.front().id;
    }
    layer_search(entry, walk, ef_search_, 0, filtering, true);
    // The walk ranked its results by its own kernel.
    score_results_exactly(q, query_len);
    std::sort(results_.begin(), results_.end(), ServedBefore{});
  }

  std::vector<Found> found;
  const std::size_t count = std::min(keep, results_.size());
  found.reserve(count);
  for (std::size_t j = 0; j < count; ++j) found.push_back({results_[j].distance, results_[j].id});
  return found;
}

}  // namespace tamsel
