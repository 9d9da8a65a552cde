#include <cmath>
#include <cstddef>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/hnsw.hpp"
#include "core/store.hpp"
#include "core/walk_measure.hpp"
#include "test_data.hpp"

namespace tamsel::testing {
namespace {

// The walk's measure of the last of `stored` from `query`, or from the first
// of `stored` as the linking measures from a stored node (decoded from its walk row).
double walk_measure(Metric metric, const std::vector<double>* query, const std::vector<std::vector<double>>& stored) {
  const std::size_t dim = stored.front().size();
  VectorStore store(dim);
  const auto room = store.reserve(stored.size());
  for (const auto& vector : stored) store.append(room, vector.data());
  const WalkMeasure measure(metric, store);
  std::vector<float> form;
  const WalkQuery from = query ? measure.query(query->data(), query->size(), form) : measure.node(0, form);
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

// Components of very different sizes, as in real embeddings, over dims that
// exercise the whole-vector steps, the single step and the scalar rest.
const Register walk_error_bound("the 8-bit walk distance is within its rounding bound of the exact one", [] {
  std::mt19937_64 engine(7);
  std::normal_distribution<double> normal(0.0, 1.0);
  for (std::size_t dim : {1, 7, 16, 17, 31, 32, 33, 48, 100, 128}) {
    for (int trial = 0; trial < 20; ++trial) {
      std::vector<double> q(dim), v(dim);
      for (std::size_t i = 0; i < dim; ++i) {
        const double size = 1.0 / std::sqrt(1.0 + static_cast<double>(i));
        q[i] = normal(engine) * size;
        v[i] = normal(engine) * size;
      }
      double largest = 0.0, q_abs = 0.0, v_norm = 0.0;
      for (std::size_t i = 0; i < dim; ++i) {
        largest = std::fmax(largest, std::fabs(v[i]));
        q_abs += std::fabs(q[i]);
        v_norm += v[i] * v[i];
      }
      v_norm = std::sqrt(v_norm);
      const double step = largest / 127.0;  // every component is off by at most half of it
      const double moved = std::sqrt(static_cast<double>(dim)) * step / 2.0;
      const std::string where = "dim " + std::to_string(dim) + ": ";

      const double exact_l2 = euclidean_distance(q.data(), dim, v.data(), dim);
      const double walk_l2 = std::sqrt(walk_between(Metric::Euclidean, q, v));
      check(std::fabs(walk_l2 - exact_l2) <= moved + 1e-5 * (1.0 + exact_l2), where + "euclidean off");

      const double exact_ip = dot_product(q.data(), dim, v.data(), dim);
      const double walk_ip = walk_between(Metric::InnerProduct, q, v);
      check(std::fabs(walk_ip - exact_ip) <= q_abs * step / 2.0 + 1e-5 * q_abs * largest, where + "inner product off");

      const double exact_cos = cosine_similarity(q.data(), dim, v.data(), dim);
      const double walk_cos = walk_between(Metric::Cosine, q, v);
      check(std::fabs(walk_cos - exact_cos) <= 2.0 * moved / v_norm + 1e-5, where + "cosine off");

      // A stored vector measured from its own row, as the linking does.
      check(walk_from_row(Metric::Euclidean, v, v) == 0.0, where + "a row is not at 0 of itself");
      check(std::fabs(walk_from_row(Metric::Cosine, v, v) - 1.0) <= 1e-5, where + "self cosine is not 1");
    }
  }
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
      auto found = index.search(std::span<const double>(query, kDim), 10, nullptr);
      total += recall(found.value(), exact_nearest(Metric::Euclidean, rows, kDim, query, 10));
    }
    check(total / kQueries >= 0.9, "value " + std::to_string(bad) + ": recall " + std::to_string(total / kQueries));
  }
});

}  // namespace
}  // namespace tamsel::testing
