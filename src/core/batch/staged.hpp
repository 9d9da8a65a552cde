// One batch of insertions, staged: every part of the index makes room for the
// whole batch before any part changes, so an allocation that fails leaves the
// index exactly as it was; inserting a row then cannot fail. The vector store
// then takes every row at once, so the caller's buffer is read only here,
// before any row is linked or anything else can run; the rows that are not
// stored in the end (a batch that stops early) leave the store with the batch,
// which fits the walk copy again to the rows it kept.
//
// Every per-node part (the graph's links, the far lists, the product lists,
// the holder links, the duplicates) takes the same steps: reserve() makes its
// room for the whole batch and hands back its Room; then, for each row,
// choose() reads what the row's walks met and changes nothing, and
// add_node() and link() store the row with the Room. The rooms are members of
// StagedBatch, made in its constructor: no row can be stored before all of
// them exist.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/base/errors.hpp"
#include "core/graph/graph.hpp"
#include "core/graph/search_scratch.hpp"
#include "core/lists/far_links.hpp"
#include "core/lists/holder_links.hpp"
#include "core/lists/product_links.hpp"
#include "core/metadata/metadata_store.hpp"
#include "core/rows/duplicates.hpp"
#include "core/rows/store.hpp"
#include "core/rows/walk_measure.hpp"

namespace tamsel {

// What a batch does with one row, decided before anything is linked.
enum class RowRole {
  Linked,           // linked into the graph and into every list the index keeps
  Duplicate,        // stored beside the node it duplicates, in no list
  HeldDuplicate,    // the same, with a record: its walk finds its holder links
  Alone,            // stored without links: the first node, or an index with nothing to link by
  FailedInsertion,  // stored without links, and the batch ends: ef_construction is 0
};

class StagedBatch {
 public:
  struct Parts {
    VectorStore& store;
    Graph& graph;
    MetadataStore& metadata;
    HolderLinks& holder_links;
    FarLinks& far_links;
    ProductLinks& product_links;
    DuplicateTable& duplicates;
    SearchScratch& scratch;
    const WalkMeasure& measure;
  };
  // `count` rows of dim numbers from `first`, stored as the next nodes.
  StagedBatch(Parts parts, const double* first, std::size_t count, BatchRecords records, LevelRandom& random);
  ~StagedBatch();
  StagedBatch(const StagedBatch&) = delete;
  StagedBatch& operator=(const StagedBatch&) = delete;

  // Inserts row i, the next of the batch, into every part: its role, its
  // walks and every part's choice from what they met, then its links.
  // InvalidEF when it is stored without links and the batch must end.
  std::optional<HNSWError> insert(std::size_t i);

 private:
  std::vector<Graph::Level> draw_levels(LevelRandom& random) const;
  // The words of a form in the precision the store keeps for this batch.
  std::size_t form_words() const { return store_room_.form_words(parts_.store.dim()); }
  RowRole role(std::size_t i) const;
  // The level row i is stored at: a duplicate is not linked and lives on layer 0.
  std::size_t level(std::size_t i, RowRole role) const {
    return role == RowRole::Duplicate || role == RowRole::HeldDuplicate ? 0 : levels_[i];
  }

  Parts parts_;
  BatchRecords records_;
  std::size_t count_;
  std::size_t base_;  // the id of row 0
  // Made in this order: the order of the members.
  VectorStore::Room store_room_;
  Graph::NodeRoom node_room_;
  MetadataStore::Room metadata_room_;
  HolderLinks::Room holder_room_;
  FarLinks::Room far_room_;
  ProductLinks::Room product_room_;
  DuplicateTable::Room duplicates_room_;
  std::vector<Graph::Level> levels_;
  Graph::LinkRoom link_room_;
};

}  // namespace tamsel
