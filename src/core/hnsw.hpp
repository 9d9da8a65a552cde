// Approximate index: a layered navigable small-world graph over float64 vectors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string_view>
#include <vector>

#include "core/distance.hpp"
#include "core/walk_distance.hpp"
#include "core/filter.hpp"
#include "core/large_buffer.hpp"
#include "core/metadata.hpp"
#include "core/result.hpp"
#include "core/row_table.hpp"
#include "core/value_index.hpp"
#include "core/visited_list.hpp"

namespace tamsel {

enum class HNSWError {
  InvalidEF,
  InvalidLayer,
  NoSchema,
  EmptySchema,
  AttributeNotFound,
  EmptyVectors,
  InvalidNodeID,
};

const char* error_name(HNSWError error);

// "euclidean", "angular" (cosine similarity) or "inner_product", byte for byte.
std::optional<Metric> hnsw_metric(std::string_view name);

// Uniform doubles in [0, 1) for the level draw: the top 53 bits of a 64-bit
// word times 2^-53. Each thread has its own, seeded from the operating system.
class LevelRandom {
 public:
  explicit LevelRandom(std::uint64_t seed) : engine_(seed) {}
  double uniform() { return static_cast<double>(engine_() >> 11) * 0x1p-53; }
  static LevelRandom& for_this_thread();

 private:
  std::mt19937_64 engine_;
};

struct HNSWParams {
  std::size_t dim = 0;
  std::size_t layers = 5;
  std::size_t m = 16;
  std::size_t ef_construction = 200;
  std::size_t ef_search = 50;
};

struct Found {
  double distance;
  std::size_t id;
};

// Rows of a batch of vectors handed to create(): row i is vector i.
struct VectorRows {
  const double* values;
  std::size_t count;
  std::size_t dim;
};

class HNSW {
 public:
  // Largest `layers` served; larger values are refused by the caller.
  static constexpr std::size_t kMaxLayers = 4096;
  // `m` above this acts as this, so per-node neighbour blocks stay bounded.
  static constexpr std::size_t kMaxM = 128;

  HNSW(const HNSWParams& params, Metric metric, std::optional<Schema> schema);

  std::size_t dim() const;
  std::size_t size() const;
  const std::optional<Schema>& schema() const;
  std::span<const double> vector(std::size_t id) const;

  // The caller guarantees `vector` has dim values and `record`, when given,
  // one value per schema name. Failures after the vector was stored leave it stored.
  std::optional<HNSWError> insert(std::span<const double> vector, const MetadataRecord* record,
                                  LevelRandom& random);
  // `records` is empty or holds one record per row.
  std::optional<HNSWError> create(VectorRows rows, std::span<const MetadataRecord> records,
                                  LevelRandom& random);

  // Ascending distance order, NaN last, at most min(k, ef_search) results,
  // only nodes that match `filter` when one is given.
  Result<std::vector<Found>, HNSWError> search(std::span<const double> query, std::size_t k,
                                               const Filter* filter) const;

  // Tools that sweep the search breadth over one graph (benchmarks) set it
  // here; Python fixes it at construction.
  void set_ef_search(std::size_t ef_search) { ef_search_ = ef_search; }

  // Read-only views of the graph, for tests and tools.
  std::size_t level(std::size_t id) const;
  // The node's neighbours on `layer`; empty above its level.
  std::span<const std::uint32_t> neighbors(std::size_t id, std::size_t layer) const;
  // The most neighbours a list of `layer` holds: 2m on layer 0, m above.
  std::size_t max_neighbors(std::size_t layer) const;

 private:
  struct Candidate {
    double distance;
    std::uint32_t id;
  };
  // The filter with the schema position of its attribute, resolved once per search.
  struct FilterTarget {
    const Filter* filter;
    std::size_t position;
  };

  std::size_t top_level() const;
  std::size_t draw_level(LevelRandom& random) const;
  const double* stored(std::uint32_t id) const { return vectors_.data() + std::size_t{id} * dim_; }
  CompactRow compact_row(std::uint32_t id) const { return compact_.data() + std::size_t{id} * compact_row_size(dim_); }
  // A neighbour list: its count, then room for max_neighbors(layer) ids.
  std::uint32_t* links(std::uint32_t id, std::size_t layer);
  const std::uint32_t* links(std::uint32_t id, std::size_t layer) const;
  bool matches(std::uint32_t id, const FilterTarget& target) const;
  std::optional<HNSWError> resolve_filter(const Filter* filter,
                                          std::optional<FilterTarget>& target) const;

  template <class RecordAt>
  std::optional<HNSWError> add_nodes(const double* first, std::size_t count, RecordAt record_at,
                                     LevelRandom& random);
  template <class RecordAt>
  void reserve_nodes(std::size_t count, RecordAt record_at, std::vector<Metadata>& staged_records);
  void reserve_upper_links(std::span<const std::uint16_t> new_levels);
  template <class RecordAt>
  void reserve_value_ids(std::size_t count, RecordAt record_at);
  // Finds, for each of `count` rows, the node it will be a copy of (or
  // RowTable::kNone), and makes room to record it.
  void reserve_copies(const double* first, std::size_t count, std::vector<std::uint32_t>& originals);
  void choose_links(const double* vector, std::size_t level);
  // `record`, when given, holds the node's staged values; they are moved into the store.
  void store_node(const double* vector, std::size_t level, std::optional<std::span<Metadata>> record);
  void link_node(std::uint32_t id, std::size_t level);
  void remember_values(std::uint32_t id, std::uint32_t original);
  bool has_copies(std::uint32_t id) const { return (has_copies_[id / 64] >> (id % 64)) & 1; }
  void link_back(std::uint32_t from, std::uint32_t to, std::size_t layer);
  void keep_diverse(std::vector<Candidate>& sorted, std::size_t limit);

  // A vector the graph walk measures from: its float32 form for the walk's
  // kernel (null when its length is not dim: then the walk measures exactly).
  struct WalkQuery {
    const double* values;
    std::size_t length;
    const float* narrow;
    double norm;
  };
  // Fills `narrow` with the float32 form of `values`.
  WalkQuery walk_query(const double* values, std::size_t length, std::vector<float>& narrow) const;
  WalkQuery walk_query_of(std::uint32_t id, std::vector<float>& narrow) const;
  // Distances that the walk compares with one another; never shown to callers.
  void walk_score(const WalkQuery& query, const std::uint32_t* ids, std::size_t count, double* out) const;
  void exact_score(const double* query, std::size_t query_len, const double* const* rows,
                   std::size_t count, double* out) const;
  void layer_search(std::uint32_t entry, const WalkQuery& query, std::size_t ef, std::size_t layer,
                    const FilterTarget* target, bool with_copies = false) const;
  void admit(double distance, std::uint32_t id, std::size_t ef, const FilterTarget* target,
             bool with_copies) const;
  void score_results_exactly(const double* query, std::size_t query_len) const;
  void exact_filtered(const double* query, std::size_t query_len, std::size_t keep,
                      const std::vector<std::uint32_t>& ids) const;

  std::size_t dim_;
  std::size_t layers_;
  std::size_t ef_construction_;
  std::size_t ef_search_;
  std::size_t m_;   // list bound on the upper layers
  std::size_t m0_;  // list bound on layer 0
  Metric metric_;
  std::optional<Schema> schema_;
  // e^-i for the leading i whose weight still moves the running sum of the
  // level draw; the rest could never end the walk, which then falls back to
  // the top level just as the walk over every weight would.
  std::vector<double> level_weights_;
  double level_weight_total_ = 0.0;

  LargeBuffer<double> vectors_;
  LargeBuffer<std::byte> compact_;  // the walk's copy of vectors_, a row per node
  std::vector<std::uint16_t> levels_;
  LargeBuffer<std::uint32_t> layer0_links_;  // one block of 1 + m0_ per node
  // Upper layers 1..level of every node but node 0, blocks of 1 + m_ in node
  // order; upper_start_[id] is the node's first block.
  std::vector<std::uint32_t> upper_start_;
  LargeBuffer<std::uint32_t> upper_links_;
  // Node 0 lies on every layer but has neighbours only up to the highest level
  // another node reached (top_layer_); above that it is alone.
  std::vector<std::uint32_t> entry_upper_links_;
  std::size_t top_layer_ = 0;

  // Only with a schema: per node the index of its record in record_values_
  // (kNoRecord for a node inserted without one), records back to back.
  std::vector<std::uint32_t> record_of_;
  std::vector<Metadata> record_values_;
  std::uint32_t record_count_ = 0;
  std::vector<ValueIndex> value_ids_;  // one per schema position

  // Exact copies of one vector are equally near to every query, so in lists
  // of bounded length they would crowd each other out until most had no
  // incoming link. Only the first of them is linked into the graph; the others
  // (ascending ids) join a search's results wherever it does.
  RowTable linked_values_;
  std::vector<std::uint64_t> has_copies_;  // one bit per node
  std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> copies_;

  // Insertion scratch: the chosen neighbours of the node being inserted
  // (blocks of 1 + m_ per layer, from layer 0 up) and the candidates of an
  // overflowing list.
  std::vector<std::uint32_t> chosen_;
  std::vector<Candidate> relink_;
  std::vector<Candidate> pruned_;

  // Search scratch. No Python code runs inside a core call, so a search never
  // re-enters another on the same index while these are in use.
  mutable VisitedList visited_;
  // The float32 forms of the vector being searched for or inserted, and of
  // the stored vector whose neighbours are being chosen.
  mutable std::vector<float> walk_values_;
  std::vector<float> pair_values_;
  std::vector<float> kept_values_;  // the neighbours kept so far by keep_diverse
  mutable std::vector<Candidate> queue_;
  mutable std::vector<Candidate> results_;
};

}  // namespace tamsel
