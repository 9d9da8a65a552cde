#include "core/hnsw.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "core/staged.hpp"
#include "core/walk_measure.hpp"

namespace tamsel {
namespace {

// The planner of a filtered search (HNSW::filter_path). Its constants were
// measured on this code, single-threaded, k = 10, ef_search = 40, 300 queries,
// every path forced on one index side by side with the unfiltered search:
// 100,000 x 128 of the benchmark's synthetic mixture, and the 116,733 x 384
// sentence embeddings (unit norm, Euclidean), each with an attribute drawn
// apart from the vectors and one that follows them (bench/run.py).
//
// The walk copy's shortlist, re-scored exactly: kRescore times the results
// asked for, and at least ef_search. At 4 the scan found the exact answer
// (recall@10 1.000) at every share on both sets.
constexpr std::size_t kRescore = 4;
// Holders up to this many shortlists are all scored exactly (filter_path).
constexpr std::size_t kExactShortlists = 4;
// Scanning the holders on the walk copy reads every holder's row in id
// order; a walk reads about ef_search times a number of rows out of order,
// and neighbour lists. The scan wins while holders <= kScanPerEf * ef_search.
// Measured on a shared machine (load about 10 on 2 cores, hence ranges):
// the scan at 2% ran at 0.82-0.95x the unfiltered rate (128-d) and
// 1.11-1.19x (384-d), at 5% at 0.46-0.60x (128-d), where the two-hop walk ran
// at 0.08-0.21x (384-d); at 10% (128-d) the scan ran at 0.29-0.41x, the
// two-hop walk at 0.25-0.62x on the drawn attribute and 0.25-0.33x on the
// following one. The crossover, near 10% at 100,000 nodes and ef_search 40,
// showed no dimension term between 128 and 384 that these figures resolve.
// At 10% of the 116,033 sentence embeddings (11,600 holders, past 250 times
// ef_search) the two-hop walk found recall@10 0.945 at 0.11x on the following
// attribute, where the scan finds the exact answer at about 0.3-0.4x: the
// bound is 400, so the scan serves 10% there too.
constexpr std::size_t kScanPerEf = 400;
// From this share of matching nodes (in percent) the plain walk, which
// needs no marks of the holders, takes over from the two-hop walk. At 50%
// the plain walk ran at 0.52x (128-d) and 0.65x (384-d) the unfiltered rate on
// the drawn attribute against the two-hop walk's 0.27x and 0.51x, but at
// 0.24x and 0.34x on the following one (it walks through the half that does
// not match) against 0.28x and 0.45x; at 100% the plain walk is the
// unfiltered one, while the marks cost a step per holder. Over both
// attributes and both sets the plain walk averaged 0.44x at 50%, the two-hop
// walk 0.38x: the plain walk takes over from half the nodes.
constexpr std::size_t kWalkPercent = 50;

std::size_t saturating_product(std::size_t a, std::size_t b) {
  std::size_t product;
  return __builtin_mul_overflow(a, b, &product) ? std::numeric_limits<std::size_t>::max() : product;
}

// A search admits the nodes that match its filter, when it has one, and the
// copies of each node it admits join it.
struct SearchAdmission {
  const MetadataStore& metadata;
  const MetadataStore::Target* target;
  const CopyTable& copies;

  bool matches(std::uint32_t id) const { return target == nullptr || metadata.matches(id, *target); }
  std::span<const std::uint32_t> joining(std::uint32_t id) const { return copies.copies_of(id); }
};

// The two-hop walk admits the holders of the value, marked one bit per node
// for the query, and passes through every node that has copies (a copy may
// match where its original does not).
struct MarkedAdmission {
  const std::uint64_t* marks;
  const CopyTable& copies;

  bool matches(std::uint32_t id) const { return (marks[id / 64] >> (id % 64)) & 1; }
  bool passable(std::uint32_t id) const { return matches(id) || copies.has_copies(id); }
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

std::size_t HNSW::shortlist(std::size_t k) const {
  return std::max(ef_search_, saturating_product(kRescore, std::min(k, ef_search_)));
}

FilterPath HNSW::filter_path(std::size_t holders, std::size_t k) const {
  if (forced_path_) return *forced_path_;
  // Up to a few shortlists the scan costs more than it saves: mapping the
  // query into the walk space, then the shortlist scored again. At 100 and
  // 117 holders (0.1%, shortlist 40) the exact scores ran at 3.92x and 2.69x
  // the unfiltered rate, the scan at 2.67x and 2.94x.
  if (holders <= saturating_product(kExactShortlists, shortlist(k))) return FilterPath::Exact;
  if (holders <= saturating_product(kScanPerEf, ef_search_)) return FilterPath::Codes;
  if (saturating_product(holders, 100) >= saturating_product(size(), kWalkPercent)) return FilterPath::Walk;
  return FilterPath::TwoHop;
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
  const FilterPath path = target ? filter_path(holders.size(), k) : FilterPath::Walk;
  if (path == FilterPath::Exact) {
    score_holders(q, length, holders, keep, results);
  } else if (path == FilterPath::Codes) {
    score_holders_on_codes(q, length, holders, keep, shortlist(k), *scratch);
  } else {
    const WalkMeasure measure(metric_, store_);
    const WalkQuery walk = measure.search_query(q, length, *scratch);
    if (path == FilterPath::TwoHop) {
      std::vector<std::uint64_t>& marks = scratch->holder_marks;
      marks.assign((size() + 63) / 64, 0);
      for (const std::uint32_t id : holders) marks[id / 64] |= std::uint64_t{1} << (id % 64);
      graph_.two_hop_search(measure, walk, ef_search_, MarkedAdmission{marks.data(), copies_}, *scratch);
    } else {
      graph_.search(measure, walk, ef_search_, SearchAdmission{metadata_, target ? &*target : nullptr, copies_},
                    *scratch);
    }
    // A walk shut in among nodes that do not match finds too few; the scan finds them all.
    if (target && results.size() < std::min(keep, holders.size())) {
      score_holders_on_codes(q, length, holders, keep, shortlist(k), *scratch);
    } else {
      // The walk ranked its results by its own measure.
      store_.score_exactly(metric_, q, length, results);
      std::sort(results.begin(), results.end(), ScoredBefore{});
    }
  }
  const std::size_t count = std::min(keep, results.size());
  return std::vector<ScoredId>(results.begin(), results.begin() + static_cast<std::ptrdiff_t>(count));
}

}  // namespace tamsel
