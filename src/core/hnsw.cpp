#include "core/hnsw.hpp"

#include <algorithm>
#include <stdexcept>

#include "core/staged.hpp"
#include "core/walk_measure.hpp"

namespace tamsel {
namespace {

// A filtered search scores the holders of the filter value directly when
// holders^2 <= factor * ef_search * nodes. A graph walk costs about
// ef_search / selectivity distances, the direct scan holders ones; on random
// data (20k and 100k nodes, 64-d, ef_search 50) the two cost the same at a
// factor of about 70.
constexpr std::size_t kExactFilterFactor = 64;

// A search admits the nodes that match its filter, when it has one, and the
// copies of each node it admits join it.
struct SearchAdmission {
  const MetadataStore& metadata;
  const MetadataStore::Target* target;
  const CopyTable& copies;

  bool matches(std::uint32_t id) const { return target == nullptr || metadata.matches(id, *target); }
  std::span<const std::uint32_t> joining(std::uint32_t id) const { return copies.copies_of(id); }
};

// Levels are stored as Graph::Level; the caller refuses larger values first.
std::size_t served_layers(std::size_t layers) {
  if (layers > HNSW::kMaxLayers) throw std::length_error("HNSW: more layers than kMaxLayers");
  return layers;
}

}  // namespace

HNSW::HNSW(const HNSWParams& params, Metric metric, std::optional<Schema> schema)
    : ef_search_(params.ef_search),
      metric_(metric),
      store_(params.dim, metric),
      graph_(served_layers(params.layers), params.m, params.ef_construction),
      metadata_(std::move(schema)),
      copies_(params.dim) {}

std::optional<HNSWError> HNSW::insert(std::span<const double> vector, const MetadataRecord* record,
                                      LevelRandom& random) {
  Interruption never;
  return add_nodes(vector.data(), 1, BatchRecords{record, {}}, random, never);
}

std::optional<HNSWError> HNSW::create(VectorRows rows, std::span<const MetadataRecord> records, LevelRandom& random,
                                      Interruption interruption) {
  if (rows.count == 0) return HNSWError::EmptyVectors;
  const bool with_records = schema() && !records.empty();
  if (with_records && records.size() != rows.count) return HNSWError::AttributeNotFound;
  return add_nodes(rows.values, rows.count, with_records ? BatchRecords{nullptr, records} : BatchRecords{}, random,
                   interruption);
}

std::optional<HNSWError> HNSW::add_nodes(const double* first, std::size_t count, BatchRecords records,
                                         LevelRandom& random, Interruption& interruption) {
  if (count > Graph::kMaxNodes - size()) throw std::length_error("HNSW: more nodes than 32-bit ids");
  const auto scratch = scratch_.lease(size());
  const WalkMeasure measure(metric_, store_);
  StagedBatch batch({store_, graph_, metadata_, copies_, *scratch, measure}, first, count, records, random);
  // A row's walks read about ef_construction stored vectors, at the least.
  const std::size_t work_per_row = dim() * (graph_.ef_construction() + 1);
  for (std::size_t i = 0; i < count; ++i) {
    // Every row before this one is whole: stored, linked, with its record.
    if (i > 0 && interruption.stop_after(work_per_row)) return HNSWError::Interrupted;
    const std::size_t id = size();
    const bool linkable = id > 0 && dim() > 0 && graph_.layers() > 0;
    if (linkable && graph_.ef_construction() == 0) {
      // The node stays stored, as a failed insertion leaves it.
      batch.store(i, false);
      return HNSWError::InvalidEF;
    }
    const bool linked = linkable && batch.original(i) == CopyTable::kNone;
    if (linked) graph_.choose_links(measure, measure.link_query(batch.row(i), *scratch), batch.level(i), *scratch);
    batch.store(i, linked);
  }
  return std::nullopt;
}

void HNSW::score_holders(const double* query, std::size_t length, std::span<const std::uint32_t> holders,
                         std::size_t keep, std::vector<ScoredId>& results) const {
  results.clear();
  results.reserve(holders.size());
  for (const std::uint32_t id : holders) results.push_back({0.0, id});
  store_.score_exactly(metric_, query, length, results);
  keep = std::min(keep, results.size());
  std::partial_sort(results.begin(), results.begin() + static_cast<std::ptrdiff_t>(keep), results.end(),
                    ScoredBefore{});
  results.resize(keep);
}

Result<std::vector<ScoredId>, HNSWError> HNSW::search(std::span<const double> query, std::size_t k,
                                                      const Filter* filter) const {
  if (store_.empty()) return std::vector<ScoredId>{};
  if (graph_.layers() == 0) return HNSWError::InvalidLayer;
  // Each layer search checks its breadth, then its layer, then the filter.
  // The first one is the top layer's one-result search, or the layer-0
  // search itself when that is the only layer.
  if (graph_.layers() == 1 && ef_search_ == 0) return HNSWError::InvalidEF;
  std::optional<MetadataStore::Target> target;
  if (filter != nullptr) {
    auto resolved = metadata_.resolve(*filter);
    if (!resolved.ok()) return resolved.error();
    target = resolved.value();
  }
  if (ef_search_ == 0) return HNSWError::InvalidEF;

  const double* q = query.data();
  const std::size_t length = query.size();
  const std::size_t keep = std::min(k, ef_search_);
  const auto scratch = scratch_.lease(size());
  std::vector<ScoredId>& results = scratch->results;
  const std::span<const std::uint32_t> holders = target ? metadata_.holders(*target) : std::span<const std::uint32_t>{};
  // A graph walk must pass about size() / holders nodes per match it finds;
  // below this count scoring the holders directly is cheaper, and exact.
  if (target && holders.size() * holders.size() <= kExactFilterFactor * ef_search_ * size()) {
    score_holders(q, length, holders, keep, results);
  } else {
    const WalkMeasure measure(metric_, store_);
    const WalkQuery walk = measure.search_query(q, length, *scratch);
    graph_.search(measure, walk, ef_search_, SearchAdmission{metadata_, target ? &*target : nullptr, copies_},
                  *scratch);
    // The walk ranked its results by its own measure.
    store_.score_exactly(metric_, q, length, results);
    std::sort(results.begin(), results.end(), ScoredBefore{});
  }
  const std::size_t count = std::min(keep, results.size());
  return std::vector<ScoredId>(results.begin(), results.begin() + static_cast<std::ptrdiff_t>(count));
}

}  // namespace tamsel
