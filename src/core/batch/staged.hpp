// One batch of insertions, staged: every part of the index makes room for the
// whole batch before any part changes, so an allocation that fails leaves the
// index exactly as it was; storing a row then cannot fail. The vector store
// then takes every row at once, so the caller's buffer is read only here,
// before any row is linked or anything else can run; the rows that are not
// stored in the end (a batch that stops early) leave the store with the batch.
//
// A part joins by offering reserve(), which hands back its Room, and appends
// that take that Room. The rooms are members of StagedBatch, made in its
// constructor: no row can be stored before all of them exist.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

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

class StagedBatch {
 public:
  struct Parts {
    VectorStore& store;
    Graph& graph;
    MetadataStore& metadata;
    HolderLinks& holder_links;
    FarLinks& far_links;
    ProductLinks& product_links;
    DuplicateTable& copies;
    SearchScratch& scratch;
    const WalkMeasure& measure;
  };
  // `count` rows of dim numbers from `first`, stored as the next nodes.
  StagedBatch(Parts parts, const double* first, std::size_t count, BatchRecords records, LevelRandom& random);
  ~StagedBatch();
  StagedBatch(const StagedBatch&) = delete;
  StagedBatch& operator=(const StagedBatch&) = delete;

  // Row i as the store holds it.
  const double* row(std::size_t i) const { return parts_.store.row(base_ + i); }
  // The node row i copies, or DuplicateTable::kNone.
  std::uint32_t original(std::size_t i) const { return copies_room_.original(i); }
  // The level row i is stored at: a copy is not linked and lives on layer 0.
  std::size_t level(std::size_t i) const { return original(i) == DuplicateTable::kNone ? levels_[i] : 0; }

  // Stores row i, the next of the batch, in every other part; when `linked`,
  // links it to the neighbours the graph chose for it just before, to the
  // least similar nodes the far links chose, and to the nodes of the largest
  // products among those the graph's walk met. When `walked`, the graph's walk
  // for it left candidates for its holder links.
  void store(std::size_t i, bool linked, bool walked);

 private:
  std::vector<Graph::Level> draw_levels(LevelRandom& random) const;

  Parts parts_;
  std::size_t count_;
  std::size_t base_;  // the id of row 0
  // Made in this order: the order of the members.
  VectorStore::Room store_room_;
  Graph::NodeRoom node_room_;
  MetadataStore::Room metadata_room_;
  HolderLinks::Room holder_room_;
  FarLinks::Room far_room_;
  ProductLinks::Room product_room_;
  DuplicateTable::Room copies_room_;
  std::vector<Graph::Level> levels_;
  Graph::LinkRoom link_room_;
};

}  // namespace tamsel
