// A stored vector's id with its score against a query, and the order results come in.
#pragma once

#include <cmath>
#include <cstddef>

namespace tamsel {

struct ScoredId {
  double score;
  std::size_t id;
};

// Score order: NaN after every number and equal to any NaN.
inline bool nearer(double a, double b) { return a < b || (std::isnan(b) && !std::isnan(a)); }

// Results are listed in score order, the smaller id first among equal scores.
// The order is total, so a search that keeps the best k gives the first k of
// the whole sorted list.
inline bool scored_before(const ScoredId& a, const ScoredId& b) {
  if (nearer(a.score, b.score)) return true;
  if (nearer(b.score, a.score)) return false;
  return a.id < b.id;
}

// The same order as function objects, so that heap and sort algorithms inline them.
struct ScoredBefore {
  bool operator()(const ScoredId& a, const ScoredId& b) const { return scored_before(a, b); }
};

struct ScoredAfter {
  bool operator()(const ScoredId& a, const ScoredId& b) const { return scored_before(b, a); }
};

}  // namespace tamsel
