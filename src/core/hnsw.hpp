// Approximate index: a layered navigable small-world graph over float64
// vectors, with metadata per vector and equality filters. It composes the
// parts: the vector store with its walk copy, the graph, the metadata store,
// the holder links, the far and product lists, and the duplicate table; a
// search follows the plan of search_plan.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "core/base/errors.hpp"
#include "core/base/result.hpp"
#include "core/base/scored.hpp"
#include "core/batch/interruption.hpp"
#include "core/graph/graph.hpp"
#include "core/graph/search_scratch.hpp"
#include "core/lists/far_links.hpp"
#include "core/lists/holder_links.hpp"
#include "core/lists/product_links.hpp"
#include "core/metadata/filter.hpp"
#include "core/metadata/metadata.hpp"
#include "core/metadata/metadata_store.hpp"
#include "core/rows/duplicates.hpp"
#include "core/rows/store.hpp"
#include "core/rows/walk_measure.hpp"
#include "core/scoring/metric.hpp"
#include "core/search_plan.hpp"

namespace tamsel {

// What one search asks for, besides the query: settings that hold for this
// call alone.
struct SearchParams {
  std::size_t k = 1;
  std::optional<std::size_t> ef = std::nullopt;  // the breadth of the walk; the index's ef_search when absent
  const Filter* filter = nullptr;
  // The route of the search; the planner chooses what is absent (tests and
  // tools impose one: a filter every node passes is searched as none, and a
  // target place is imposed only on a similarity search of the index's
  // dimension, the far edge with the product lists only under the inner
  // product).
  std::optional<FilterPath> path = std::nullopt;
  std::optional<TargetPlace> place = std::nullopt;
};

struct HNSWParams {
  std::size_t dim = 0;
  std::size_t layers = 5;
  std::size_t m = 16;
  std::size_t ef_construction = 200;
  std::size_t ef_search = 50;
};

// Rows of a batch of vectors handed to create(): row i is the i-th run of dim values.
struct VectorRows {
  const double* values;
  std::size_t count;
};

class HNSW {
 public:
  // Largest `layers` served; larger values are refused by the caller.
  static constexpr std::size_t kMaxLayers = 4096;
  static_assert(kMaxLayers - 1 <= std::numeric_limits<Graph::Level>::max(), "every level fits a Graph::Level");
  // `m` above this acts as this.
  static constexpr std::size_t kMaxM = Graph::kMaxM;

  HNSW(const HNSWParams& params, Metric metric, std::optional<Schema> schema);

  std::size_t dim() const { return store_.dim(); }
  std::size_t size() const { return graph_.size(); }
  const std::optional<Schema>& schema() const { return metadata_.schema(); }
  std::span<const double> vector(std::size_t id) const { return store_.vector(id); }

  // The caller guarantees `vector` has dim values and `record`, when given,
  // one value per schema name. Failures after the vector was stored leave it stored.
  std::optional<HNSWError> insert(std::span<const double> vector, const MetadataRecord* record, LevelRandom& random);
  // `records` is empty or holds one record per row. When `interruption` stops
  // the batch (Interrupted), the rows before are stored and linked, the others not.
  std::optional<HNSWError> create(VectorRows rows, std::span<const MetadataRecord> records, LevelRandom& random,
                                  Interruption interruption = {});

  // Ascending score order, NaN last, at most min(k, ef) results, only nodes
  // that match the filter when one is given.
  Result<std::vector<ScoredId>, HNSWError> search(std::span<const double> query, const SearchParams& params) const;

  // Read-only views of the graph and the parts beside it, for tests and tools.
  std::size_t level(std::size_t id) const { return graph_.level(id); }
  std::span<const std::uint32_t> neighbors(std::size_t id, std::size_t layer) const {
    return graph_.neighbors(id, layer);
  }
  std::size_t max_neighbors(std::size_t layer) const { return graph_.max_neighbors(layer); }
  const VectorStore& store() const { return store_; }
  const Graph& graph() const { return graph_; }
  const FarLinks& far_links() const { return far_links_; }
  const ProductLinks& product_links() const { return product_links_; }

 private:
  std::optional<HNSWError> add_nodes(const double* first, std::size_t count, BatchRecords records, LevelRandom& random,
                                     Interruption& interruption);
  // The routes of a search (SearchPlan::path), each leaving its results in
  // scratch.results, exactly scored and sorted.
  // Whole: the walk over every node.
  void walk_all(const double* query, std::size_t length, const SearchPlan& plan, SearchScratch& scratch) const;
  // Exact: the holders, all scored exactly.
  void score_holders(const double* query, std::size_t length, std::span<const std::uint32_t> holders,
                     const SearchPlan& plan, std::vector<ScoredId>& results) const;
  // Codes: the holders, all scored on the walk copy, the nearest again exactly.
  void scan_holders(const double* query, std::size_t length, std::span<const std::uint32_t> holders,
                    const SearchPlan& plan, SearchScratch& scratch) const;
  // Holders: a walk that admits the holders alone, over their links or
  // along the far edge.
  void walk_holders(const double* query, std::size_t length, const MetadataStore::Target& target,
                    std::span<const std::uint32_t> holders, const SearchPlan& plan, SearchScratch& scratch) const;
  // Keeps the nearest `shortlist` of a walk's results (sorted on the walk
  // copy), scores them exactly and sorts them.
  void rescore(const double* query, std::size_t length, std::size_t shortlist, std::vector<ScoredId>& results) const;

  std::size_t ef_search_;
  Metric metric_;
  VectorStore store_;
  Graph graph_;
  MetadataStore metadata_;
  HolderLinks holder_links_;
  FarLinks far_links_;
  ProductLinks product_links_;
  DuplicateTable duplicates_;
  ScratchPool scratch_;
};

}  // namespace tamsel
