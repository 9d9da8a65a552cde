// The choice of a node's neighbours among candidates: near ones that point
// in many directions, so that a walk can leave the node every way.
#pragma once

#include <cstddef>
#include <vector>

#include "core/scored.hpp"
#include "core/search_scratch.hpp"
#include "core/walk_measure.hpp"

namespace tamsel {

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
