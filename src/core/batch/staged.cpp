#include "core/batch/staged.hpp"

namespace tamsel {

StagedBatch::StagedBatch(Parts parts, const double* first, std::size_t count, BatchRecords records, LevelRandom& random)
    : parts_(parts),
      records_(records),
      count_(count),
      base_(parts.graph.size()),
      store_room_(parts.store.reserve(first, count)),
      node_room_(parts.graph.reserve_nodes(count, parts.store.dim(), form_words(), parts.scratch)),
      metadata_room_(parts.metadata.reserve(records, count)),
      holder_room_(parts.holder_links.reserve(count, parts.graph.ef_construction() + 1, form_words(), parts.scratch)),
      far_room_(parts.far_links.reserve(count, form_words(), parts.scratch)),
      product_room_(parts.product_links.reserve(count, parts.store.dim(), form_words())),
      duplicates_room_(parts.duplicates.reserve(parts.store, base_, first, count)),
      levels_(draw_levels(random)),
      link_room_(parts.graph.reserve_links(levels_)) {
  parts_.store.append(store_room_, first, count);
}

StagedBatch::~StagedBatch() { parts_.store.keep(store_room_, parts_.graph.size()); }

// An index of empty vectors stores no numbers, so it has nothing to search or
// link: its nodes are stored like the entry node, without a draw.
std::vector<Graph::Level> StagedBatch::draw_levels(LevelRandom& random) const {
  std::vector<Graph::Level> levels(count_);
  for (std::size_t i = 0; i < count_; ++i) {
    const std::size_t id = base_ + i;
    const std::size_t level = id == 0                   ? parts_.graph.top_level()
                              : parts_.store.dim() == 0 ? 0
                                                        : parts_.graph.draw_level(random);
    levels[i] = static_cast<Graph::Level>(level);
  }
  return levels;
}

RowRole StagedBatch::role(std::size_t i) const {
  const bool linkable = base_ + i > 0 && parts_.store.dim() > 0 && parts_.graph.layers() > 0;
  if (!linkable) return RowRole::Alone;
  // The node stays stored, as a failed insertion leaves it.
  if (parts_.graph.ef_construction() == 0) return RowRole::FailedInsertion;
  if (duplicates_room_.original(i) == DuplicateTable::kNone) return RowRole::Linked;
  const bool held = parts_.holder_links.attributes() > 0 && records_.at(i) != nullptr;
  return held ? RowRole::HeldDuplicate : RowRole::Duplicate;
}

std::optional<HNSWError> StagedBatch::insert(std::size_t i) {
  const auto id = static_cast<std::uint32_t>(base_ + i);
  const RowRole role = this->role(i);
  const WalkMeasure& measure = parts_.measure;
  SearchScratch& scratch = parts_.scratch;
  const double* row = parts_.store.row(id);
  const bool linked = role == RowRole::Linked;
  const bool walked = linked || role == RowRole::HeldDuplicate;

  // Choose: every walk reads the index as it was before this row.
  std::span<const ScoredId> met;
  if (walked) met = parts_.graph.choose_links(measure, measure.link_query(row, scratch), level(i, role), scratch);
  if (linked && parts_.far_links.enabled()) parts_.far_links.choose(parts_.graph, measure, row, met, scratch);
  if (linked && parts_.product_links.enabled()) parts_.product_links.choose(measure, parts_.store, id, met);

  // Store, then link.
  parts_.graph.add_node(node_room_, link_room_, level(i, role));
  parts_.metadata.append(metadata_room_, id, i);
  parts_.holder_links.add_node(holder_room_);
  parts_.far_links.add_node(far_room_);
  parts_.product_links.add_node(product_room_);
  // The holder links choose from the node's own record, stored now.
  if (walked) parts_.holder_links.choose(measure, parts_.metadata, parts_.duplicates, id, met, scratch);
  if (linked) {
    parts_.graph.link_node(link_room_, measure, id, level(i, role), scratch);
    if (parts_.far_links.enabled()) parts_.far_links.link(measure, id);
    if (parts_.product_links.enabled()) parts_.product_links.link(parts_.store, id);
  }
  if (walked) parts_.holder_links.link(measure, id);
  parts_.duplicates.append(duplicates_room_, parts_.store, id, i);
  if (role == RowRole::FailedInsertion) return HNSWError::InvalidEF;
  return std::nullopt;
}

}  // namespace tamsel
