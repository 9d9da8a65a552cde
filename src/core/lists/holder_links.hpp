// Links among the nodes that hold one value of an attribute.
//
// A filter that matches a tenth of the nodes leaves the graph's own lists
// mostly pointing at nodes it refuses: a walk through them pays for every
// node it refuses. Each node therefore also keeps, per schema attribute, a
// short list of nearby nodes holding its own value there, chosen from the
// candidates its insertion walk met anyway. A filtered search walks those
// lists alone, and so measures only nodes that match.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/base/large_buffer.hpp"
#include "core/base/scored.hpp"
#include "core/graph/diverse_choice.hpp"
#include "core/graph/search_scratch.hpp"
#include "core/metadata/metadata_store.hpp"
#include "core/rows/duplicates.hpp"
#include "core/rows/walk_measure.hpp"

namespace tamsel {

class HolderLinks {
 public:
  static constexpr std::size_t kMaxWidth = 128;

  // Lists for `attributes` schema positions, of at most `width` ids each.
  HolderLinks(std::size_t attributes, std::size_t width);

  std::size_t attributes() const { return attributes_; }

  class Room {
    friend class HolderLinks;
    Room() = default;
  };
  // Room for the lists of `count` more nodes, for the choice among up to
  // `candidates` candidates, for the forms of a node whose list overflows
  // and of a node linked (`form_words` words each), and in `scratch` for the
  // walk over the holder lists that a rare value's node takes.
  Room reserve(std::size_t count, std::size_t candidates, std::size_t form_words, SearchScratch& scratch);
  // Appends the next node, with empty lists.
  void add_node(const Room& room);
  // Inserting node `id`, whose record is stored: choose finds, at each
  // attribute where it holds a value, the nearest of the nodes its
  // insertion `met` (walk measures from the node, nearest first) and of
  // their duplicates that hold the same value there, and changes nothing;
  // link makes them its lists, and links each of them back to it.
  void choose(const WalkMeasure& measure, const MetadataStore& metadata, const DuplicateTable& duplicates,
              std::uint32_t id, std::span<const ScoredId> met, SearchScratch& scratch);
  void link(const WalkMeasure& measure, std::uint32_t id);

  // The node's list at `attribute`: its count, then its ids.
  const std::uint32_t* block(std::uint32_t id, std::size_t attribute) const {
    return blocks_.data() + (std::size_t{id} * attributes_ + attribute) * (1 + width_);
  }
  // Leaves in scratch.results the nearest `ef` of `holders` (every node that
  // holds one value at `attribute`) found by walking their lists, nearest
  // first by the walk's measure. `near`: holders known to lie near the query
  // (may be empty).
  void search(const WalkMeasure& measure, const WalkQuery& query, std::size_t attribute,
              std::span<const std::uint32_t> holders, std::span<const std::uint32_t> near, std::size_t ef,
              SearchScratch& scratch) const;

 private:
  std::uint32_t* block(std::uint32_t id, std::size_t attribute) {
    return const_cast<std::uint32_t*>(static_cast<const HolderLinks&>(*this).block(id, attribute));
  }
  // Moves from `start` to its nearest neighbour while one is nearer, queuing
  // and admitting every node it measures.
  void descend(const WalkMeasure& measure, const WalkQuery& query, std::size_t attribute, ScoredId start,
               std::size_t ef, SearchScratch& scratch) const;
  void reach_further(const WalkMeasure& measure, std::span<const std::uint32_t> holders, std::uint32_t id,
                     std::size_t attribute, SearchScratch& scratch);
  void link_back(const WalkMeasure& measure, std::uint32_t from, std::size_t attribute, std::uint32_t to);

  std::size_t attributes_;
  std::size_t width_;
  LargeBuffer<std::uint32_t> blocks_;  // per node, one block of 1 + width_ per attribute
  // Linking scratch: the lists chosen for the node being inserted (one block
  // of 1 + width_ per attribute), the candidates of one list, the form of
  // the node whose list overflows, and the choice among the candidates.
  std::vector<std::uint32_t> chosen_lists_;
  std::vector<ScoredId> chosen_;
  WalkForms from_form_;
  WalkForms query_form_;
  DiverseChoice diverse_;
};

}  // namespace tamsel
