// `filter_paths [--data FILE.npy] [--n N] [--queries Q] [--ef EF] [--metric M]`:
// every path of a filtered search forced in turn, beside the unfiltered search
// of the same index, at shares of matching nodes from 50% to 1%, for an
// attribute drawn apart from the vectors and one that follows them. Without
// --data the rows are uniform in 128 dimensions. Rates are queries per CPU
// second; compare the ratios of one run.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "core/hnsw.hpp"
#include "testing/sample_data.hpp"

namespace {

using namespace tamsel;
using namespace tamsel::testing;

double cpu_seconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

std::vector<double> read_npy(const std::string& path, std::size_t& rows, std::size_t& columns) {
  FILE* f = std::fopen(path.c_str(), "rb");
  char magic[10];
  if (f == nullptr || std::fread(magic, 1, 10, f) != 10 || std::memcmp(magic, "\x93NUMPY", 6) != 0) std::exit(2);
  const std::size_t header_size = std::size_t(std::uint8_t(magic[8])) | std::size_t(std::uint8_t(magic[9])) << 8;
  std::string header(header_size, ' ');
  if (std::fread(header.data(), 1, header_size, f) != header_size ||
      std::sscanf(header.c_str() + header.find("'shape': (") + 10, "%zu, %zu", &rows, &columns) != 2)
    std::exit(2);
  std::vector<float> values(rows * columns);
  if (std::fread(values.data(), sizeof(float), values.size(), f) != values.size()) std::exit(2);
  std::fclose(f);
  return {values.begin(), values.end()};
}

struct Measured {
  double recall;
  double rate;
};

}  // namespace

int main(int argc, char** argv) {
  std::string data, only;
  std::size_t n = 100000, queries = 300, ef = 40;
  Metric metric = Metric::Euclidean;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i], value = argv[i + 1];
    if (flag == "--data") data = value;
    if (flag == "--n") n = std::stoull(value);
    if (flag == "--queries") queries = std::stoull(value);
    if (flag == "--ef") ef = std::stoull(value);
    if (flag == "--path") only = value;
    if (flag == "--metric")
      metric = value == "angular"         ? Metric::Cosine
               : value == "inner_product" ? Metric::InnerProduct
                                          : Metric::Euclidean;
  }
  std::size_t dim = 128;
  std::vector<double> all;
  if (data.empty()) {
    all = uniform_rows(n + queries, dim, 1);
  } else {
    std::size_t rows;
    all = read_npy(data, rows, dim);
    n = std::min(n, rows - queries);
    std::copy(all.end() - static_cast<std::ptrdiff_t>(queries * dim), all.end(),
              all.begin() + static_cast<std::ptrdiff_t>(n * dim));
    all.resize((n + queries) * dim);
  }
  const std::vector<double> rows(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(n * dim));
  const std::vector<double> query_rows(all.begin() + static_cast<std::ptrdiff_t>(n * dim), all.end());

  const std::size_t percents[] = {100, 50, 20, 10, 5, 2, 1};
  // Following: the nodes farthest along the first row's direction.
  std::vector<double> along(n);
  for (std::size_t id = 0; id < n; ++id)
    for (std::size_t c = 0; c < dim; ++c) along[id] += rows[id * dim + c] * rows[c];
  std::vector<std::size_t> rank(n);
  std::iota(rank.begin(), rank.end(), 0);
  std::sort(rank.begin(), rank.end(), [&](std::size_t a, std::size_t b) { return along[a] > along[b]; });
  std::vector<std::size_t> place(n);
  for (std::size_t r = 0; r < n; ++r) place[rank[r]] = r;
  Schema schema;
  for (std::size_t p : percents) schema.push_back("drawn_" + std::to_string(p));
  for (std::size_t p : percents) schema.push_back("following_" + std::to_string(p));
  std::vector<MetadataRecord> records(n);
  for (std::size_t id = 0; id < n; ++id) {
    const std::uint64_t mixed = (id * 0x9E3779B97F4A7C15ull) >> 40;
    for (std::size_t p : percents) records[id].emplace_back(Metadata::Integer{mixed % 100 < p ? 1 : 0});
    for (std::size_t p : percents) records[id].emplace_back(Metadata::Integer{place[id] * 100 < p * n ? 1 : 0});
  }

  HNSWParams params;
  params.dim = dim;
  params.ef_search = ef;
  LevelRandom random(1);
  HNSW index(params, metric, schema);
  const double build_start = cpu_seconds();
  if (index.create({rows.data(), n}, records, random)) return 1;
  std::printf("n %zu dim %zu ef %zu: build %.1f cpu-s\n", n, dim, ef, cpu_seconds() - build_start);

  const auto exact = [&](const std::vector<std::size_t>& holders) {
    std::vector<std::vector<std::size_t>> answers;
    for (std::size_t q = 0; q < queries; ++q)
      answers.push_back(exact_nearest(metric, rows, dim, query_rows.data() + q * dim, 10, holders));
    return answers;
  };
  const auto run = [&](const Filter* filter, const std::vector<std::vector<std::size_t>>& truth,
                       std::optional<FilterPath> path = std::nullopt) {
    std::vector<std::vector<ScoredId>> answers;
    const double start = cpu_seconds();
    for (std::size_t q = 0; q < queries; ++q) {
      const SearchParams asked{.k = 10, .filter = filter, .path = path};
      answers.push_back(index.search({query_rows.data() + q * dim, dim}, asked).value());
    }
    const double elapsed = cpu_seconds() - start;
    double total = 0;
    for (std::size_t q = 0; q < queries; ++q) total += recall(answers[q], truth[q]);
    return Measured{total / static_cast<double>(queries), static_cast<double>(queries) / elapsed};
  };
  const auto unfiltered_truth = exact({});
  const Measured plain = run(nullptr, unfiltered_truth);
  std::printf("unfiltered: recall %.3f, %.0f q/s\n", plain.recall, plain.rate);
  const char* const path_names[] = {"whole", "exact", "codes", "holders"};
  const std::pair<std::optional<FilterPath>, const char*> paths[] = {{std::nullopt, "planner"},
                                                                     {FilterPath::Holders, "holders"},
                                                                     {FilterPath::Codes, "codes"},
                                                                     {FilterPath::Exact, "exact"}};
  std::printf("%-14s", "attribute");
  for (const auto& [path, name] : paths)
    if (only.empty() || only == name) std::printf(" | %-16s", name);
  std::printf("\n");
  for (std::size_t a = 0; a < schema.size(); ++a) {
    const Filter filter{schema[a], Metadata(Metadata::Integer{1})};
    std::vector<std::size_t> holders;
    for (std::size_t id = 0; id < n; ++id)
      if (std::get<Metadata::Integer>(records[id][a].value()) == 1) holders.push_back(id);
    const auto truth = exact(holders);
    std::printf("%-14s", schema[a].c_str());
    for (const auto& [path, name] : paths) {
      if (!only.empty() && only != name) continue;
      const Measured again = run(nullptr, unfiltered_truth);
      const Measured m = run(&filter, truth, path);
      std::printf(" | %.3f / %5.2fx", m.recall, m.rate / again.rate);
      std::fflush(stdout);
    }
    const FilterPath chosen =
        plan_search(
            {.nodes = n, .ef_construction = params.ef_construction, .k = 10, .ef = ef, .holders = holders.size()})
            .path;
    std::printf(" | for a target inside the data the planner takes %s\n", path_names[static_cast<int>(chosen)]);
  }
  return 0;
}
