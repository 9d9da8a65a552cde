#include "core/hnsw.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "core/failures.hpp"
#include "core/staged.hpp"
#include "core/walk_measure.hpp"

namespace tamsel {
namespace {

// The planner of a filtered search (HNSW::filter_path). Its constants were
// measured on this code, single-threaded, k = 10, ef_search = 40, 200 queries,
// every path forced on one index beside the unfiltered search of the same
// index (bench/cpp/filter_paths): the sentence embeddings of the benchmark's
// real set (384-d, unit norm, Euclidean), 30,000 to 100,000 of them, with
// attributes drawn apart from the vectors and ones that follow them, held by
// 1% to 100% of the nodes.
//
// The shortlist re-scored exactly after a scan or a walk on the walk copy:
// kRescore times the results asked for, and at least ef_search. At 4 the
// scan found the exact answer (recall@10 1.000) at every share.
constexpr std::size_t kRescore = 4;
// Holders up to this many shortlists are all scored exactly (filter_path).
constexpr std::size_t kExactShortlists = 4;
// The walk over the holder links keeps this many times ef_search candidates:
// at once ef_search it found recall@10 0.93-0.95 on the following attributes
// at 10% to 50% (50,000 nodes), at twice 0.96-0.98 (100,000 nodes), still at
// 1.05-1.59x the unfiltered rate.
constexpr std::size_t kHolderBreadth = 2;
// A query that no holder lies next to (nothing where the graph's descent
// meets layer 0 holds the value) has its nearest holders spread over several
// clumps at about the same distance, and the walk needs a wider breadth to
// keep them all. On 100,000 rows of the benchmark's mixture (128-d), with an
// attribute that follows the vectors at 5% to 50%: twice ef_search found
// recall@10 0.939-0.965, four times 0.958-0.983, five times 0.964-0.986, six
// times 0.958-0.986 (with fewer starts), at 0.6-0.8x the unfiltered rate.
constexpr std::size_t kFarBreadth = 5;
// A node's holder links are chosen among the holders its insertion walk met
// (ef_construction nodes) and, when it met few, those a walk over the holder
// links finds: the holder walk needs about this many of them met, on
// average, to find recall@10 0.95. At 100,000 nodes and ef_construction
// 200, measured before that walk was added, it found 0.914-0.960 at 1% (2
// met), 0.958-0.972 at 2% (4), 0.952-0.982 at 5% (10) and 0.967-0.979 at
// 10% (20).
constexpr std::size_t kHoldersMet = 5;
// Scanning the holders on the walk copy reads every holder's row in id
// order; the holder walk reads a few times ef_search rows out of order. At
// 1,000 holders (25 times ef_search) the scan ran at 1.89-2.35x the
// unfiltered rate, at 2,000 at 1.41x, where the holder walk ran at
// 2.08-2.33x; at 5,000 the scan at 0.43-0.57x, the walk at 1.57-1.69x.
constexpr std::size_t kScanPerEf = 50;

std::size_t saturating_product(std::size_t a, std::size_t b) {
  std::size_t product;
  return __builtin_mul_overflow(a, b, &product) ? std::numeric_limits<std::size_t>::max() : product;
}

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
  StagedBatch batch({store_, graph_, metadata_, holder_links_, copies_, *scratch, measure}, first, count, records,
                    random);
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
    const bool linked = linkable && batch.original(i) == CopyTable::kNone;
    // A copy is not linked into the graph, but its walk finds its holder links.
    const bool walked = linked || (linkable && holder_links_.attributes() > 0 && records.at(i) != nullptr);
    if (walked) graph_.choose_links(measure, measure.link_query(batch.row(i), *scratch), batch.level(i), *scratch);
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
  keep = std::min(keep, results.size());
  std::partial_sort(results.begin(), results.begin() + static_cast<std::ptrdiff_t>(keep), results.end(),
                    ScoredBefore{});
  results.resize(keep);
}

std::size_t HNSW::shortlist(std::size_t k) const {
  return std::max(ef_search_, saturating_product(kRescore, std::min(k, ef_search_)));
}

FilterPath HNSW::filter_path(std::size_t holders, std::size_t k) const {
  // Up to a few shortlists the scan costs more than it saves: mapping the
  // query into the walk space, then the shortlist scored again. At 100 and
  // 117 holders (0.1%, shortlist 40) the exact scores ran at 3.92x and 2.69x
  // the unfiltered rate, the scan at 2.67x and 2.94x.
  const bool few = holders <= saturating_product(kExactShortlists, shortlist(k));
  // A filter that every node passes asks for the unfiltered search (which
  // reaches linked nodes alone: a few are all scored instead).
  if (holders == size() && !few) return FilterPath::Whole;
  if (forced_path_) return *forced_path_;
  if (few) return FilterPath::Exact;
  if (holders <= saturating_product(kScanPerEf, ef_search_)) return FilterPath::Codes;
  const bool linked_enough =
      saturating_product(holders, graph_.ef_construction()) >= saturating_product(size(), kHoldersMet);
  return linked_enough ? FilterPath::Holders : FilterPath::Codes;
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
  for (std::size_t j = 0; j < holders.size(); ++j) {
    if (results.size() == shortlist && !nearer(measures[j], results.front().score)) continue;
    results.push_back({measures[j], holders[j]});
    std::push_heap(results.begin(), results.end(), ScoredBefore{});
    if (results.size() > shortlist) {
      std::pop_heap(results.begin(), results.end(), ScoredBefore{});
      results.pop_back();
    }
  }
  store_.score_exactly(metric_, query, length, results);
  keep = std::min(keep, results.size());
  std::partial_sort(results.begin(), results.begin() + static_cast<std::ptrdiff_t>(keep), results.end(),
                    ScoredBefore{});
  results.resize(keep);
}

void HNSW::rescore(const double* query, std::size_t length, std::vector<ScoredId>& results) const {
  store_.score_exactly(metric_, query, length, results);
  std::sort(results.begin(), results.end(), ScoredBefore{});
}

void HNSW::walk_holders(const double* query, std::size_t length, std::size_t attribute, const Metadata& value,
                        std::span<const std::uint32_t> holders, std::size_t k, SearchScratch& scratch) const {
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
  const std::size_t breadth = near_count > 0 ? kHolderBreadth : kFarBreadth;
  holder_links_.search(measure, walk, attribute, holders, {near, near_count}, saturating_product(breadth, ef_search_),
                       scratch);
  std::vector<ScoredId>& results = scratch.results;
  const std::size_t keep = std::min(k, ef_search_);
  // Links that leave some holders apart (an index of empty vectors has none)
  // find too few of them; the scan finds them all.
  if (results.size() < std::min(keep, holders.size())) {
    score_holders_on_codes(query, length, holders, keep, shortlist(k), scratch);
    return;
  }
  results.resize(std::min(results.size(), shortlist(k)));
  rescore(query, length, results);
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
  switch (target ? filter_path(holders.size(), k) : FilterPath::Whole) {
    case FilterPath::Whole: {
      const WalkMeasure measure(metric_, store_);
      graph_.search(measure, measure.search_query(q, length, *scratch), ef_search_, copies_, *scratch);
      rescore(q, length, results);
      break;
    }
    case FilterPath::Exact: score_holders(q, length, holders, keep, results); break;
    case FilterPath::Codes: score_holders_on_codes(q, length, holders, keep, shortlist(k), *scratch); break;
    case FilterPath::Holders:
      walk_holders(q, length, target->position, target->filter->value, holders, k, *scratch);
      break;
  }
  const std::size_t count = std::min(keep, results.size());
  return std::vector<ScoredId>(results.begin(), results.begin() + static_cast<std::ptrdiff_t>(count));
}

}  // namespace tamsel
