#include "core/hnsw.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "core/base/exceptions.hpp"
#include "core/base/top_k.hpp"
#include "core/batch/staged.hpp"
#include "core/graph/far_edge.hpp"

namespace tamsel {
namespace {

// Levels are stored as Graph::Level; the caller refuses larger values first.
std::size_t served_layers(std::size_t layers) {
  if (layers > HNSW::kMaxLayers)
    throw CapacityExceeded("HNSW: at most " + std::to_string(HNSW::kMaxLayers) + " layers");
  return layers;
}

FarEdgeBreadths far_edge_breadths(const SearchPlan& plan) {
  return {.near = SearchPlan::kNearWalkBreadth, .sources = SearchPlan::kFarListSources, .ef = plan.ef};
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
      duplicates_(params.dim) {}

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
  StagedBatch batch(
      {store_, graph_, metadata_, holder_links_, far_links_, product_links_, duplicates_, *scratch, measure}, first,
      count, records, random);
  // A row's walks read about ef_construction stored vectors, at the least.
  const std::size_t work_per_row = dim() * (graph_.ef_construction() + 1);
  for (std::size_t i = 0; i < count; ++i) {
    // Every row before this one is whole: stored, linked, with its record.
    if (i > 0 && interruption.stop_after(work_per_row)) return HNSWError::Interrupted;
    if (const auto error = batch.insert(i)) return error;
  }
  return std::nullopt;
}

void HNSW::rescore(const double* query, std::size_t length, std::size_t shortlist,
                   std::vector<ScoredId>& results) const {
  results.resize(std::min(results.size(), shortlist));
  store_.score_exactly(metric_, query, length, results);
  std::sort(results.begin(), results.end(), ScoredBefore{});
}

void HNSW::walk_all(const double* query, std::size_t length, const SearchPlan& plan, SearchScratch& scratch) const {
  const WalkMeasure measure(metric_, store_);
  const Admission<> admit{&duplicates_};
  if (plan.place == TargetPlace::Inside) {
    graph_.search(measure, measure.search_query(query, length, scratch), plan.ef, admit, scratch);
  } else {
    const ProductLinks* products = plan.place == TargetPlace::FarEdgeProducts ? &product_links_ : nullptr;
    const WalkQuery walked =
        walk_far_edge(graph_, far_links_, products, measure, query, length, far_edge_breadths(plan), admit, scratch);
    graph_.complete(measure, walked, plan.ef, admit, scratch);
  }
  rescore(query, length, plan.shortlist, scratch.results);
}

void HNSW::score_holders(const double* query, std::size_t length, std::span<const std::uint32_t> holders,
                         const SearchPlan& plan, std::vector<ScoredId>& results) const {
  results.clear();
  results.reserve(holders.size());
  for (const std::uint32_t id : holders) results.push_back({0.0, id});
  store_.score_exactly(metric_, query, length, results);
  keep_best(results, plan.keep);
}

void HNSW::scan_holders(const double* query, std::size_t length, std::span<const std::uint32_t> holders,
                        const SearchPlan& plan, SearchScratch& scratch) const {
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
  const std::size_t shortlist = std::min(plan.shortlist, holders.size());
  results.reserve(shortlist + 1);
  for (std::size_t j = 0; j < holders.size(); ++j) offer_best(results, shortlist, {measures[j], holders[j]});
  store_.score_exactly(metric_, query, length, results);
  keep_best(results, plan.keep);
}

void HNSW::walk_holders(const double* query, std::size_t length, const MetadataStore::Target& target,
                        std::span<const std::uint32_t> holders, const SearchPlan& plan, SearchScratch& scratch) const {
  const WalkMeasure measure(metric_, store_);
  const std::size_t attribute = target.position;
  const Metadata& value = target.filter->value;
  if (plan.place == TargetPlace::Inside) {
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
  } else {
    const ProductLinks* products = plan.place == TargetPlace::FarEdgeProducts ? &product_links_ : nullptr;
    const Admission<HoldsValue> admit{&duplicates_, HoldsValue{&metadata_, attribute, &value}};
    walk_far_edge(graph_, far_links_, products, measure, query, length, far_edge_breadths(plan), admit, scratch);
  }
  std::vector<ScoredId>& results = scratch.results;
  // Links that leave some holders apart (an index of empty vectors has none)
  // find too few of them; the scan finds them all.
  if (results.size() < std::min(plan.keep, holders.size())) {
    scan_holders(query, length, holders, plan, scratch);
    return;
  }
  rescore(query, length, plan.shortlist, results);
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
  const auto scratch = scratch_.lease(size());
  const std::span<const std::uint32_t> holders = target ? metadata_.holders(*target) : std::span<const std::uint32_t>{};
  const bool far_edge_known = far_links_.enabled() && length == dim();
  const SearchPlan plan = plan_search({
      .nodes = size(),
      .ef_construction = graph_.ef_construction(),
      .k = params.k,
      .ef = ef,
      .holders = target ? std::optional(holders.size()) : std::nullopt,
      .radii = far_edge_known ? store_.space().target_radii(q, SearchPlan::kOutside) : std::nullopt,
      .product_lists = product_links_.enabled(),
      .path = params.path,
      .place = params.place,
  });
  std::vector<ScoredId>& results = scratch->results;
  switch (plan.path) {
    case FilterPath::Whole: walk_all(q, length, plan, *scratch); break;
    case FilterPath::Exact: score_holders(q, length, holders, plan, results); break;
    case FilterPath::Codes: scan_holders(q, length, holders, plan, *scratch); break;
    case FilterPath::Holders: walk_holders(q, length, *target, holders, plan, *scratch); break;
  }
  const std::size_t count = std::min(plan.keep, results.size());
  return std::vector<ScoredId>(results.begin(), results.begin() + static_cast<std::ptrdiff_t>(count));
}

}  // namespace tamsel
