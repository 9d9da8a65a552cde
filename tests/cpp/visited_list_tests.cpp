// The 16-bit epoch of the visited marks wraps around after 65,535 searches.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/graph/visited_list.hpp"
#include "core/hnsw.hpp"
#include "testing/sample_data.hpp"

namespace tamsel::testing {
namespace {

constexpr std::size_t kEpochs = std::size_t{1} << 16;

const Register marks_across_the_wrap("a mark of the epoch that comes round again is cleared", [] {
  VisitedList visited;
  visited.grow(8);
  visited.start_search();
  check(visited.visit(3), "a fresh list has node 3 visited");
  // Node 3's mark stays from that first epoch while every later one passes.
  for (std::size_t search = 1; search < kEpochs + 2; ++search) {
    visited.start_search();
    if (!visited.visit(3 + search % 2 + 1)) check(false, "search " + std::to_string(search) + " met a stale mark");
    if (visited.visit(3 + search % 2 + 1)) check(false, "search " + std::to_string(search) + " lost a mark");
    if (search == kEpochs - 1) check(visited.visit(3), "node 3 still counts as visited when its epoch comes round");
  }
  visited.grow(64);
  check(visited.visit(63), "a node added mid-search counts as visited");
});

// One layer: a search starts one epoch. A search in one corner, 65,534 in the
// opposite one, and the first again: its walk meets the epoch of its first
// walk once more, whose marks only the wrap clears.
const Register searches_across_the_wrap("a search whose epoch comes round again walks as it first did", [] {
  constexpr std::size_t dim = 4, count = 300;
  const auto rows = uniform_rows(count, dim, 23);
  HNSWParams p;
  p.dim = dim;
  p.layers = 1;
  p.m = 8;
  p.ef_construction = 32;
  p.ef_search = 16;
  LevelRandom random(23);
  HNSW index(p, Metric::Euclidean, std::nullopt);
  check(!index.create({rows.data(), count}, {}, random), "create failed");
  const std::vector<double> corner(dim, 0.0), opposite(dim, 1.0);
  const auto answer = [&](const std::vector<double>& query) {
    auto found = index.search(query, {.k = 10});
    std::vector<std::size_t> ids;
    if (found.ok()) {
      for (const ScoredId& hit : found.value()) ids.push_back(hit.id);
    }
    return ids;
  };
  const auto first = answer(corner);
  for (std::size_t search = 0; search + 2 < kEpochs; ++search) answer(opposite);
  check(answer(corner) == first, "the search answered otherwise");
});

}  // namespace
}  // namespace tamsel::testing
