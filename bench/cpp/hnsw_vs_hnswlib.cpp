// Core against core: tamsel's HNSW (float64) beside hnswlib's C++ header
// (float32, L2 space), on the same generated data, single-threaded.
//
//   hnsw_vs_hnswlib [--n N] [--dim D] [--queries Q] [--seed S] [--rounds R] [--ef 10,20,...]
//
// Prints build time, resident size growth, recall@10 and queries per second
// (best of R passes over the queries) at each ef for both. Times are CPU time of the process (this machine is
// shared); the wall-clock / CPU ratio is printed at the end.
#include <hnswlib/hnswlib.h>

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/hnsw.hpp"

namespace {

constexpr std::size_t kK = 10;
constexpr std::size_t kM = 16;
constexpr std::size_t kEfConstruction = 200;

struct Options {
  std::size_t n = 100000;
  std::size_t dim = 128;
  std::size_t queries = 1000;
  std::uint64_t seed = 20240601;
  std::size_t rounds = 3;
  std::vector<std::size_t> efs{10, 20, 40, 80, 160, 320};
};

double wall_total = 0.0, cpu_total = 0.0;

// Processor time of the whole process (glibc: CLOCK_PROCESS_CPUTIME_ID, microseconds).
double cpu_now() { return double(std::clock()) / CLOCKS_PER_SEC; }

double wall_now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

// CPU seconds of `f()`; the wall-clock time is only summed for the load ratio.
template <class F>
double cpu_seconds(F&& f) {
  const double w = wall_now(), c = cpu_now();
  f();
  const double cpu = cpu_now() - c;
  wall_total += wall_now() - w;
  cpu_total += cpu;
  return cpu;
}

long rss_bytes() {
  long pages_total = 0, pages_resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return -1;
  if (std::fscanf(f, "%ld %ld", &pages_total, &pages_resident) != 2) pages_resident = -1;
  std::fclose(f);
  return pages_resident * sysconf(_SC_PAGESIZE);
}

long settled_rss() {
  malloc_trim(0);
  return rss_bytes();
}

// The Gaussian mixture of bench/run.py: about sqrt(n)/3 clusters of uneven
// size and spread, a per-component scale that decays like the variances of real embeddings.
std::vector<double> mixture(std::size_t n, std::size_t dim, std::uint64_t seed) {
  std::mt19937_64 engine(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  const std::size_t clusters = std::max<std::size_t>(8, std::lround(std::sqrt(double(n)) / 3.0));
  std::vector<double> scale(dim);
  for (std::size_t j = 0; j < dim; ++j) scale[j] = 1.0 / std::sqrt(1.0 + j / 8.0);
  std::vector<double> centres(clusters * dim);
  for (std::size_t c = 0; c < clusters; ++c)
    for (std::size_t j = 0; j < dim; ++j) centres[c * dim + j] = normal(engine) * scale[j];
  std::gamma_distribution<double> gamma(2.0, 1.0);
  std::uniform_real_distribution<double> uniform(0.3, 0.6);
  std::vector<double> weights(clusters), spread(clusters);
  for (auto& w : weights) w = gamma(engine);
  for (auto& s : spread) s = uniform(engine);
  std::discrete_distribution<std::size_t> pick(weights.begin(), weights.end());
  std::vector<double> out(n * dim);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t c = pick(engine);
    for (std::size_t j = 0; j < dim; ++j)
      out[i * dim + j] = centres[c * dim + j] + normal(engine) * scale[j] * spread[c];
  }
  return out;
}

std::vector<std::uint32_t> exact_knn(const std::vector<double>& data, const std::vector<double>& queries, std::size_t n,
                                     std::size_t nq, std::size_t dim) {
  std::vector<std::uint32_t> out(nq * kK);
  std::vector<std::pair<double, std::uint32_t>> scored(n);
  for (std::size_t q = 0; q < nq; ++q) {
    const double* query = &queries[q * dim];
    for (std::size_t i = 0; i < n; ++i) {
      const double* row = &data[i * dim];
      double sum = 0.0;
      for (std::size_t j = 0; j < dim; ++j) {
        const double d = query[j] - row[j];
        sum += d * d;
      }
      scored[i] = {sum, static_cast<std::uint32_t>(i)};
    }
    std::partial_sort(scored.begin(), scored.begin() + kK, scored.end());
    for (std::size_t j = 0; j < kK; ++j) out[q * kK + j] = scored[j].second;
  }
  return out;
}

double recall(const std::vector<std::uint32_t>& found, const std::vector<std::uint32_t>& exact, std::size_t nq) {
  std::size_t hits = 0;
  for (std::size_t q = 0; q < nq; ++q) {
    for (std::size_t a = 0; a < kK; ++a) {
      const std::uint32_t id = found[q * kK + a];
      for (std::size_t b = 0; b < kK; ++b) hits += exact[q * kK + b] == id;
    }
  }
  return double(hits) / double(nq * kK);
}

struct Row {
  std::size_t ef;
  double recall;
  double qps;
};

struct Figures {
  double build_s = 0.0;
  long rss_growth = 0;
  std::vector<Row> rows;
};

// A warm-up of 50 queries, then the best of `rounds` passes over all queries.
template <class One>
double best_pass(const Options& o, One& one) {
  for (std::size_t q = 0; q < std::min<std::size_t>(50, o.queries); ++q) one(q);
  double best = 0.0;
  for (std::size_t r = 0; r < o.rounds; ++r) {
    const double seconds = cpu_seconds([&] {
      for (std::size_t q = 0; q < o.queries; ++q) one(q);
    });
    if (r == 0 || seconds < best) best = seconds;
  }
  return best;
}

Figures run_tamsel(const Options& o, const std::vector<double>& data, const std::vector<double>& queries,
                   const std::vector<std::uint32_t>& exact) {
  Figures f;
  const long before = settled_rss();
  tamsel::HNSWParams params;
  params.dim = o.dim;
  params.m = kM;
  params.ef_construction = kEfConstruction;
  tamsel::HNSW index(params, tamsel::Metric::Euclidean, std::nullopt);
  tamsel::LevelRandom random(o.seed);
  f.build_s = cpu_seconds([&] {
    auto error = index.create(tamsel::VectorRows{data.data(), o.n}, {}, random);
    if (error) {
      std::fprintf(stderr, "tamsel create failed: %s\n", tamsel::error_name(*error));
      std::exit(1);
    }
  });
  f.rss_growth = settled_rss() - before;
  std::fprintf(stderr, "tamsel: built in %.2f s\n", f.build_s);
  std::vector<std::uint32_t> found(o.queries * kK, 0);
  // One graph, swept over the search breadths.
  for (std::size_t ef : o.efs) {
    index.set_ef_search(ef);
    auto one = [&](std::size_t q) {
      auto result = index.search(std::span<const double>(&queries[q * o.dim], o.dim), kK, nullptr);
      const auto& hits = result.value();
      for (std::size_t j = 0; j < hits.size() && j < kK; ++j)
        found[q * kK + j] = static_cast<std::uint32_t>(hits[j].id);
    };
    f.rows.push_back({ef, 0.0, o.queries / best_pass(o, one)});
    f.rows.back().recall = recall(found, exact, o.queries);
  }
  return f;
}

Figures run_hnswlib(const Options& o, const std::vector<float>& data, const std::vector<float>& queries,
                    const std::vector<std::uint32_t>& exact) {
  Figures f;
  hnswlib::L2Space space(o.dim);
  const long before = settled_rss();
  auto* index = new hnswlib::HierarchicalNSW<float>(&space, o.n, kM, kEfConstruction, 100);
  f.build_s = cpu_seconds([&] {
    for (std::size_t i = 0; i < o.n; ++i) index->addPoint(&data[i * o.dim], i);
  });
  f.rss_growth = settled_rss() - before;
  std::fprintf(stderr, "hnswlib: built in %.2f s\n", f.build_s);
  std::vector<std::uint32_t> found(o.queries * kK, 0);
  for (std::size_t ef : o.efs) {
    index->setEf(ef);
    auto one = [&](std::size_t q) {
      auto result = index->searchKnn(&queries[q * o.dim], kK);
      std::size_t j = result.size();
      while (!result.empty()) {
        if (--j < kK) found[q * kK + j] = static_cast<std::uint32_t>(result.top().second);
        result.pop();
      }
    };
    f.rows.push_back({ef, 0.0, o.queries / best_pass(o, one)});
    f.rows.back().recall = recall(found, exact, o.queries);
  }
  delete index;
  return f;
}

std::vector<std::size_t> parse_list(const char* text) {
  std::vector<std::size_t> out;
  for (const char* p = text; *p;) {
    char* end = nullptr;
    out.push_back(std::strtoull(p, &end, 10));
    p = *end == ',' ? end + 1 : end;
    if (end == p && *p) break;
  }
  return out;
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    if (key == "--n") o.n = std::strtoull(argv[i + 1], nullptr, 10);
    else if (key == "--dim") o.dim = std::strtoull(argv[i + 1], nullptr, 10);
    else if (key == "--queries") o.queries = std::strtoull(argv[i + 1], nullptr, 10);
    else if (key == "--seed") o.seed = std::strtoull(argv[i + 1], nullptr, 10);
    else if (key == "--rounds") o.rounds = std::strtoull(argv[i + 1], nullptr, 10);
    else if (key == "--ef") o.efs = parse_list(argv[i + 1]);
    else {
      std::fprintf(stderr, "usage: %s [--n N] [--dim D] [--queries Q] [--seed S] [--rounds R] [--ef 10,20,...]\n",
                   argv[0]);
      std::exit(2);
    }
  }
  if (o.n < kK || o.queries == 0 || o.dim == 0 || o.rounds == 0 || o.efs.empty()) {
    std::fprintf(stderr, "need n >= %zu, queries > 0, dim > 0, rounds > 0 and at least one ef\n", kK);
    std::exit(2);
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  std::fprintf(stderr, "generating %zu x %zu (+%zu queries)\n", o.n, o.dim, o.queries);
  const std::vector<double> both = mixture(o.n + o.queries, o.dim, o.seed);
  const std::vector<double> data(both.begin(), both.begin() + o.n * o.dim);
  const std::vector<double> queries(both.begin() + o.n * o.dim, both.end());
  const std::vector<float> data32(data.begin(), data.end());
  const std::vector<float> queries32(queries.begin(), queries.end());
  std::fprintf(stderr, "exact neighbours of %zu queries\n", o.queries);
  const auto exact = exact_knn(data, queries, o.n, o.queries, o.dim);

  std::printf(
      "core against core: n = %zu, dim = %zu, %zu queries (best of %zu passes), m = %zu, "
      "ef_construction = %zu, k = %zu, one thread, CPU time; hnswlib header %s\n",
      o.n, o.dim, o.queries, o.rounds, kM, kEfConstruction, kK, HNSWLIB_VERSION);
  const Figures h = run_hnswlib(o, data32, queries32, exact);
  const Figures t = run_tamsel(o, data, queries, exact);

  std::printf("\n%-8s %10s %22s %22s\n", "", "build s", "RSS growth per vector", "beyond the vector");
  std::printf("%-8s %10.2f %22.0f %22.0f   (vectors stored as float64: %zu bytes)\n", "tamsel", t.build_s,
              double(t.rss_growth) / o.n, double(t.rss_growth) / o.n - 8.0 * o.dim, 8 * o.dim);
  std::printf("%-8s %10.2f %22.0f %22.0f   (vectors stored as float32: %zu bytes)\n", "hnswlib", h.build_s,
              double(h.rss_growth) / o.n, double(h.rss_growth) / o.n - 4.0 * o.dim, 4 * o.dim);
  std::printf("build tamsel / hnswlib: %.2fx; bytes beyond the vector tamsel / hnswlib: %.2fx\n\n",
              t.build_s / h.build_s,
              (double(t.rss_growth) / o.n - 8.0 * o.dim) / (double(h.rss_growth) / o.n - 4.0 * o.dim));

  std::printf("%6s  %14s %12s  %14s %12s  %18s\n", "ef", "tamsel recall", "tamsel QPS", "hnswlib recall", "hnswlib QPS",
              "QPS tamsel/hnswlib");
  for (std::size_t i = 0; i < o.efs.size(); ++i) {
    const Row& a = t.rows[i];
    const Row& b = h.rows[i];
    std::printf("%6zu  %14.4f %12.0f  %14.4f %12.0f  %17.2fx\n", a.ef, a.recall, a.qps, b.recall, b.qps, a.qps / b.qps);
  }
  auto best = [](const Figures& f) {
    const Row* r = nullptr;
    for (const Row& row : f.rows)
      if (row.recall >= 0.95 && (r == nullptr || row.qps > r->qps)) r = &row;
    return r;
  };
  const Row* bt = best(t);
  const Row* bh = best(h);
  if (bt && bh)
    std::printf(
        "\nfastest at recall@10 >= 0.95: tamsel %.0f q/s (ef %zu, recall %.4f), hnswlib %.0f q/s (ef %zu, "
        "recall %.4f): %.2fx\n",
        bt->qps, bt->ef, bt->recall, bh->qps, bh->ef, bh->recall, bt->qps / bh->qps);
  std::printf("wall-clock / CPU time over the timed stretches: %.2f\n", wall_total / cpu_total);
  return 0;
}
