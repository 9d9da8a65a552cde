// An index that grows after its first batch into data unlike that batch: the
// walk copy's frame fitted again, its rows switched from bytes to floats, a
// filter value rare at first and common later. Searches must find the exact
// answer as well afterwards as an index built in one go would.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/hnsw.hpp"
#include "core/rows/store.hpp"
#include "testing/sample_data.hpp"

namespace tamsel::testing {
namespace {

constexpr std::size_t kTop = 10;

HNSWParams params(std::size_t dim) {
  HNSWParams p;
  p.dim = dim;
  p.m = 12;
  p.ef_construction = 64;
  p.ef_search = 64;
  return p;
}

// Mean recall at ten over `queries`, among the `candidates` (all rows when empty).
double mean_recall(const HNSW& index, Metric metric, const std::vector<double>& rows,
                   const std::vector<double>& queries, const Filter* filter = nullptr,
                   const std::vector<std::size_t>& candidates = {}, std::optional<FilterPath> path = std::nullopt) {
  const std::size_t dim = index.dim(), count = queries.size() / dim;
  double total = 0.0;
  for (std::size_t q = 0; q < count; ++q) {
    const double* query = queries.data() + q * dim;
    auto found = index.search({query, dim}, {.k = kTop, .filter = filter, .path = path});
    check(found.ok(), "a search failed");
    if (!found.ok()) return 0.0;
    total += recall(found.value(), exact_nearest(metric, rows, dim, query, kTop, candidates));
  }
  return total / static_cast<double>(count);
}

// Queries next to stored rows spread over the whole store.
std::vector<double> queries_near(const std::vector<double>& rows, std::size_t dim, std::size_t count, double spread,
                                 std::uint64_t seed) {
  std::mt19937_64 engine(seed);
  std::normal_distribution<double> noise(0.0, spread);
  const std::size_t stored = rows.size() / dim;
  std::vector<double> queries;
  for (std::size_t q = 0; q < count; ++q) {
    const double* row = rows.data() + (q * stored / count) * dim;
    for (std::size_t i = 0; i < dim; ++i) queries.push_back(row[i] + noise(engine));
  }
  return queries;
}

// Feeds `index` (a batch, then one vector at a time) and a store of its own
// the same rows, so that the store shows what the index's store planned.
struct Growth {
  std::size_t dim;
  HNSW index;
  VectorStore store;
  LevelRandom random{5};
  std::vector<double> rows;

  explicit Growth(std::size_t dim_)
      : dim(dim_), index(params(dim_), Metric::Euclidean, std::nullopt), store(dim_, Metric::Euclidean) {}

  void create(const std::vector<double>& batch) {
    const std::size_t count = batch.size() / dim;
    check(!index.create({batch.data(), count}, {}, random), "the first batch failed");
    auto room = store.reserve(batch.data(), count);
    store.append(room, batch.data(), count);
    rows.insert(rows.end(), batch.begin(), batch.end());
  }
  void insert(const double* vector) {
    check(!index.insert({vector, dim}, nullptr, random), "an insertion failed");
    auto room = store.reserve(vector, 1);
    store.append(room, vector, 1);
    rows.insert(rows.end(), vector, vector + dim);
  }
};

const Register drift("vectors that move the fitted frame after a create are found as well as the first", [] {
  constexpr std::size_t dim = 8, first = 400, later = 1600;
  std::mt19937_64 engine(11);
  std::normal_distribution<double> normal(0.0, 1.0);
  Growth growth(dim);
  std::vector<double> batch(first * dim);
  for (double& x : batch) x = normal(engine);
  growth.create(batch);
  std::vector<double> before(dim), after(dim);
  growth.store.space().place(growth.store.row(0), before.data());
  // The centre moves 60 standard deviations along every axis, one vector at a time.
  std::vector<double> vector(dim);
  for (std::size_t j = 0; j < later; ++j) {
    for (double& x : vector) x = 60.0 * static_cast<double>(j) / later + normal(engine);
    growth.insert(vector.data());
  }
  growth.store.space().place(growth.store.row(0), after.data());
  check(before != after, "the frame was never fitted again");
  const auto queries = queries_near(growth.rows, dim, 60, 0.5, 12);
  const double found = mean_recall(growth.index, Metric::Euclidean, growth.rows, queries);
  check(found >= 0.9, "recall at ten " + std::to_string(found));
});

const Register precision_switch("rows switched from bytes to floats partway through a build are walked as before", [] {
  constexpr std::size_t dim = 4, first = 500, later = 1500, groups = 30;
  std::mt19937_64 engine(13);
  std::uniform_real_distribution<double> unit(0.0, 1.0), wide(-1000.0, 1000.0);
  std::normal_distribution<double> tight(0.0, 1e-3);
  Growth growth(dim);
  std::vector<double> batch(first * dim);
  for (double& x : batch) x = unit(engine);
  growth.create(batch);
  check(growth.store.code().precision() == WalkPrecision::Bytes, "the spread first batch is not kept in bytes");
  // Tight groups far apart: once the frame spans them, their members share byte codes.
  std::vector<double> centres(groups * dim);
  for (double& x : centres) x = wide(engine);
  std::optional<std::size_t> switched_at;
  std::vector<double> vector(dim);
  for (std::size_t j = 0; j < later; ++j) {
    const double* centre = centres.data() + (j % groups) * dim;
    for (std::size_t i = 0; i < dim; ++i) vector[i] = centre[i] + tight(engine);
    growth.insert(vector.data());
    if (!switched_at && growth.store.code().precision() == WalkPrecision::Floats) switched_at = j;
  }
  check(switched_at && *switched_at + 1 < later, "the rows never switched to floats partway");
  const auto queries = queries_near(growth.rows, dim, 60, 1e-3, 14);
  const double found = mean_recall(growth.index, Metric::Euclidean, growth.rows, queries);
  check(found >= 0.9, "recall at ten " + std::to_string(found));
});

const Register rare_then_common("a filter value rare at first and common later is found on every path", [] {
  constexpr std::size_t dim = 8, first = 3000, later = 3000;
  const auto rows = uniform_rows(first + later, dim, 17);
  std::mt19937_64 engine(17);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const Metadata rare(Metadata::Text{"a"}), other(Metadata::Text{"b"});
  std::vector<MetadataRecord> records;
  std::vector<std::size_t> holders;
  for (std::size_t id = 0; id < first + later; ++id) {
    const bool holds = unit(engine) < (id < first ? 0.01 : 0.7);
    records.push_back({holds ? rare : other});
    if (holds) holders.push_back(id);
  }
  LevelRandom random(17);
  HNSW index(params(dim), Metric::Euclidean, Schema{"tag"});
  check(!index.create({rows.data(), first}, {records.data(), first}, random), "the first batch failed");
  const Filter on_a{"tag", rare};
  const std::vector<double> early_rows(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(first * dim));
  std::vector<std::size_t> early_holders;
  for (const std::size_t id : holders) {
    if (id < first) early_holders.push_back(id);
  }
  const auto queries = uniform_rows(40, dim, 18);
  const double early = mean_recall(index, Metric::Euclidean, early_rows, queries, &on_a, early_holders);
  check(early >= 0.9, "while rare: recall at ten " + std::to_string(early));
  for (std::size_t id = first; id < first + later; ++id)
    check(!index.insert({rows.data() + id * dim, dim}, &records[id], random), "an insertion failed");
  const HNSWParams built = params(dim);
  const auto path_for = [&](std::size_t count) {
    return plan_search({.nodes = index.size(),
                        .ef_construction = built.ef_construction,
                        .k = kTop,
                        .ef = built.ef_search,
                        .holders = count})
        .path;
  };
  const FilterPath rare_path = path_for(early_holders.size());
  const FilterPath common_path = path_for(holders.size());
  check(rare_path != common_path, "the planner takes one path for both shares");
  for (const std::optional<FilterPath> path : {std::optional<FilterPath>{}, std::optional{FilterPath::Holders}}) {
    const double late = mean_recall(index, Metric::Euclidean, rows, queries, &on_a, holders, path);
    check(late >= 0.9,
          std::string(path ? "holder walk" : "planner's path") + ": recall at ten " + std::to_string(late));
  }
});

}  // namespace
}  // namespace tamsel::testing
