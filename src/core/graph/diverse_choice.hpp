// The choice of a node's neighbours among candidates: near ones that point
// in many directions, so that a walk can leave the node every way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/base/scored.hpp"
#include "core/graph/beam_search.hpp"
#include "core/graph/search_scratch.hpp"
#include "core/rows/walk_measure.hpp"

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

// How a list that keeps fewer than its bound after the test of directions is
// filled up from the candidates the test left out.
enum class FillUp {
  Nearest,  // nearest first
  // The farthest first, then the nearest. A full list chooses again at every
  // newcomer, and exactly one candidate goes: filled nearest first, that is
  // the farthest, so the far links of a clump's edge (the only links towards
  // another clump) went at the next overflow, until clumps had none between
  // them. The farthest now stays, and the one that goes lies among the rest.
  KeepingFarthest,
};

class DiverseChoice {
 public:
  // Room to keep up to `limit` of up to `candidates` candidates, measured
  // in forms of `form_words` words, so that keep() never allocates.
  void reserve(std::size_t limit, std::size_t candidates, std::size_t form_words);

  // `sorted` holds candidates nearest first, each with its distance to the
  // node being linked; keeps at most `limit` of them. A candidate is kept
  // only when it is nearer to that node than to every neighbour kept before
  // it; when too few pass, the others fill the list up as `fill` says.
  void keep(const WalkMeasure& measure, std::vector<ScoredId>& sorted, std::size_t limit,
            FillUp fill = FillUp::Nearest);

  // Node `from`'s full list (its count, then its ids) chooses again among its
  // members and `newcomer`, measured from the node's walk form (made in
  // `from_form`): `ids` (room for kMaxBlockIds) receives the candidates,
  // members then newcomer, and `chosen` those kept, at most `limit`, in
  // order. The caller writes the list back (store_list).
  void choose_again(const WalkMeasure& measure, std::uint32_t from, const std::uint32_t* list, std::uint32_t newcomer,
                    std::size_t limit, FillUp fill, WalkForms& from_form, std::uint32_t* ids,
                    std::vector<ScoredId>& chosen);

 private:
  std::vector<ScoredId> pruned_;
  WalkForms kept_forms_;
};

// Writes the chosen ids into a list: its count, then its ids.
inline void store_list(std::uint32_t* list, const std::vector<ScoredId>& chosen) {
  list[0] = static_cast<std::uint32_t>(chosen.size());
  for (std::size_t j = 0; j < chosen.size(); ++j) list[1 + j] = static_cast<std::uint32_t>(chosen[j].id);
}

}  // namespace tamsel
