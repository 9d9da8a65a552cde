#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/hnsw.hpp"
#include "core/rows/store.hpp"
#include "core/rows/walk_measure.hpp"
#include "testing/sample_data.hpp"

namespace tamsel::testing {
namespace {

// The walk's measure of the last of `stored` from `query`, or from the first
// of `stored` as the linking measures from a stored node (decoded from its walk row).
double walk_measure(Metric metric, const std::vector<double>* query, const std::vector<std::vector<double>>& stored) {
  const std::size_t dim = stored.front().size();
  VectorStore store(dim, metric);
  std::vector<double> rows;
  for (const auto& vector : stored) rows.insert(rows.end(), vector.begin(), vector.end());
  auto room = store.reserve(rows.data(), stored.size());
  store.append(room, rows.data(), stored.size());
  const WalkMeasure measure(metric, store);
  SearchScratch scratch;
  const WalkQuery from =
      query ? measure.search_query(query->data(), query->size(), scratch) : measure.node(0, scratch.query_form);
  const auto last = static_cast<std::uint32_t>(stored.size() - 1);
  double measured;
  measure.score(from, &last, 1, &measured);
  return measured;
}

double walk_between(Metric metric, const std::vector<double>& query, const std::vector<double>& stored) {
  return walk_measure(metric, &query, {stored});
}

double walk_from_row(Metric metric, const std::vector<double>& from, const std::vector<double>& stored) {
  return walk_measure(metric, nullptr, {from, stored});
}

// The walk ranks the stored vectors as the exact scores do, up to its
// rounding, wherever the data sits and whatever its scale: the ten best by
// the walk's measure are nearly the ten best by the exact score, for a
// search and for the linking (which ranks by the exact distance between the
// points, here the distance of the vectors or of their directions).
const Register walk_orders_like_exact("the walk ranks like the exact score for every metric, offset and scale", [] {
  constexpr std::size_t kCount = 400, kQueries = 10, kTop = 10;
  std::mt19937_64 engine(7);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::size_t float_stores = 0;
  for (const std::size_t dim : {2, 3, 17, 64}) {
    for (const double offset : {0.0, 1e3, 1e6}) {
      for (const double scale : {1e-20, 1.0, 1e20}) {
        std::vector<double> rows((kCount + kQueries) * dim);
        for (double& x : rows) x = (offset + normal(engine)) * scale;
        const double* queries = rows.data() + kCount * dim;
        rows.resize(kCount * dim);
        for (const Metric metric : {Metric::Euclidean, Metric::Cosine, Metric::InnerProduct}) {
          VectorStore store(dim, metric);
          auto room = store.reserve(rows.data(), kCount);
          store.append(room, rows.data(), kCount);
          const WalkMeasure measure(metric, store);
          float_stores += store.code().precision() == WalkPrecision::Floats;
          std::vector<std::uint32_t> ids(kCount);
          for (std::size_t id = 0; id < kCount; ++id) ids[id] = static_cast<std::uint32_t>(id);
          std::vector<double> walked(kCount);
          SearchScratch scratch;
          std::size_t hits = 0;
          for (std::size_t q = 0; q < kQueries; ++q) {
            const double* query = queries + q * dim;
            measure.score(measure.search_query(query, dim, scratch), ids.data(), kCount, walked.data());
            std::vector<ScoredId> found;
            for (std::size_t id = 0; id < kCount; ++id) found.push_back({walked[id], id});
            std::sort(found.begin(), found.end(), ScoredBefore{});
            found.resize(kTop);
            hits += static_cast<std::size_t>(recall(found, exact_nearest(metric, rows, dim, query, kTop)) * kTop);
          }
          const std::string where = "dim " + std::to_string(dim) + ", offset " + std::to_string(offset) + ", scale " +
                                    std::to_string(scale) + ", metric " + std::to_string(static_cast<int>(metric)) +
                                    ": ";
          check(hits >= kQueries * kTop * 8 / 10, where + "search top ten share " + std::to_string(hits));
          // Linking: from stored node 0, the nearest points by the walk copy.
          measure.score(measure.node(0, scratch.query_form), ids.data(), kCount, walked.data());
          std::vector<ScoredId> found;
          for (std::size_t id = 0; id < kCount; ++id) found.push_back({walked[id], id});
          std::sort(found.begin(), found.end(), ScoredBefore{});
          found.resize(kTop);
          // The exact proximity, for the metrics whose points are the vectors
          // or their directions: the nearest vectors, or the most similar
          // directions (the least similar to the mirrored vector).
          std::vector<std::size_t> exact;
          if (metric == Metric::Euclidean) {
            exact = exact_nearest(Metric::Euclidean, rows, dim, rows.data(), kTop);
          } else if (metric == Metric::Cosine) {
            std::vector<double> mirrored(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(dim));
            for (double& x : mirrored) x = -x;
            exact = exact_nearest(Metric::Cosine, rows, dim, mirrored.data(), kTop);
          }
          if (!exact.empty())
            check(recall(found, exact) >= 0.8, where + "linking top ten share " + std::to_string(recall(found, exact)));
          check(found.front().id == 0 && found.front().score <= 1e-6, where + "a row is not nearest to itself");
        }
      }
    }
  }
  // Dense 2-d points share their byte codes: those stores keep floats, and the checks above ran on both.
  check(float_stores > 0, "no store kept floats");
});

const Register walk_extremes("the walk copy orders NaN, infinities, zero, huge and tiny vectors", [] {
  constexpr std::size_t kDim = 33;
  std::vector<double> plain(kDim);
  for (std::size_t i = 0; i < kDim; ++i) plain[i] = std::sin(static_cast<double>(i) + 0.5);
  constexpr double kInf = std::numeric_limits<double>::infinity();
  for (double bad : {std::numeric_limits<double>::quiet_NaN(), kInf, -kInf}) {
    for (std::size_t at : {std::size_t{0}, kDim - 1}) {
      std::vector<double> broken = plain;
      broken[at] = bad;
      const std::string what = "value " + std::to_string(bad) + " at " + std::to_string(at) + ": ";
      // NaN stands as the farthest number; an infinity keeps the sign of its inner products.
      const bool nan = std::isnan(bad);
      check(walk_between(Metric::Euclidean, plain, broken) == kInf, what + "euclidean to it");
      check(walk_between(Metric::InnerProduct, plain, broken) == (nan ? kInf : std::copysign(kInf, plain[at] * bad)),
            what + "inner product to it");
      if (nan) check(walk_between(Metric::Cosine, plain, broken) == kInf, what + "cosine to it");
      for (Metric metric : {Metric::Euclidean, Metric::InnerProduct})
        check(walk_from_row(metric, broken, plain) == kInf, what + "distance from it");
    }
  }

  const std::vector<double> zero(kDim, 0.0);
  double squares = 0.0;
  for (double x : plain) squares += x * x;
  check(std::fabs(walk_between(Metric::Euclidean, plain, zero) - squares) <= 1e-5 * squares,
        "zero vector: euclidean is not the query's squared norm");
  check(walk_between(Metric::InnerProduct, plain, zero) == 0.0, "zero vector: inner product is not 0");
  check(walk_between(Metric::Cosine, plain, zero) == kInf, "zero vector: cosine is not the farthest");

  // Scales beyond the float32 range either way: the cosine still sees the direction.
  const double expected = walk_between(Metric::Cosine, plain, plain);
  for (double factor : {1e300, 1e-300, 1e-310}) {
    std::vector<double> scaled = plain;
    for (double& x : scaled) x *= factor;
    const double cosine = walk_between(Metric::Cosine, plain, scaled);
    check(std::fabs(cosine - expected) <= 1e-6, "factor " + std::to_string(factor) + ": cosine changed");
  }
});

// A vector the walk cannot measure must not stop it: a NaN on top of the
// walk's result heap could never be displaced, and the walk would end at the
// first ef nodes it met.
const Register unmeasurable_vectors("recall holds among stored vectors with a NaN or an infinity", [] {
  constexpr std::size_t kDim = 8, kCount = 3000, kQueries = 40;
  const auto queries = uniform_rows(kQueries, kDim, 31);
  constexpr double kInf = std::numeric_limits<double>::infinity();
  for (const double bad : {std::numeric_limits<double>::quiet_NaN(), kInf, -kInf}) {
    auto rows = uniform_rows(kCount, kDim, 30);
    for (std::size_t id = 5; id < kCount; id += 10) rows[id * kDim + 2] = bad;
    HNSWParams p;
    p.dim = kDim;
    p.m = 8;
    p.ef_construction = 64;
    p.ef_search = 40;
    LevelRandom random(37);
    HNSW index(p, Metric::Euclidean, std::nullopt);
    index.create(VectorRows{rows.data(), kCount}, {}, random);
    double total = 0.0;
    for (std::size_t q = 0; q < kQueries; ++q) {
      const double* query = queries.data() + q * kDim;
      auto found = index.search(std::span<const double>(query, kDim), {.k = 10});
      total += recall(found.value(), exact_nearest(Metric::Euclidean, rows, kDim, query, 10));
    }
    check(total / kQueries >= 0.9, "value " + std::to_string(bad) + ": recall " + std::to_string(total / kQueries));
  }
});

}  // namespace
}  // namespace tamsel::testing
