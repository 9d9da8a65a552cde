// Core against core: tamsel's HNSW (float64) beside hnswlib's C++ header
// (float32), on the same data, single-threaded.
//
//   hnsw_vs_hnswlib [--n N] [--dim D] [--queries Q] [--seed S] [--rounds R] [--ef 10,20,...]
//                   [--metric euclidean|angular|inner_product] [--data FILE.npy]
//                   [--perf-control FIFO]
//
// The data is the Gaussian mixture of bench/run.py, or the rows of a 2-d
// float32 .npy file (bench/embed.py's cache, say): the last Q rows are the
// queries, the first N of the others the data. Under a similarity tamsel
// lists the least similar first; hnswlib (its spaces list the most similar
// first) is asked for the most similar to -q, the same answer. The exact
// answers are tamsel's exact scores.
//
// With --perf-control, the driver writes "enable" and "disable" to FIFO
// around tamsel's timed query passes, so that a profiler started disabled
// samples those alone (docs/tuning.md, "Where a query's time goes"):
//   mkfifo /tmp/ctl && perf record -D -1 --control fifo:/tmp/ctl -o q.data -- \
//     hnsw_vs_hnswlib ... --perf-control /tmp/ctl
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
#include "core/scoring/kernels.hpp"

namespace {

constexpr std::size_t kK = 10;
constexpr std::size_t kM = 16;
constexpr std::size_t kEfConstruction = 200;

struct Options {
  std::string metric = "euclidean";
  std::string data;
  std::size_t n = 100000;
  std::size_t dim = 128;
  std::size_t queries = 1000;
  std::uint64_t seed = 20240601;
  std::size_t rounds = 3;
  std::vector<std::size_t> efs{10, 20, 40, 80, 160, 320};
  std::string perf_control;
};

// Sends `command` to the profiler's control FIFO, when there is one.
void tell_profiler(const Options& o, const char* command) {
  if (o.perf_control.empty()) return;
  FILE* fifo = std::fopen(o.perf_control.c_str(), "w");
  if (fifo == nullptr) {
    std::fprintf(stderr, "cannot open %s\n", o.perf_control.c_str());
    std::exit(2);
  }
  std::fprintf(fifo, "%s\n", command);
  std::fclose(fifo);
}

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

tamsel::Metric metric_of(const std::string& name) {
  if (name == "angular") return tamsel::Metric::Cosine;
  if (name == "inner_product") return tamsel::Metric::InnerProduct;
  return tamsel::Metric::Euclidean;
}

std::vector<std::uint32_t> exact_knn(const Options& o, const std::vector<double>& data,
                                     const std::vector<double>& queries) {
  const tamsel::Metric metric = metric_of(o.metric);
  std::vector<std::uint32_t> out(o.queries * kK);
  std::vector<std::pair<double, std::uint32_t>> scored(o.n);
  for (std::size_t q = 0; q < o.queries; ++q) {
    const double* query = &queries[q * o.dim];
    for (std::size_t i = 0; i < o.n; ++i)
      scored[i] = {tamsel::distance(metric, query, o.dim, &data[i * o.dim], o.dim), static_cast<std::uint32_t>(i)};
    std::partial_sort(scored.begin(), scored.begin() + kK, scored.end());
    for (std::size_t j = 0; j < kK; ++j) out[q * kK + j] = scored[j].second;
  }
  return out;
}

// The rows of a 2-d little-endian float32 .npy file, and their number and length.
std::vector<double> read_npy(const std::string& path, std::size_t& rows, std::size_t& columns) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    std::fprintf(stderr, "cannot open %s\n", path.c_str());
    std::exit(2);
  }
  char magic[10];
  if (std::fread(magic, 1, 10, f) != 10 || std::memcmp(magic, "\x93NUMPY", 6) != 0) {
    std::fprintf(stderr, "%s is not a .npy file\n", path.c_str());
    std::exit(2);
  }
  const std::size_t header_size =
      magic[6] == 1 ? std::size_t(std::uint8_t(magic[8])) | std::size_t(std::uint8_t(magic[9])) << 8 : 0;
  std::string header(header_size, ' ');
  if (header_size == 0 || std::fread(header.data(), 1, header_size, f) != header_size ||
      header.find("'<f4'") == std::string::npos || header.find("'fortran_order': False") == std::string::npos ||
      std::sscanf(header.c_str() + header.find("'shape': (") + 10, "%zu, %zu", &rows, &columns) != 2) {
    std::fprintf(stderr, "%s: need a version-1 header of a C-ordered 2-d float32 array\n", path.c_str());
    std::exit(2);
  }
  std::vector<float> values(rows * columns);
  if (std::fread(values.data(), sizeof(float), values.size(), f) != values.size()) {
    std::fprintf(stderr, "%s: short file\n", path.c_str());
    std::exit(2);
  }
  std::fclose(f);
  return {values.begin(), values.end()};
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
  tamsel::HNSW index(params, metric_of(o.metric), std::nullopt);
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
    auto one = [&](std::size_t q) {
      auto result = index.search(std::span<const double>(&queries[q * o.dim], o.dim), {.k = kK, .ef = ef});
      const auto& hits = result.value();
      for (std::size_t j = 0; j < hits.size() && j < kK; ++j)
        found[q * kK + j] = static_cast<std::uint32_t>(hits[j].id);
    };
    tell_profiler(o, "enable");
    f.rows.push_back({ef, 0.0, o.queries / best_pass(o, one)});
    tell_profiler(o, "disable");
    f.rows.back().recall = recall(found, exact, o.queries);
  }
  return f;
}

Figures run_hnswlib(const Options& o, const std::vector<float>& data, const std::vector<float>& queries,
                    const std::vector<std::uint32_t>& exact) {
  Figures f;
  hnswlib::L2Space l2(o.dim);
  hnswlib::InnerProductSpace products(o.dim);
  hnswlib::SpaceInterface<float>* space =
      o.metric == "euclidean" ? static_cast<hnswlib::SpaceInterface<float>*>(&l2) : &products;
  const long before = settled_rss();
  auto* index = new hnswlib::HierarchicalNSW<float>(space, o.n, kM, kEfConstruction, 100);
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
    if (key == "--metric") o.metric = argv[i + 1];
    else if (key == "--data") o.data = argv[i + 1];
    else if (key == "--n") o.n = std::strtoull(argv[i + 1], nullptr, 10);
    else if (key == "--dim") o.dim = std::strtoull(argv[i + 1], nullptr, 10);
    else if (key == "--queries") o.queries = std::strtoull(argv[i + 1], nullptr, 10);
    else if (key == "--seed") o.seed = std::strtoull(argv[i + 1], nullptr, 10);
    else if (key == "--rounds") o.rounds = std::strtoull(argv[i + 1], nullptr, 10);
    else if (key == "--ef") o.efs = parse_list(argv[i + 1]);
    else if (key == "--perf-control") o.perf_control = argv[i + 1];
    else {
      std::fprintf(stderr,
                   "usage: %s [--n N] [--dim D] [--queries Q] [--seed S] [--rounds R] [--ef 10,20,...] "
                   "[--metric euclidean|angular|inner_product] [--data FILE.npy] [--perf-control FIFO]\n",
                   argv[0]);
      std::exit(2);
    }
  }
  if (o.metric != "euclidean" && o.metric != "angular" && o.metric != "inner_product") {
    std::fprintf(stderr, "unknown metric %s\n", o.metric.c_str());
    std::exit(2);
  }
  if (o.n < kK || o.queries == 0 || o.dim == 0 || o.rounds == 0 || o.efs.empty()) {
    std::fprintf(stderr, "need n >= %zu, queries > 0, dim > 0, rounds > 0 and at least one ef\n", kK);
    std::exit(2);
  }
  return o;
}

// The data as hnswlib's space takes it: for the angular metric the directions,
// and for the similarities the mirrored queries.
std::vector<float> for_hnswlib(const Options& o, const std::vector<double>& rows, bool queries) {
  std::vector<float> out(rows.begin(), rows.end());
  for (std::size_t at = 0; at < out.size(); at += o.dim) {
    double norm = 0.0;
    for (std::size_t j = 0; j < o.dim; ++j) norm += double(out[at + j]) * out[at + j];
    const double factor = (o.metric == "angular" && norm > 0.0 ? 1.0 / std::sqrt(norm) : 1.0) *
                          (queries && o.metric != "euclidean" ? -1.0 : 1.0);
    for (std::size_t j = 0; j < o.dim; ++j) out[at + j] = float(out[at + j] * factor);
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  Options o = parse(argc, argv);
  // As the Python module does: TAMSEL_KERNELS forces a set of kernels.
  if (const char* requested = std::getenv("TAMSEL_KERNELS"); requested != nullptr && *requested != '\0') {
    if (tamsel::choose_kernels(requested) != tamsel::KernelChoice::Chosen) {
      std::fprintf(stderr, "TAMSEL_KERNELS=%s: not one of the sets this processor runs (%s)\n", requested,
                   tamsel::kernel_names(true).c_str());
      return 2;
    }
  }
  std::fprintf(stderr, "tamsel kernels: %s\n", tamsel::kernels().name);
  std::vector<double> data, queries;
  if (o.data.empty()) {
    std::fprintf(stderr, "generating %zu x %zu (+%zu queries)\n", o.n, o.dim, o.queries);
    const std::vector<double> both = mixture(o.n + o.queries, o.dim, o.seed);
    data.assign(both.begin(), both.begin() + o.n * o.dim);
    queries.assign(both.begin() + o.n * o.dim, both.end());
  } else {
    std::size_t rows = 0;
    const std::vector<double> all = read_npy(o.data, rows, o.dim);
    if (rows < o.queries + kK) {
      std::fprintf(stderr, "%s holds %zu rows: too few\n", o.data.c_str(), rows);
      return 2;
    }
    o.n = std::min(o.n, rows - o.queries);
    data.assign(all.begin(), all.begin() + o.n * o.dim);
    queries.assign(all.end() - o.queries * o.dim, all.end());
    std::fprintf(stderr, "%s: %zu x %zu, the last %zu rows as queries\n", o.data.c_str(), o.n, o.dim, o.queries);
  }
  const std::vector<float> data32 = for_hnswlib(o, data, false);
  const std::vector<float> queries32 = for_hnswlib(o, queries, true);
  std::fprintf(stderr, "exact answers to %zu queries\n", o.queries);
  const auto exact = exact_knn(o, data, queries);

  std::printf(
      "core against core: %s, metric %s, n = %zu, dim = %zu, %zu queries (best of %zu passes), m = %zu, "
      "ef_construction = %zu, k = %zu, one thread, CPU time; hnswlib header %s\n",
      o.data.empty() ? "Gaussian mixture" : o.data.c_str(), o.metric.c_str(), o.n, o.dim, o.queries, o.rounds, kM,
      kEfConstruction, kK, HNSWLIB_VERSION);
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
