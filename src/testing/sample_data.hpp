// Random data, and the exact answers and recall that judge a search over it:
// shared by the core tests (tests/cpp) and the benchmarks (bench/cpp).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include "core/hnsw.hpp"

namespace tamsel::testing {

inline std::vector<double> uniform_rows(std::size_t count, std::size_t dim, std::uint64_t seed) {
  std::mt19937_64 engine(seed);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  std::vector<double> values(count * dim);
  for (double& value : values) value = uniform(engine);
  return values;
}

// Ids of the k nearest rows among `candidates` (all rows when empty), NaN last.
inline std::vector<std::size_t> exact_nearest(Metric metric, const std::vector<double>& rows, std::size_t dim,
                                              const double* query, std::size_t k,
                                              const std::vector<std::size_t>& candidates = {}) {
  std::vector<std::pair<double, std::size_t>> scored;
  const std::size_t count = candidates.empty() ? rows.size() / dim : candidates.size();
  for (std::size_t j = 0; j < count; ++j) {
    const std::size_t id = candidates.empty() ? j : candidates[j];
    scored.emplace_back(distance(metric, query, dim, rows.data() + id * dim, dim), id);
  }
  auto before = [](const auto& a, const auto& b) {
    const bool a_nan = std::isnan(a.first), b_nan = std::isnan(b.first);
    if (a_nan != b_nan) return b_nan;
    if (!a_nan && a.first != b.first) return a.first < b.first;
    return a.second < b.second;
  };
  const std::size_t keep = std::min(k, scored.size());
  std::partial_sort(scored.begin(), scored.begin() + static_cast<std::ptrdiff_t>(keep), scored.end(), before);
  std::vector<std::size_t> ids;
  for (std::size_t j = 0; j < keep; ++j) ids.push_back(scored[j].second);
  return ids;
}

// Share of the exact ids that the search found.
inline double recall(const std::vector<ScoredId>& found, const std::vector<std::size_t>& exact) {
  if (exact.empty()) return 1.0;
  std::set<std::size_t> wanted(exact.begin(), exact.end());
  std::size_t hits = 0;
  for (const ScoredId& f : found) hits += wanted.count(f.id);
  return static_cast<double>(hits) / static_cast<double>(exact.size());
}

}  // namespace tamsel::testing
