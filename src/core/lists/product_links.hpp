// Links from each node to the nodes of the largest products with it, under
// the inner product.
//
// Lifted (walk_space.hpp), the graph links each vector to the points nearest
// to its own, which pairs vectors of like norms and directions. A search for
// the largest products with a query (the most similar, asked with the
// negated query) wants the vectors that reach farthest in the query's
// direction; when the features share a sign, or a small common offset, those
// lie on the far edge of the lifted points, and the links between like norms
// lead there slowly. So each node also keeps the nodes of the largest
// products with it among those its insertion met, and each of those takes
// the new node into its own list in place of its smallest product, since the
// product is symmetric. The walk along the far edge follows these lists when
// it looks for the largest products (walk_far_edge): each leads from a node to
// the vectors that reach farthest its way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/base/large_buffer.hpp"
#include "core/base/scored.hpp"
#include "core/lists/node_lists.hpp"
#include "core/rows/store.hpp"
#include "core/rows/walk_measure.hpp"

namespace tamsel {

// Kept only under the inner product.
class ProductLinks : public NodeLists<8> {
 public:
  // How many of the nodes met, ranked on the walk copy, are measured
  // exactly for the list (docs/tuning.md).
  static constexpr std::size_t kShortlist = 16;

  using NodeLists::NodeLists;

  class Room {
    friend class ProductLinks;
    Room() = default;
  };
  // Room for the lists of `count` more nodes, and for linking's measures
  // of vectors of `dim` numbers with forms of `form_words` words: a batch
  // must not fail halfway.
  Room reserve(std::size_t count, std::size_t dim, std::size_t form_words);
  // Appends the next node, with an empty list.
  void add_node(const Room& room);

  // Inserting node `id`, whose row is stored: choose finds the nodes of the
  // largest products with it among those its insertion `met`, and changes
  // nothing; link makes them its list, and offers it to the list of each
  // of them.
  void choose(const WalkMeasure& measure, const VectorStore& store, std::uint32_t id, std::span<const ScoredId> met);
  void link(const VectorStore& store, std::uint32_t id);
  // The rank of the weakest member of node `id`'s full list, NaN while it has room.
  double weakest(std::uint32_t id) const { return weakest_[id]; }

 private:
  // Members rank by their negated product with the node: the largest
  // product first, NaN last.
  void offer(const VectorStore& store, std::uint32_t to, std::uint32_t newcomer, double rank);
  // The ranks of the members of node `id`'s full list, into `ranks`.
  void rank_members(const VectorStore& store, std::uint32_t id, double* ranks) const;
  static std::size_t weakest_of(const double* ranks);
  // Records the weakest of `ranks`, those of the members of node `id`'s
  // list, once it is full: the one writer of weakest_, so that weakest_
  // holds the smallest rank of every full list (the core tests check it
  // after every offer).
  void settle_weakest(std::uint32_t id, const double* ranks);

  // Per node, the rank of the weakest member of its full list (NaN while
  // it has room): most offers end at this one comparison.
  LargeBuffer<double> weakest_;
  // Linking scratch: the list being chosen, and the negated node with its
  // point and form.
  std::vector<ScoredId> best_;
  std::vector<double> negated_;
  std::vector<double> point_;
  WalkForms form_;
};

}  // namespace tamsel
