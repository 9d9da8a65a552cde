// `core_bench N DIM [M EF_CONSTRUCTION EF_SEARCH]`: build time, recall and
// query rate of the core on uniform random data, unfiltered and filtered.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "core/hnsw.hpp"
#include "core/scoring/kernels.hpp"
#include "testing/sample_data.hpp"

namespace {

using namespace tamsel;
using namespace tamsel::testing;

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Processor time of this process: steadier than wall time on a shared machine.
double cpu_seconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

struct Measured {
  double recall;
  double queries_per_second;
};

Measured measure(const HNSW& index, const std::vector<double>& rows, const std::vector<double>& queries,
                 std::size_t dim, const Filter* filter, const std::vector<std::size_t>& holders) {
  const std::size_t count = queries.size() / dim;
  std::vector<std::vector<ScoredId>> answers;
  const double start = cpu_seconds();
  for (std::size_t qi = 0; qi < count; ++qi)
    answers.push_back(index.search({queries.data() + qi * dim, dim}, {.k = 10, .filter = filter}).value());
  const double elapsed = cpu_seconds() - start;
  double total = 0.0;
  for (std::size_t qi = 0; qi < count; ++qi) {
    const double* query = queries.data() + qi * dim;
    total += recall(answers[qi], exact_nearest(Metric::Euclidean, rows, dim, query, 10, holders));
  }
  return {total / static_cast<double>(count), static_cast<double>(count) / elapsed};
}

}  // namespace

int main(int argc, char** argv) {
  // As the Python module does: TAMSEL_KERNELS forces a set of kernels.
  if (const char* requested = std::getenv("TAMSEL_KERNELS"); requested != nullptr && *requested != '\0') {
    if (tamsel::choose_kernels(requested) != tamsel::KernelChoice::Chosen) {
      std::fprintf(stderr, "TAMSEL_KERNELS=%s: not one of the sets this processor runs (%s)\n", requested,
                   tamsel::kernel_names(true).c_str());
      return 2;
    }
  }
  // The arguments after the program's name.
  --argc;
  ++argv;
  if (argc < 2) {
    std::fprintf(stderr, "usage: core_bench N DIM [M EF_CONSTRUCTION EF_SEARCH]\n");
    return 2;
  }
  HNSWParams params;
  const std::size_t n = std::strtoull(argv[0], nullptr, 10);
  params.dim = std::strtoull(argv[1], nullptr, 10);
  if (argc > 2) params.m = std::strtoull(argv[2], nullptr, 10);
  if (argc > 3) params.ef_construction = std::strtoull(argv[3], nullptr, 10);
  if (argc > 4) params.ef_search = std::strtoull(argv[4], nullptr, 10);
  const std::size_t dim = params.dim;

  const auto rows = uniform_rows(n, dim, 1);
  const auto queries = uniform_rows(200, dim, 2);
  // Attribute "share" holds 1000 for one node in 1000, 100 for one in 100 and so on.
  const std::size_t shares[] = {2, 10, 33, 100, 1000};
  std::vector<MetadataRecord> records;
  for (std::size_t id = 0; id < n; ++id) {
    MetadataRecord record;
    for (std::size_t share : shares)
      record.emplace_back(Metadata::Integer{id % share == 0 ? static_cast<Metadata::Integer>(share) : 0});
    records.push_back(std::move(record));
  }
  Schema schema;
  for (std::size_t share : shares) schema.push_back("one_in_" + std::to_string(share));

  LevelRandom random(1);
  HNSW index(params, Metric::Euclidean, schema);
  const auto start = std::chrono::steady_clock::now();
  const double cpu_start = cpu_seconds();
  if (index.create({rows.data(), n}, records, random)) return 1;
  std::printf("build n=%zu dim=%zu m=%zu ef_construction=%zu: %.2f s wall, %.2f s cpu\n", n, dim, params.m,
              params.ef_construction, seconds_since(start), cpu_seconds() - cpu_start);

  const Measured plain = measure(index, rows, queries, dim, nullptr, {});
  std::printf("unfiltered ef_search=%zu: recall@10 %.4f, %.0f queries per cpu-s\n", params.ef_search, plain.recall,
              plain.queries_per_second);
  for (std::size_t s = 0; s < std::size(shares); ++s) {
    const Filter filter{schema[s], Metadata(Metadata::Integer{static_cast<Metadata::Integer>(shares[s])})};
    std::vector<std::size_t> holders;
    for (std::size_t id = 0; id < n; id += shares[s]) holders.push_back(id);
    const Measured filtered = measure(index, rows, queries, dim, &filter, holders);
    std::printf("filter 1 in %zu (%zu holders): recall@10 %.4f, %.0f queries per cpu-s\n", shares[s], holders.size(),
                filtered.recall, filtered.queries_per_second);
  }
  return 0;
}
