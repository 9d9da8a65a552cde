#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "core/hnsw.hpp"
#include "testing/sample_data.hpp"

namespace tamsel::testing {
namespace {

HNSWParams params(std::size_t dim, std::size_t layers = 5, std::size_t m = 16, std::size_t ef_construction = 200,
                  std::size_t ef_search = 50) {
  HNSWParams p;
  p.dim = dim;
  p.layers = layers;
  p.m = m;
  p.ef_construction = ef_construction;
  p.ef_search = ef_search;
  return p;
}

void fill(HNSW& index, const std::vector<double>& rows, LevelRandom& random,
          std::span<const MetadataRecord> records = {}) {
  const VectorRows batch{rows.data(), rows.size() / index.dim()};
  const auto error = index.create(batch, records, random);
  check(!error, std::string("create failed: ") + (error ? error_name(*error) : ""));
}

std::string error_text(const Result<std::vector<ScoredId>, HNSWError>& result) {
  return result.ok() ? "ok" : error_name(result.error());
}

void check_error(const Result<std::vector<ScoredId>, HNSWError>& result, HNSWError expected,
                 std::source_location where = std::source_location::current()) {
  check(!result.ok() && result.error() == expected,
        std::string("expected ") + error_name(expected) + ", got " + error_text(result), where);
}

std::vector<ScoredId> found_or_fail(Result<std::vector<ScoredId>, HNSWError> result,
                                    std::source_location where = std::source_location::current()) {
  check(result.ok(), "search failed: " + error_text(result), where);
  return result.ok() ? std::move(result).value() : std::vector<ScoredId>{};
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Ascending distance order with NaN last, each node once, at most `bound`
// results, each distance the exact one for its stored vector.
void check_contract(const HNSW& index, Metric metric, std::span<const double> query, const std::vector<ScoredId>& found,
                    std::size_t bound, std::source_location where = std::source_location::current()) {
  check(found.size() <= bound, "more results than min(k, ef_search)", where);
  std::set<std::size_t> ids;
  for (std::size_t j = 0; j < found.size(); ++j) {
    check(found[j].id < index.size(), "result id out of range", where);
    if (found[j].id >= index.size()) return;
    check(ids.insert(found[j].id).second, "a node returned twice", where);
    const auto stored = index.vector(found[j].id);
    const double exact = distance(metric, query.data(), query.size(), stored.data(), stored.size());
    check(same_bits(found[j].score, exact), "distance differs from the exact one", where);
    if (j == 0) continue;
    const double previous = found[j - 1].score, current = found[j].score;
    const bool ordered = std::isnan(current) || (!std::isnan(previous) && previous <= current);
    check(ordered, "results out of distance order", where);
  }
}

// The level draw of an independent reading of the rule: the walk over every weight.
std::size_t walked_level(std::size_t layers, double u) {
  double total = 0.0;
  for (std::size_t i = 0; i < layers; ++i) total += std::exp(-static_cast<double>(i));
  const double target = total * u;
  double running = 0.0;
  for (std::size_t i = 0; i < layers; ++i) {
    running += std::exp(-static_cast<double>(i));
    if (running > target) return i;
  }
  return layers - 1;
}

const Register level_draw("levels follow the weights e^-i, one draw per node but the first", [] {
  for (std::size_t layers : {1, 2, 3, 5, 40, 800, 4096}) {
    LevelRandom random(1000 + layers), mirror(1000 + layers);
    HNSW index(params(2, layers, 4, 16), Metric::Euclidean, std::nullopt);
    const auto rows = uniform_rows(40, 2, layers);
    fill(index, rows, random);
    check(index.level(0) == layers - 1, "node 0 is not on the top layer");
    for (std::size_t id = 1; id < index.size(); ++id) {
      const std::size_t expected = walked_level(layers, mirror.uniform());
      check(index.level(id) == expected, "layers " + std::to_string(layers) + ": node " + std::to_string(id) +
                                             " has level " + std::to_string(index.level(id)) + ", the walk gives " +
                                             std::to_string(expected));
    }
    check(random.uniform() == mirror.uniform(), "the inserts drew another count of numbers");
  }
});

const Register error_names("error names are exact", [] {
  const char* names[] = {"InvalidEF", "InvalidLayer", "NoSchema", "EmptySchema", "AttributeNotFound", "EmptyVectors"};
  for (int code = 0; code < 6; ++code)
    check(std::string(error_name(static_cast<HNSWError>(code))) == names[code], names[code]);
});

const Register empty_index("an empty index returns nothing, whatever k, filter or parameters", [] {
  const Filter bad{"missing", Metadata(Metadata::Integer{1})};
  for (std::size_t layers : {0, 1, 5}) {
    for (std::size_t ef_search : {0, 50}) {
      for (const auto& schema :
           {std::optional<Schema>{}, std::optional<Schema>{Schema{}}, std::optional<Schema>{Schema{"a"}}}) {
        const HNSW index(params(3, layers, 16, 200, ef_search), Metric::Euclidean, schema);
        const double query[] = {1, 2, 3};
        for (const Filter* filter : {static_cast<const Filter*>(nullptr), &bad}) {
          const auto found = found_or_fail(index.search(query, {.k = 10, .filter = filter}));
          check(found.empty(), "an empty index found something");
        }
      }
    }
  }
});

const Register single_node("an index of one node finds it for every k >= 1 and ef_search >= 1", [] {
  for (std::size_t layers : {1, 5}) {
    for (std::size_t ef_search : {1, 50}) {
      LevelRandom random(7);
      HNSW index(params(3, layers, 16, 200, ef_search), Metric::Euclidean, std::nullopt);
      const double stored[] = {1, 2, 3}, query[] = {1, 2, 5};
      check(!index.insert(stored, nullptr, random), "insert failed");
      for (std::size_t k : {1, 7}) {
        const auto found = found_or_fail(index.search(query, {.k = k}));
        check(found.size() == 1 && found[0].id == 0 && found[0].score == 2.0, "node 0 not found");
      }
      check(found_or_fail(index.search(query, {.k = 0})).empty(), "k = 0 found something");
    }
  }
});

const Register search_errors("search errors come in the order of the layer-search checks", [] {
  const Filter on_a{"a", Metadata(Metadata::Text{"x"})};
  const Filter on_case{"A", Metadata(Metadata::Text{"x"})};
  for (std::size_t nodes : {1, 60}) {
    const auto rows = uniform_rows(nodes, 3, nodes);
    const double* query = rows.data();
    const std::span<const double> q(query, 3);
    auto make = [&](std::size_t layers, std::size_t ef_search, std::optional<Schema> schema) {
      LevelRandom random(nodes);
      HNSW index(params(3, layers, 8, 32, ef_search), Metric::Euclidean, std::move(schema));
      fill(index, rows, random);
      return index;
    };
    check_error(make(0, 0, std::nullopt).search(q, {.k = 1, .filter = &on_a}), HNSWError::InvalidLayer);
    // One layer: layer 0's search checks its breadth before the filter.
    check_error(make(1, 0, std::nullopt).search(q, {.k = 1, .filter = &on_a}), HNSWError::InvalidEF);
    check_error(make(1, 50, std::nullopt).search(q, {.k = 1, .filter = &on_a}), HNSWError::NoSchema);
    check_error(make(1, 50, Schema{}).search(q, {.k = 1, .filter = &on_a}), HNSWError::EmptySchema);
    check_error(make(1, 50, Schema{"a"}).search(q, {.k = 1, .filter = &on_case}), HNSWError::AttributeNotFound);
    // More layers: the top layer's one-result search reports the filter first.
    for (std::size_t layers : {2, 5}) {
      check_error(make(layers, 0, std::nullopt).search(q, {.k = 1, .filter = &on_a}), HNSWError::NoSchema);
      check_error(make(layers, 0, Schema{}).search(q, {.k = 1, .filter = &on_a}), HNSWError::EmptySchema);
      check_error(make(layers, 0, Schema{"b"}).search(q, {.k = 1, .filter = &on_a}), HNSWError::AttributeNotFound);
      check_error(make(layers, 0, Schema{"a"}).search(q, {.k = 1, .filter = &on_a}), HNSWError::InvalidEF);
      check_error(make(layers, 0, Schema{"a"}).search(q, {.k = 1}), HNSWError::InvalidEF);
    }
    check(make(3, 50, Schema{"b", "a", "a"}).search(q, {.k = 1, .filter = &on_a}).ok(), "duplicate names refused");
  }
});

const Register no_construction_breadth("ef_construction 0 stores each node, then reports InvalidEF", [] {
  const auto rows = uniform_rows(3, 2, 1);
  LevelRandom random(3);
  HNSW index(params(2, 5, 16, 0), Metric::Euclidean, Schema{"tag"});
  const MetadataRecord record{Metadata(Metadata::Integer{9})};
  check(!index.insert({rows.data(), 2}, &record, random), "the first insert failed");
  for (std::size_t id = 1; id < 3; ++id) {
    const auto error = index.insert({rows.data() + 2 * id, 2}, &record, random);
    check(error == HNSWError::InvalidEF, "expected InvalidEF");
    check(index.size() == id + 1, "the failed node was not kept");
  }
  // The failed nodes keep their records.
  const Filter tagged{"tag", Metadata(Metadata::Integer{9})};
  const auto found = found_or_fail(index.search({rows.data() + 4, 2}, {.k = 5, .filter = &tagged}));
  check(found.size() == 3 && found[0].id == 2 && found[0].score == 0.0, "failed nodes not found");

  HNSW batch(params(2, 1, 16, 0), Metric::Euclidean, std::nullopt);
  const auto error = batch.create({rows.data(), 3}, {}, random);
  check(error == HNSWError::InvalidEF && batch.size() == 2, "create did not stop after the second node");

  HNSW flat(params(2, 0, 16, 0), Metric::Euclidean, std::nullopt);
  check(!flat.create({rows.data(), 3}, {}, random), "no layers: create should succeed");
});

const Register no_layers("layers 0 stores vectors without links; searches report InvalidLayer", [] {
  const auto rows = uniform_rows(20, 4, 2);
  LevelRandom random(5);
  HNSW index(params(4, 0), Metric::Euclidean, std::nullopt);
  fill(index, rows, random);
  check(!index.insert({rows.data(), 4}, nullptr, random), "insert failed");
  check(index.size() == 21, "nodes missing");
  for (std::size_t id = 0; id < index.size(); ++id) check(index.neighbors(id, 0).empty(), "a node was linked");
  check_error(index.search({rows.data(), 4}, {.k = 3}), HNSWError::InvalidLayer);
});

const Register zero_dim("dim 0 stores empty vectors and searches return nothing", [] {
  for (std::size_t ef_construction : {0, 200}) {
    LevelRandom random(9);
    HNSW index(params(0, 5, 16, ef_construction), Metric::Cosine, Schema{"a"});
    for (int i = 0; i < 3; ++i) check(!index.insert({}, nullptr, random), "insert of an empty vector failed");
    check(!index.create({nullptr, 2}, {}, random), "create of empty vectors failed");
    check(index.size() == 5 && index.vector(4).empty(), "nodes not counted");
    const Filter missing{"b", Metadata(Metadata::Integer{1})};
    check(found_or_fail(index.search({}, {.k = 3, .filter = &missing})).empty(), "found something");
  }
});

const Register create_checks("create refuses a batch before storing any of it", [] {
  const auto rows = uniform_rows(3, 2, 4);
  LevelRandom random(11);
  const std::vector<MetadataRecord> two(2, MetadataRecord{Metadata(Metadata::Integer{1})});
  HNSW with_schema(params(2), Metric::Euclidean, Schema{"a"});
  check(with_schema.create({rows.data(), 0}, {}, random) == HNSWError::EmptyVectors, "EmptyVectors");
  check(with_schema.create({rows.data(), 3}, two, random) == HNSWError::AttributeNotFound, "AttributeNotFound");
  check(with_schema.size() == 0, "a refused batch stored something");
  // No records at all: the nodes are stored without any and match no filter.
  check(!with_schema.create({rows.data(), 3}, {}, random), "records left out should be accepted");
  const Filter on_a{"a", Metadata(Metadata::Integer{1})};
  check(found_or_fail(with_schema.search({rows.data(), 2}, {.k = 3, .filter = &on_a})).empty(),
        "a node without record matched");

  HNSW without_schema(params(2), Metric::Euclidean, std::nullopt);
  check(!without_schema.create({rows.data(), 3}, two, random), "records must be ignored without schema");
  check(without_schema.size() == 3, "nodes missing");
  // Later rows are numbered after the stored nodes.
  check(!without_schema.create({rows.data() + 2, 2}, {}, random), "second create failed");
  check(without_schema.size() == 5 && without_schema.vector(3)[0] == rows[2] && without_schema.vector(4)[1] == rows[5],
        "rows not stored after the existing nodes");
});

const Register contract("results: ascending exact distances, NaN last, each node once, at most min(k, ef)", [] {
  const std::size_t dim = 8;
  auto rows = uniform_rows(600, dim, 5);
  for (std::size_t id = 3; id < 600; id += 10)
    std::fill(rows.begin() + static_cast<std::ptrdiff_t>(id * dim),
              rows.begin() + static_cast<std::ptrdiff_t>((id + 1) * dim), 0.0);  // NaN under angular
  const auto queries = uniform_rows(20, dim, 6);
  for (Metric metric : {Metric::Euclidean, Metric::Cosine, Metric::InnerProduct}) {
    LevelRandom random(13);
    HNSW index(params(dim, 5, 8, 64, 20), metric, std::nullopt);
    fill(index, rows, random);
    for (std::size_t k : {1, 10, 100}) {
      for (std::size_t qi = 0; qi < 20; ++qi) {
        const std::span<const double> query(queries.data() + qi * dim, dim);
        const auto found = found_or_fail(index.search(query, {.k = k}));
        check_contract(index, metric, query, found, std::min<std::size_t>(k, 20));
        check(found.size() == std::min<std::size_t>(k, 20), "fewer results than min(k, ef_search)");
        const auto again = found_or_fail(index.search(query, {.k = k}));
        check(again.size() == found.size() &&
                  std::equal(found.begin(), found.end(), again.begin(),
                             [](const ScoredId& a, const ScoredId& b) { return a.id == b.id; }),
              "the same search gave another answer");
        // A shorter query runs over the common length.
        const std::span<const double> shorter(query.data(), 5);
        check_contract(index, metric, shorter, found_or_fail(index.search(shorter, {.k = k})), k);
      }
    }
    if (metric == Metric::Cosine) {
      const std::vector<double> zero(dim, 0.0);
      const auto found = found_or_fail(index.search(zero, {.k = 10}));
      check(!found.empty(), "the zero query found nothing");
      for (const ScoredId& f : found) check(std::isnan(f.score), "zero query gave a number");
      check_contract(index, metric, zero, found, 10);
    }
  }
});

const Register bounded_lists("neighbour lists: at most m (2m on layer 0), no self links, no repeats", [] {
  for (std::size_t m : {1, 4, 16}) {
    const std::size_t effective = std::max<std::size_t>(m, 2);
    LevelRandom random(17 + m);
    HNSW index(params(6, 5, m, 40), Metric::Euclidean, std::nullopt);
    fill(index, uniform_rows(1500, 6, m), random);
    check(index.max_neighbors(0) == 2 * effective && index.max_neighbors(1) == effective, "bounds");
    for (std::size_t id = 0; id < index.size(); ++id) {
      check(!index.neighbors(id, 0).empty() || index.size() == 1, "a node without layer-0 neighbours");
      for (std::size_t layer = 0; layer < 5; ++layer) {
        const auto list = index.neighbors(id, layer);
        if (layer > index.level(id)) {
          check(list.empty(), "a list above the node's level");
          continue;
        }
        check(list.size() <= index.max_neighbors(layer), "a list over its bound");
        const std::set<std::uint32_t> distinct(list.begin(), list.end());
        check(distinct.size() == list.size(), "a repeated neighbour");
        for (std::uint32_t other : list) {
          check(other != id, "a self link");
          check(other < index.size() && index.level(other) >= layer, "a neighbour off the layer");
        }
      }
    }
  }
  HNSW huge_m(params(3, 3, std::numeric_limits<std::size_t>::max()), Metric::Euclidean, std::nullopt);
  check(huge_m.max_neighbors(0) == 2 * HNSW::kMaxM, "m is not capped");
  LevelRandom random(19);
  fill(huge_m, uniform_rows(50, 3, 19), random);
  check(found_or_fail(huge_m.search(huge_m.vector(7), {.k = 1})).at(0).id == 7, "capped index broken");
});

const Register linked_to("every node but node 0 is in some layer-0 list, on data that crowds lists", [] {
  // Outliers among spread norms, tight clusters, and low m: lists overflow
  // often, and a node dropped from its last list could never be found.
  std::mt19937_64 engine(29);
  std::normal_distribution<double> normal;
  std::vector<double> spread_norms(3000 * 8), clusters(3000 * 8);
  for (std::size_t i = 0; i < 3000; ++i) {
    const double norm = std::exp(std::uniform_real_distribution<double>(0.0, std::log(100.0))(engine));
    const double centre = static_cast<double>(i % 7) * 50.0;
    for (std::size_t j = 0; j < 8; ++j) {
      spread_norms[i * 8 + j] = norm * normal(engine);
      clusters[i * 8 + j] = centre + 0.01 * normal(engine);
    }
  }
  for (const auto* rows : {&spread_norms, &clusters}) {
    for (std::size_t m : {2, 4, 16}) {
      for (std::uint64_t seed : {31, 37, 41}) {
        LevelRandom random(seed);
        HNSW index(params(8, 5, m, 16 * m), Metric::Euclidean, std::nullopt);
        fill(index, *rows, random);
        std::vector<std::size_t> inbound(index.size());
        for (std::size_t id = 0; id < index.size(); ++id)
          for (const std::uint32_t other : index.neighbors(id, 0)) ++inbound[other];
        for (std::size_t id = 1; id < index.size(); ++id)
          check(inbound[id] > 0, "node " + std::to_string(id) + " is in no layer-0 list (m " + std::to_string(m) + ")");
      }
    }
  }
});

// Nodes reached from node 0 over layer-0 lists, forwards or (`backwards`) against them.
std::vector<bool> reached_on_layer0(const HNSW& index, bool backwards) {
  std::vector<std::vector<std::uint32_t>> lists(index.size());
  for (std::size_t id = 0; id < index.size(); ++id)
    for (const std::uint32_t other : index.neighbors(id, 0))
      lists[backwards ? other : id].push_back(backwards ? static_cast<std::uint32_t>(id) : other);
  std::vector<bool> reached(index.size(), false);
  std::vector<std::uint32_t> stack{0};
  reached[0] = true;
  while (!stack.empty()) {
    const std::uint32_t id = stack.back();
    stack.pop_back();
    for (const std::uint32_t other : lists[id]) {
      if (reached[other]) continue;
      reached[other] = true;
      stack.push_back(other);
    }
  }
  return reached;
}

const Register strongly_connected(
    "layer 0 leads from every linked node to every other, whatever the data's order and scale", [] {
      // Groups that the walk copy sees as one point, or that lie far from the
      // rest, added before or after it: full lists once chose every link out of
      // such a group (or into it) away.
      std::mt19937_64 engine(43);
      std::normal_distribution<double> normal;
      const auto gaussian = [&](std::size_t count, std::size_t dim, double scale, double offset) {
        std::vector<double> rows(count * dim);
        for (double& x : rows) x = offset + scale * normal(engine);
        return rows;
      };
      const auto line = [](std::size_t count, std::size_t dim) {
        std::vector<double> rows;
        for (std::size_t i = 0; i < count; ++i) rows.insert(rows.end(), dim, 9.0 + static_cast<double>(i));
        return rows;
      };
      struct Case {
        const char* name;
        Metric metric;
        std::size_t dim;
        std::vector<std::vector<double>> batches;
      };
      const std::vector<Case> cases = {
          {"tight 1e-10 after spread",
           Metric::Euclidean,
           4,
           {gaussian(500, 4, 1.0, 0.0), gaussian(200, 4, 1e-10, 0.0)}},
          {"tight 5e-320 after spread",
           Metric::Euclidean,
           2,
           {gaussian(500, 2, 1.0, 0.0), gaussian(200, 2, 5e-320, 0.0)}},
          {"line, then a cloud", Metric::Euclidean, 8, {line(20, 8), uniform_rows(1000, 8, 47)}},
          {"a cloud, then a line", Metric::Euclidean, 8, {uniform_rows(1000, 8, 53), line(20, 8)}},
          {"scales and offsets",
           Metric::InnerProduct,
           6,
           {gaussian(400, 6, 1.0, 0.0), gaussian(100, 6, 1e-10, 0.0), gaussian(100, 6, 1e10, 0.0),
            gaussian(100, 6, 1.0, 1e5), gaussian(100, 6, 1.0, -1e5)}},
          {"tight directions", Metric::Cosine, 4, {gaussian(500, 4, 1.0, 0.0), gaussian(200, 4, 1e-9, 1.0)}},
      };
      for (const Case& c : cases) {
        for (std::size_t m : {2, 4, 16}) {
          for (std::uint64_t seed : {61, 67}) {
            LevelRandom random(seed);
            HNSW index(params(c.dim, 5, m, 4 * m), c.metric, std::nullopt);
            for (const auto& batch : c.batches) fill(index, batch, random);
            const std::vector<bool> from_entry = reached_on_layer0(index, false),
                                    to_entry = reached_on_layer0(index, true);
            for (std::size_t id = 1; id < index.size(); ++id) {
              if (index.neighbors(id, 0).empty()) continue;  // an exact copy, linked through its original
              check(from_entry[id] && to_entry[id], std::string(c.name) + ", m " + std::to_string(m) + ": node " +
                                                        std::to_string(id) + " is cut off from node 0");
            }
          }
        }
      }
    });

const Register filled_lists("a list is filled up with the nearest pruned candidates", [] {
  // Points on a line, inserted in order: every farther candidate is nearer to
  // the nearest one than to the new point, so the diversity test alone would
  // keep a single neighbour.
  LevelRandom random(59);
  HNSW index(params(1, 1, 4, 50), Metric::Euclidean, std::nullopt);
  std::vector<double> rows(200);
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<double>(i);
  fill(index, rows, random);
  for (std::size_t id = 1; id < index.size(); ++id)
    check(index.neighbors(id, 0).size() >= std::min<std::size_t>(4, id),
          "node " + std::to_string(id) + " has " + std::to_string(index.neighbors(id, 0).size()) + " neighbours");
});

const Register second_node("the second node links with node 0 on the layers 0 to its level", [] {
  for (std::uint64_t seed = 0; seed < 40; ++seed) {
    LevelRandom random(seed);
    HNSW index(params(2), Metric::Euclidean, std::nullopt);
    fill(index, uniform_rows(2, 2, seed), random);
    const std::size_t level = index.level(1);
    for (std::size_t layer = 0; layer < 5; ++layer) {
      const auto from_0 = index.neighbors(0, layer);
      if (layer <= level) {
        const auto from_1 = index.neighbors(1, layer);
        check(from_1.size() == 1 && from_1[0] == 0 && from_0.size() == 1 && from_0[0] == 1,
              "missing link on layer " + std::to_string(layer));
      } else {
        check(from_0.empty(), "node 0 linked above the second node's level");
      }
    }
  }
});

const Register tall_index("node 0 of a 4096-layer index has lists only where other nodes are", [] {
  LevelRandom random(23);
  HNSW index(params(4, HNSW::kMaxLayers, 8, 32), Metric::Euclidean, std::nullopt);
  const auto rows = uniform_rows(300, 4, 23);
  fill(index, rows, random);
  std::size_t highest = 0;
  for (std::size_t id = 1; id < index.size(); ++id) highest = std::max(highest, index.level(id));
  check(index.level(0) == HNSW::kMaxLayers - 1, "node 0 not on the top layer");
  check(highest < 40, "implausible level " + std::to_string(highest));
  check(!index.neighbors(0, highest).empty(), "node 0 unlinked on the highest shared layer");
  check(index.neighbors(0, highest + 1).empty() && index.neighbors(0, HNSW::kMaxLayers - 1).empty(),
        "node 0 linked where it is alone");
  const auto found = found_or_fail(index.search({rows.data() + 4 * 123, 4}, {.k = 1}));
  check(found.size() == 1 && found[0].id == 123, "a stored vector was not found");
});

const Register default_recall("recall@10 >= 0.95 with the default parameters on random data", [] {
  const std::size_t n = 4000, dim = 32, queries = 100;
  const auto rows = uniform_rows(n, dim, 29);
  const auto query_rows = uniform_rows(queries, dim, 31);
  LevelRandom random(29);
  HNSW index(params(dim), Metric::Euclidean, std::nullopt);
  fill(index, rows, random);
  double total = 0.0;
  for (std::size_t qi = 0; qi < queries; ++qi) {
    const double* query = query_rows.data() + qi * dim;
    const auto found = found_or_fail(index.search({query, dim}, {.k = 10}));
    total += recall(found, exact_nearest(Metric::Euclidean, rows, dim, query, 10));
  }
  check(total / queries >= 0.95, "recall@10 " + std::to_string(total / queries));
});

const Register filter_equality("filters match by variant and IEEE equality, never a node without record", [] {
  // In the large index Integer 1 and Float 1.0 have many holders (the search
  // walks the graph), the other values few (their holders are scored directly).
  for (std::size_t n : {30, 6000}) {
    const std::size_t dim = 4;
    const auto rows = uniform_rows(n, dim, n);
    std::vector<std::optional<Metadata>> values;
    for (std::size_t id = 0; id < n; ++id) {
      const std::size_t kind = id % 10;
      if (kind == 0) {
        values.emplace_back(std::nullopt);
      } else if (kind < 5) {
        values.emplace_back(Metadata(Metadata::Integer{1}));
      } else if (kind < 9) {
        values.emplace_back(Metadata(Metadata::Float{1.0}));
      } else {
        const Metadata rare[] = {Metadata(Metadata::Float{-0.0}), Metadata(Metadata::Float{std::nan("")}),
                                 Metadata(Metadata::Text{"a"}), Metadata(Metadata::Text{"a "})};
        values.emplace_back(rare[id / 10 % 4]);
      }
    }
    LevelRandom random(37);
    HNSW index(params(dim, 5, 8, 48, 10), Metric::Euclidean, Schema{"kind"});
    for (std::size_t id = 0; id < n; ++id) {
      const MetadataRecord record = values[id] ? MetadataRecord{*values[id]} : MetadataRecord{};
      check(!index.insert({rows.data() + id * dim, dim}, values[id] ? &record : nullptr, random), "insert");
    }
    const Metadata probes[] = {Metadata(Metadata::Integer{1}), Metadata(Metadata::Float{1.0}),
                               Metadata(Metadata::Float{0.0}), Metadata(Metadata::Float{std::nan("")}),
                               Metadata(Metadata::Text{"a"}),  Metadata(Metadata::Text{"A"})};
    for (const Metadata& probe : probes) {
      const Filter filter{"kind", probe};
      std::size_t holders = 0;
      for (const auto& value : values) holders += value && *value == probe;
      for (std::size_t qi = 0; qi < 5; ++qi) {
        const std::span<const double> query(rows.data() + (qi * 7 % n) * dim, dim);
        const auto found = found_or_fail(index.search(query, {.k = 10, .filter = &filter}));
        check_contract(index, Metric::Euclidean, query, found, 10);
        check(found.size() == std::min<std::size_t>(holders, 10), "n " + std::to_string(n) + ": " +
                                                                      std::to_string(found.size()) + " results for " +
                                                                      std::to_string(holders) + " holders");
        for (const ScoredId& f : found)
          check(values[f.id] && *values[f.id] == probe, "a node that does not match was returned");
      }
    }
  }
});

const Register filtered_recall("filtered recall@10 >= 0.9 at 3%, 50% and 97% selectivity", [] {
  const std::size_t n = 15000, dim = 16, queries = 50;
  const auto rows = uniform_rows(n, dim, 41);
  const auto query_rows = uniform_rows(queries, dim, 43);
  std::vector<MetadataRecord> records;
  for (std::size_t id = 0; id < n; ++id) {
    records.push_back({Metadata(Metadata::Text{id % 33 == 1 ? "rare" : "common"}),
                       Metadata(Metadata::Integer{static_cast<Metadata::Integer>(id % 2)})});
  }
  LevelRandom random(41);
  HNSW index(params(dim), Metric::Euclidean, Schema{"kind", "parity"});
  fill(index, rows, random, records);
  struct Case {
    Filter filter;
    std::size_t position;
  };
  const Case cases[] = {{{"kind", Metadata(Metadata::Text{"rare"})}, 0},
                        {{"kind", Metadata(Metadata::Text{"common"})}, 0},
                        {{"parity", Metadata(Metadata::Integer{1})}, 1}};
  for (const Case& c : cases) {
    std::vector<std::size_t> holders;
    for (std::size_t id = 0; id < n; ++id)
      if (records[id][c.position] == c.filter.value) holders.push_back(id);
    double total = 0.0;
    for (std::size_t qi = 0; qi < queries; ++qi) {
      const double* query = query_rows.data() + qi * dim;
      const auto found = found_or_fail(index.search({query, dim}, {.k = 10, .filter = &c.filter}));
      check(found.size() == 10, "fewer than k results");
      for (const ScoredId& f : found) check(records[f.id][c.position] == c.filter.value, "non-matching result");
      total += recall(found, exact_nearest(Metric::Euclidean, rows, dim, query, 10, holders));
    }
    check(total / queries >= 0.9, "filtered recall@10 " + std::to_string(total / queries) + " with " +
                                      std::to_string(holders.size()) + " holders");
  }
});

const Register filter_paths("every filtered path keeps recall@10 >= 0.95 and only matching nodes, each metric", [] {
  // Clusters of uneven spread, as embeddings come; one attribute drawn apart
  // from the vectors and one that follows their cluster.
  const std::size_t n = 6000, dim = 24, clusters = 24, queries = 30;
  std::mt19937_64 engine(53);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<double> centres(clusters * dim);
  for (double& c : centres) c = normal(engine);
  std::vector<std::size_t> cluster(n + queries);
  std::vector<double> rows((n + queries) * dim);
  for (std::size_t i = 0; i < n + queries; ++i) {
    cluster[i] = engine() % clusters;
    const double spread = 1.0 + 0.02 * static_cast<double>(cluster[i]);
    for (std::size_t j = 0; j < dim; ++j) rows[i * dim + j] = centres[cluster[i] * dim + j] + spread * normal(engine);
  }
  const std::vector<double> query_rows(rows.begin() + static_cast<std::ptrdiff_t>(n * dim), rows.end());
  rows.resize(n * dim);
  std::vector<MetadataRecord> records;
  for (std::size_t id = 0; id < n; ++id) {
    const std::uint64_t draw = engine() % 100;
    records.push_back({Metadata(Metadata::Integer{draw < 4    ? 0
                                                  : draw < 34 ? 1
                                                              : 2}),
                       Metadata(Metadata::Integer{cluster[id] < clusters / 4 ? 1 : 0})});
  }
  struct Case {
    Filter filter;
    std::size_t position;
  };
  const Case cases[] = {{{"drawn", Metadata(Metadata::Integer{0})}, 0},
                        {{"drawn", Metadata(Metadata::Integer{1})}, 0},
                        {{"drawn", Metadata(Metadata::Integer{2})}, 0},
                        {{"follows", Metadata(Metadata::Integer{1})}, 1}};
  const std::optional<FilterPath> paths[] = {std::nullopt, FilterPath::Exact, FilterPath::Codes, FilterPath::Holders};
  for (Metric metric : {Metric::Euclidean, Metric::Cosine, Metric::InnerProduct}) {
    LevelRandom random(53);
    HNSW index(params(dim, 5, 16, 100, 100), metric, Schema{"drawn", "follows"});
    fill(index, rows, random, records);
    for (const Case& c : cases) {
      std::vector<std::size_t> holders;
      for (std::size_t id = 0; id < n; ++id)
        if (records[id][c.position] == c.filter.value) holders.push_back(id);
      for (const auto& path : paths) {
        double total = 0.0;
        for (std::size_t qi = 0; qi < queries; ++qi) {
          const std::span<const double> query{query_rows.data() + qi * dim, dim};
          const auto found = found_or_fail(index.search(query, {.k = 10, .filter = &c.filter, .path = path}));
          check_contract(index, metric, query, found, 10);
          for (const ScoredId& f : found) check(records[f.id][c.position] == c.filter.value, "non-matching result");
          total += recall(found, exact_nearest(metric, rows, dim, query.data(), 10, holders));
        }
        const int named = path ? static_cast<int>(*path) : -1;
        check(total / queries >= 0.95, "metric " + std::to_string(static_cast<int>(metric)) + ", path " +
                                           std::to_string(named) + ", " + std::to_string(holders.size()) +
                                           " holders: recall@10 " + std::to_string(total / queries));
      }
    }
  }
});

const Register entry_not_returned("node 0 starts the search but is returned only if it matches", [] {
  const std::size_t n = 2000, dim = 3;
  const auto rows = uniform_rows(n, dim, 47);
  std::vector<MetadataRecord> records;
  for (std::size_t id = 0; id < n; ++id) records.push_back({Metadata(Metadata::Text{id == 0 ? "b" : "a"})});
  for (std::size_t layers : {1, 5, 30}) {
    LevelRandom random(47);
    HNSW index(params(dim, layers, 8, 48, 10), Metric::Euclidean, Schema{"tag"});
    fill(index, rows, random, records);
    const Filter on_a{"tag", Metadata(Metadata::Text{"a"})};
    // The query is node 0's own vector: node 0 would be the nearest.
    const auto found = found_or_fail(index.search(index.vector(0), {.k = 10, .filter = &on_a}));
    check(found.size() == 10, "fewer than k results");
    for (const ScoredId& f : found) check(f.id != 0, "node 0 returned though it does not match");
  }
});

const Register failed_allocation("a batch too large to reserve leaves the index as it was", [] {
  const std::size_t dim = std::size_t{1} << 16;
  const auto rows = uniform_rows(6, dim, 53);
  LevelRandom random(53);
  HNSW index(params(dim, 3, 4, 16), Metric::Euclidean, Schema{"a"});
  const std::vector<MetadataRecord> records(6, MetadataRecord{Metadata(Metadata::Integer{2})});
  fill(index, rows, random, records);
  std::vector<std::vector<std::uint32_t>> lists;
  for (std::size_t id = 0; id < index.size(); ++id)
    lists.emplace_back(index.neighbors(id, 0).begin(), index.neighbors(id, 0).end());
  bool refused = false;
  try {
    // About 2^47 doubles: no allocator hands that out.
    index.create({rows.data(), std::size_t{1} << 31}, {}, random);
  } catch (const std::bad_alloc&) {
    refused = true;
  } catch (const std::length_error&) {
    refused = true;
  }
  check(refused, "the batch was not refused");
  check(index.size() == 6, "the node count changed");
  for (std::size_t id = 0; id < index.size(); ++id) {
    const auto list = index.neighbors(id, 0);
    check(std::equal(list.begin(), list.end(), lists[id].begin(), lists[id].end()), "a list changed");
  }
  const Filter on_a{"a", Metadata(Metadata::Integer{2})};
  const auto found = found_or_fail(index.search(index.vector(2), {.k = 10, .filter = &on_a}));
  check(found.size() == 6 && found[0].id == 2, "the index no longer answers as before");
});

// A search changes nothing it shares: searches on one index from several
// threads at once answer exactly as the same searches one after another.
const Register concurrent_searches("searches from several threads at once give the serial answers", [] {
  const std::size_t n = 3000, dim = 16, queries = 200;
  const auto rows = uniform_rows(n, dim, 61);
  const auto query_rows = uniform_rows(queries, dim, 67);
  std::vector<MetadataRecord> records;
  for (std::size_t id = 0; id < n; ++id) records.push_back({Metadata(Metadata::Integer{static_cast<long>(id % 3)})});
  LevelRandom random(61);
  HNSW index(params(dim, 5, 8, 64, 40), Metric::Euclidean, Schema{"third"});
  fill(index, rows, random, records);
  const Filter third{"third", Metadata(Metadata::Integer{1})};
  const auto answer = [&](std::size_t qi) {
    return found_or_fail(
        index.search({query_rows.data() + qi * dim, dim}, {.k = 10, .filter = qi % 2 ? &third : nullptr}));
  };
  std::vector<std::vector<ScoredId>> serial;
  for (std::size_t qi = 0; qi < queries; ++qi) serial.push_back(answer(qi));
  std::vector<std::vector<std::vector<ScoredId>>> parallel(4, std::vector<std::vector<ScoredId>>(queries));
  std::vector<std::thread> threads;
  for (auto& mine : parallel)
    threads.emplace_back([&] {
      for (std::size_t round = 0; round < 5; ++round)
        for (std::size_t qi = 0; qi < queries; ++qi) mine[qi] = answer(qi);
    });
  for (auto& thread : threads) thread.join();
  const auto same = [](const std::vector<ScoredId>& a, const std::vector<ScoredId>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const ScoredId& x, const ScoredId& y) { return x.id == y.id && same_bits(x.score, y.score); });
  };
  for (const auto& mine : parallel)
    for (std::size_t qi = 0; qi < queries; ++qi) check(same(mine[qi], serial[qi]), "query " + std::to_string(qi));
});

}  // namespace
}  // namespace tamsel::testing
