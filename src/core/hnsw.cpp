#include "core/hnsw.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "core/base/exceptions.hpp"
#include "core/base/top_k.hpp"
#include "core/batch/staged.hpp"
#include "core/rows/walk_measure.hpp"
#include "core/search_plan.hpp"

namespace tamsel {
namespace {

// A similarity search whose target lies outside the data (WalkSpace::
// target_place) walks kNearBreadth wide towards the query's own point
// first, then from the far lists of the nearest kNearStarts nodes found
// along the far edge, ef_search wide: twice as wide found more of the
// answer, at a cost beyond that of the other searches. An insertion
// finds a node's far list by a walk FarLinks::kFindBreadth wide from the far
// lists of the nearest kNearStarts nodes its own walk met. Measured with
// bench/quality.py's cone families and bench/run.py --real (docs/tuning.md).
constexpr std::size_t kNearBreadth = 8;
constexpr std::size_t kNearStarts = 8;

// Levels are stored as Graph::Level; the caller refuses larger values first.
std::size_t served_layers(std::size_t layers) {
  if (layers > HNSW::kMaxLayers)
    throw CapacityExceeded("HNSW: at most " + std::to_string(HNSW::kMaxLayers) + " layers");
  return layers;
}

}  // namespace

HNSW::HNSW(const HNSWParams& params, Metric metric, std::optional<Schema> schema)
    : ef_search_(params.ef_search),
      metric_(metric),
      store_(params.dim, metric),
      graph_(served_layers(params.layers), params.m, params.ef_construction),
      metadata_(std::move(schema)),
      holder_links_(metadata_.schema() ? metadata_.schema()->size() : 0, graph_.max_neighbors(1)),
      far_links_(walk_mapping(metric).search != WalkSearch::Nearest),
      product_links_(walk_mapping(metric).lifted),
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
  if (count > Graph::kMaxNodes - size())
    throw CapacityExceeded("HNSW: at most " + std::to_string(Graph::kMaxNodes) + " vectors (32-bit ids)");
  const auto scratch = scratch_.lease(size());
  const WalkMeasure measure(metric_, store_);
  StagedBatch batch({store_, graph_, metadata_, holder_links_, far_links_, product_links_, copies_, *scratch, measure},
                    first, count, records, random);
  // A row's walks read about ef_construction stored vectors, at the least.
  const std::size_t work_per_row = dim() * (graph_.ef_construction() + 1);
  for (std::size_t i = 0; i < count; ++i) {
    // Every row before this one is whole: stored, linked, with its record.
    if (i > 0 && interruption.stop_after(work_per_row)) return HNSWError::Interrupted;
    const std::size_t id = size();
    const bool linkable = id > 0 && dim() > 0 && graph_.layers() > 0;
    if (linkable && graph_.ef_construction() == 0) {
      // The node stays stored, as a failed insertion leaves it.
      batch.store(i, false, false);
      return HNSWError::InvalidEF;
    }
    const bool linked = linkable && batch.original(i) == DuplicateTable::kNone;
    // A copy is not linked into the graph, but its walk finds its holder links.
    const bool walked = linked || (linkable && holder_links_.attributes() > 0 && records.at(i) != nullptr);
    if (walked) graph_.choose_links(measure, measure.link_query(batch.row(i), *scratch), batch.level(i), *scratch);
    if (linked && far_links_.kept()) find_far(batch.row(i), scratch->link_candidates, *scratch);
    batch.store(i, linked, walked);
  }
  return std::nullopt;
}

void HNSW::score_holders(const double* query, std::size_t length, std::span<const std::uint32_t> holders,
                         std::size_t keep, std::vector<ScoredId>& results) const {
  results.clear();
  results.reserve(holders.size());
  for (const std::uint32_t id : holders) results.push_back({0.0, id});
  store_.score_exactly(metric_, query, length, results);
  keep_best(results, keep);
}

void HNSW::score_holders_on_codes(const double* query, std::size_t length, std::span<const std::uint32_t> holders,
                                  std::size_t keep, std::size_t shortlist, SearchScratch& scratch) const {
  const WalkMeasure measure(metric_, store_);
  const WalkQuery walk = measure.search_query(query, length, scratch);
  std::vector<double>& measures = scratch.measures;
  measures.resize(holders.size());
  // Rows are read in id order; the next chunk's are fetched while this one is measured.
  constexpr std::size_t kChunk = 16;
  for (std::size_t first = 0; first < holders.size(); first += kChunk) {
    const std::size_t chunk = std::min(kChunk, holders.size() - first);
    const std::size_t ahead = std::min(first + 2 * kChunk, holders.size());
    for (std::size_t j = first + chunk; j < ahead; ++j) measure.prefetch(holders[j]);
    measure.score(walk, holders.data() + first, chunk, measures.data() + first);
  }
  // The nearest `shortlist` so far, the farthest on top.
  std::vector<ScoredId>& results = scratch.results;
  results.clear();
  shortlist = std::min(shortlist, holders.size());
  results.reserve(shortlist + 1);
  for (std::size_t j = 0; j < holders.size(); ++j) offer_best(results, shortlist, {measures[j], holders[j]});
  store_.score_exactly(metric_, query, length, results);
  keep_best(results, keep);
}

void HNSW::find_far(const double* vector, std::span<const ScoredId> near, SearchScratch& scratch) {
  std::uint32_t starts[kNearStarts * FarLinks::kWidth];
  const std::size_t count = far_links_.starts_from(near, kNearStarts, starts);
  const WalkMeasure measure(metric_, store_);
  beam_search_from({starts, count}, graph_.layer0_lists(), measure, measure.search_query(vector, dim(), scratch),
                   FarLinks::kFindBreadth, nullptr, scratch);
  far_links_.choose(scratch.results);
}

void HNSW::walk(const double* query, std::size_t length, std::size_t ef, SearchScratch& scratch) const {
  const WalkMeasure measure(metric_, store_);
  const WalkSpace::TargetPlace place =
      far_links_.kept() && length == dim() ? store_.space().target_place(query) : WalkSpace::TargetPlace{};
  if (!place.outside) {
    graph_.search(measure, measure.search_query(query, length, scratch), ef, copies_, scratch);
    return;
  }
  // The nodes most like the query are the least like the negated query.
  std::vector<double>& negated = scratch.negated;
  negated.resize(length);
  for (std::size_t i = 0; i < length; ++i) negated[i] = -query[i];
  graph_.search(measure, measure.search_query(negated.data(), length, scratch), kNearBreadth, copies_, scratch);
  std::uint32_t starts[kNearStarts * FarLinks::kWidth];
  const std::size_t count = far_links_.starts_from(scratch.results, kNearStarts, starts);
  const WalkQuery walk_query = measure.search_query(query, length, scratch);
  // The largest products lie along the product lists too.
  const ProductLinks* products = place.own_beyond && product_links_.kept() ? &product_links_ : nullptr;
  beam_search_from({starts, count}, FarEdgeLists(graph_, far_links_, products), measure, walk_query, ef, &copies_,
                   scratch);
  graph_.complete(measure, walk_query, ef, copies_, scratch);
}

void HNSW::rescore(const double* query, std::size_t length, std::vector<ScoredId>& results) const {
  store_.score_exactly(metric_, query, length, results);
  std::sort(results.begin(), results.end(), ScoredBefore{});
}

void HNSW::walk_holders(const double* query, std::size_t length, std::size_t attribute, const Metadata& value,
                        std::span<const std::uint32_t> holders, const FilterPlan& plan, std::size_t keep,
                        SearchScratch& scratch) const {
  const WalkMeasure measure(metric_, store_);
  const WalkQuery walk = measure.search_query(query, length, scratch);
  // The holders among the node where the graph's descent meets layer 0 and
  // its neighbours there: the holder walk's starts next to the query.
  std::uint32_t near[1 + 2 * Graph::kMaxM];
  std::size_t near_count = 0;
  const std::uint32_t entry = graph_.layer0_entry(measure, walk, scratch);
  const auto consider = [&](std::uint32_t id) {
    const Metadata* held = metadata_.value(id, attribute);
    if (held != nullptr && *held == value) near[near_count++] = id;
  };
  consider(entry);
  for (const std::uint32_t id : graph_.neighbors(entry, 0)) consider(id);
  holder_links_.search(measure, walk, attribute, holders, {near, near_count}, plan.holder_breadth(near_count > 0),
                       scratch);
  std::vector<ScoredId>& results = scratch.results;
  // Links that leave some holders apart (an index of empty vectors has none)
  // find too few of them; the scan finds them all.
  if (results.size() < std::min(keep, holders.size())) {
    score_holders_on_codes(query, length, holders, keep, plan.shortlist(), scratch);
    return;
  }
  results.resize(std::min(results.size(), plan.shortlist()));
  rescore(query, length, results);
}

Result<std::vector<ScoredId>, HNSWError> HNSW::search(std::span<const double> query, const SearchParams& params) const {
  const std::size_t ef = params.ef.value_or(ef_search_);
  if (store_.empty()) return std::vector<ScoredId>{};
  if (graph_.layers() == 0) return HNSWError::InvalidLayer;
  // Each layer search checks its breadth, then its layer, then the filter.
  // The first one is the top layer's one-result search, or the layer-0
  // search itself when that is the only layer.
  if (graph_.layers() == 1 && ef == 0) return HNSWError::InvalidEF;
  std::optional<MetadataStore::Target> target;
  if (params.filter != nullptr) {
    auto resolved = metadata_.resolve(*params.filter);
    if (!resolved.ok()) return resolved.error();
    target = resolved.value();
  }
  if (ef == 0) return HNSWError::InvalidEF;

  const double* q = query.data();
  const std::size_t length = query.size();
  const std::size_t keep = std::min(params.k, ef);
  const auto scratch = scratch_.lease(size());
  std::vector<ScoredId>& results = scratch->results;
  const std::span<const std::uint32_t> holders = target ? metadata_.holders(*target) : std::span<const std::uint32_t>{};
  const FilterPlan plan(size(), graph_.ef_construction(), params.k, ef);
  FilterPath path = target ? plan.path(holders.size()) : FilterPath::Whole;
  // A filter that every node passes is searched as none, whatever is asked.
  if (target && params.path && path != FilterPath::Whole) path = *params.path;
  switch (path) {
    case FilterPath::Whole:
      walk(q, length, ef, *scratch);
      rescore(q, length, results);
      break;
    case FilterPath::Exact: score_holders(q, length, holders, keep, results); break;
    case FilterPath::Codes: score_holders_on_codes(q, length, holders, keep, plan.shortlist(), *scratch); break;
    case FilterPath::Holders:
      walk_holders(q, length, target->position, target->filter->value, holders, plan, keep, *scratch);
      break;
  }
  const std::size_t count = std::min(keep, results.size());
  return std::vector<ScoredId>(results.begin(), results.begin() + static_cast<std::ptrdiff_t>(count));
}

}  // namespace tamsel
