// The choice of a node's neighbours among candidates: near ones that point
// in many directions, so that a walk can leave the node every way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/scored.hpp"
#include "core/search_scratch.hpp"
#include "core/walk_measure.hpp"

namespace tamsel {

// Neighbours are chosen nearest first; among equally near ones in an order
// scrambled from the ids and the list's owner, not by id. Exact copies are
// linked once, but distinct vectors whose walk copies round alike still tie
// on every walk distance: with one order for every list, each newcomer would
// link to the same of them and, when their lists overflow, be the one dropped
// again, until later ones had no incoming link at all.
struct ChosenBefore {
  std::uint32_t owner;
  static std::uint32_t mix(std::uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352du;
    x ^= x >> 15;
    x *= 0x846ca68bu;
    return x ^ (x >> 16);
  }
  bool operator()(const ScoredId& a, const ScoredId& b) const {
    if (nearer(a.score, b.score)) return true;
    if (nearer(b.score, a.score)) return false;
    return mix(static_cast<std::uint32_t>(a.id) ^ mix(owner)) < mix(static_cast<std::uint32_t>(b.id) ^ mix(owner));
  }
};

class DiverseChoice {
 public:
  // Room to keep up to `limit` of up to `candidates` candidates, measured
  // in forms of `form_words` words, so that keep() never allocates.
  void reserve(std::size_t limit, std::size_t candidates, std::size_t form_words);

  // `sorted` holds candidates nearest first, each with its distance to the
  // node being linked; keeps at most `limit` of them. A candidate is kept
  // only when it is nearer to that node than to every neighbour kept before
  // it; when too few pass, the nearest of the others fill the list up.
  void keep(const WalkMeasure& measure, std::vector<ScoredId>& sorted, std::size_t limit);

 private:
  std::vector<ScoredId> pruned_;
  WalkForms kept_forms_;
};

}  // namespace tamsel
