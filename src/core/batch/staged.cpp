#include "core/batch/staged.hpp"

namespace tamsel {

StagedBatch::StagedBatch(Parts parts, const double* first, std::size_t count, BatchRecords records, LevelRandom& random)
    : parts_(parts),
      count_(count),
      base_(parts.graph.size()),
      store_room_(parts.store.reserve(first, count)),
      node_room_(parts.graph.reserve_nodes(count, parts.store.dim(), parts.measure.form_words(), parts.scratch)),
      metadata_room_(parts.metadata.reserve(records, count)),
      holder_room_(parts.holder_links.reserve(count, parts.graph.ef_construction() + 1, parts.measure.form_words(),
                                              parts.scratch)),
      far_room_(parts.far_links.reserve(count, parts.measure.form_words(), parts.scratch)),
      product_room_(parts.product_links.reserve(count, parts.store.dim(), parts.measure.form_words())),
      copies_room_(parts.copies.reserve(parts.store, base_, first, count)),
      levels_(draw_levels(random)),
      link_room_(parts.graph.reserve_links(levels_)) {
  parts_.store.append(store_room_, first, count);
}

StagedBatch::~StagedBatch() { parts_.store.truncate(parts_.graph.size()); }

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

void StagedBatch::store(std::size_t i, bool linked, bool walked) {
  const auto id = static_cast<std::uint32_t>(base_ + i);
  parts_.graph.add_node(node_room_, link_room_, level(i));
  parts_.metadata.append(metadata_room_, id, i);
  parts_.holder_links.add_node(holder_room_);
  parts_.far_links.add_node(far_room_);
  parts_.product_links.add_node(product_room_);
  if (linked) {
    parts_.graph.link_node(link_room_, parts_.measure, id, level(i), parts_.scratch);
    if (parts_.far_links.kept()) parts_.far_links.link(parts_.measure, id);
    if (parts_.product_links.kept())
      parts_.product_links.link(parts_.measure, parts_.store, id, parts_.scratch.link_candidates);
  }
  if (walked)
    parts_.holder_links.link(parts_.measure, parts_.metadata, parts_.copies, id, parts_.scratch.link_candidates,
                             parts_.scratch);
  parts_.copies.append(copies_room_, parts_.store, id, i);
}

}  // namespace tamsel
