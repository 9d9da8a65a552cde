// The per-node parts and the routes of a search against brute force: the far
// and product lists against everything ever offered to them, the far edge's
// blocks at the largest m, the place of a target against the geometry of its
// data, and every forced route against the exact answer among the holders.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/graph/far_edge.hpp"
#include "core/hnsw.hpp"

namespace tamsel::testing {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr Metric kMetrics[] = {Metric::Euclidean, Metric::Cosine, Metric::InnerProduct};
constexpr FilterPath kPaths[] = {FilterPath::Whole, FilterPath::Exact, FilterPath::Codes, FilterPath::Holders};
constexpr TargetPlace kPlaces[] = {TargetPlace::Inside, TargetPlace::FarEdge, TargetPlace::FarEdgeProducts};

std::string named(Metric metric) {
  return metric == Metric::Euclidean ? "euclidean" : metric == Metric::Cosine ? "angular" : "inner_product";
}

// Gaussian rows about a common offset in every component: a cone seen from
// the origin when the offset is large beside the unit spread, centred data at 0.
std::vector<double> gaussian(std::size_t n, std::size_t dim, double offset, std::uint64_t seed) {
  std::mt19937_64 engine(seed);
  std::normal_distribution<double> normal;
  std::vector<double> rows(n * dim);
  for (double& x : rows) x = offset + normal(engine);
  return rows;
}

// The exact score, summed here apart from the core: in index order, each
// product rounded before it is added.
double oracle(Metric metric, const double* q, const double* v, std::size_t dim) {
  double paired = 0.0, qq = 0.0, vv = 0.0;
  for (std::size_t i = 0; i < dim; ++i) {
    const double d = q[i] - v[i];
    paired += metric == Metric::Euclidean ? d * d : q[i] * v[i];
    qq += q[i] * q[i];
    vv += v[i] * v[i];
  }
  if (metric == Metric::Euclidean) return std::sqrt(paired);
  return metric == Metric::Cosine ? paired / (std::sqrt(qq) * std::sqrt(vv)) : paired;
}

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

template <class Lists>
std::vector<std::uint32_t> members(const Lists& lists, std::uint32_t id) {
  std::vector<std::uint32_t> out;
  for (const std::uint32_t member : lists.of(id))
    if (member != Lists::kNone) out.push_back(member);
  return out;
}

// A list of node `id` among `n` nodes: no repeat, no self link, no id out of range.
void check_list(const std::vector<std::uint32_t>& list, std::uint32_t id, std::size_t n, const std::string& what) {
  check(std::set<std::uint32_t>(list.begin(), list.end()).size() == list.size(), what + ": a repeated id");
  for (const std::uint32_t member : list) check(member != id && member < n, what + ": a self link or a stray id");
}

// A bounded list that keeps the best by `rank` (smaller first) of all that
// was offered to it: as many as fit, each offered, none left out better
// than one kept.
template <class Rank>
void check_best_of_offered(const std::vector<std::uint32_t>& list, const std::set<std::uint32_t>& offered,
                           std::size_t width, const Rank& rank, const std::string& what) {
  check(list.size() == std::min(width, offered.size()),
        what + ": " + std::to_string(list.size()) + " members of " + std::to_string(offered.size()) + " offered");
  double worst_kept = -kInfinity;
  for (const std::uint32_t member : list) {
    check(offered.count(member) == 1, what + ": a member never offered");
    worst_kept = std::max(worst_kept, rank(member));
  }
  for (const std::uint32_t other : offered) {
    if (std::find(list.begin(), list.end(), other) == list.end())
      check(!(rank(other) < worst_kept), what + ": node " + std::to_string(other) + " left out for a worse one");
  }
}

// What the lists of `lists` were offered while rows `from` on were inserted
// one at a time: each new node's list as its insertion chose it, and the new
// node offered to each node of that list in turn. `after_each` runs after
// each insertion.
template <class Lists, class After>
std::vector<std::set<std::uint32_t>> insert_watching(HNSW& index, const Lists& lists, const std::vector<double>& rows,
                                                     std::size_t from, LevelRandom& random, const After& after_each) {
  const std::size_t dim = index.dim(), n = rows.size() / dim;
  std::vector<std::set<std::uint32_t>> offered(n);
  for (auto id = static_cast<std::uint32_t>(from); id < n; ++id) {
    check(!index.insert({rows.data() + id * dim, dim}, nullptr, random), "insert failed");
    for (const std::uint32_t chosen : members(lists, id)) {
      offered[id].insert(chosen);
      offered[chosen].insert(id);
    }
    after_each(id);
  }
  return offered;
}

const Register far_lists("far lists: the least similar of all ever offered to them, no repeat, no self link", [] {
  // The first batch fixes the frame, and the inserts after it stay short of
  // a refit (the largest norm comes first): every offer was measured as the
  // walk copy measures now.
  const std::size_t dim = 8, first = 300, n = 560;
  for (Metric metric : {Metric::Cosine, Metric::InnerProduct}) {
    for (double offset : {0.0, 2.0}) {
      auto rows = gaussian(n, dim, offset, 3);
      const auto square = [&](std::size_t id) {
        return oracle(Metric::InnerProduct, &rows[id * dim], &rows[id * dim], dim);
      };
      std::size_t largest = 0;
      for (std::size_t id = 0; id < n; ++id)
        if (square(id) > square(largest)) largest = id;
      std::swap_ranges(rows.begin(), rows.begin() + dim, rows.begin() + static_cast<std::ptrdiff_t>(largest * dim));
      LevelRandom random(5);
      HNSW index({.dim = dim, .layers = 4, .m = 6, .ef_construction = 40, .ef_search = 16}, metric, std::nullopt);
      check(!index.create({rows.data(), first}, {}, random), "create failed");
      const FarLinks& far = index.far_links();
      const auto offered = insert_watching(index, far, rows, first, random, [](std::uint32_t) {});
      const WalkMeasure measure(metric, index.store());
      WalkForms form;
      for (std::uint32_t id = 0; id < n; ++id) {
        const std::string what = named(metric) + ", offset " + std::to_string(offset) + ", node " + std::to_string(id);
        const auto list = members(far, id);
        check_list(list, id, n, what);
        if (id < first) continue;  // what the first batch offered is not known
        const std::vector<std::uint32_t> ids(offered[id].begin(), offered[id].end());
        std::vector<double> measured(ids.size());
        measure.score(measure.node(id, form, WalkSearch::Farthest), ids.data(), ids.size(), measured.data());
        const auto rank = [&](std::uint32_t other) {
          return measured[static_cast<std::size_t>(std::lower_bound(ids.begin(), ids.end(), other) - ids.begin())];
        };
        check_best_of_offered(list, offered[id], FarLinks::kWidth, rank, what);
      }
    }
  }
});

const Register product_lists("product lists: the largest products ever offered; the weakest rank after each offer", [] {
  const std::size_t dim = 6, n = 400;
  for (double offset : {0.0, 1.0}) {
    const auto rows = gaussian(n, dim, offset, 7);
    const auto product = [&](std::uint32_t a, std::uint32_t b) {
      return oracle(Metric::InnerProduct, &rows[a * dim], &rows[b * dim], dim);
    };
    LevelRandom random(11);
    HNSW index({.dim = dim, .layers = 4, .m = 6, .ef_construction = 40, .ef_search = 16}, Metric::InnerProduct,
               std::nullopt);
    const ProductLinks& products = index.product_links();
    // An insertion offers the new node to lists of distinct nodes, once each: every
    // list as it stands after the insertion is the list after its own last offer.
    const auto check_weakest = [&](std::uint32_t last) {
      for (std::uint32_t id = 0; id <= last; ++id) {
        const auto list = members(products, id);
        double weakest = -kInfinity;
        for (const std::uint32_t member : list) weakest = std::max(weakest, -product(id, member));
        const bool full = list.size() == ProductLinks::kWidth;
        check(full ? same_bits(products.weakest(id), weakest) : std::isnan(products.weakest(id)),
              "node " + std::to_string(id) + " after node " + std::to_string(last) + ": weakest rank " +
                  std::to_string(products.weakest(id)));
      }
    };
    const auto offered = insert_watching(index, products, rows, 0, random, check_weakest);
    for (std::uint32_t id = 0; id < n; ++id) {
      const auto list = members(products, id);
      const std::string what = "offset " + std::to_string(offset) + ", node " + std::to_string(id);
      check_list(list, id, n, what);
      check_best_of_offered(
          list, offered[id], ProductLinks::kWidth, [&](std::uint32_t other) { return -product(id, other); }, what);
    }
  }
});

const Register far_edge_blocks("the far edge follows every layer-0, far-of-far and product id, at m 128 too", [] {
  const std::size_t dim = 4, n = 400;
  const auto rows = gaussian(n, dim, 2.0, 13);
  for (Metric metric : {Metric::Cosine, Metric::InnerProduct}) {
    LevelRandom random(13);
    HNSW index({.dim = dim, .layers = 1, .m = 128, .ef_construction = 260}, metric, std::nullopt);
    check(!index.create({rows.data(), n}, {}, random), "create failed");
    const FarLinks& far = index.far_links();
    const ProductLinks* products = metric == Metric::InnerProduct ? &index.product_links() : nullptr;
    FarEdgeLists lists(index.graph(), far, products);
    std::size_t full = 0;
    for (std::uint32_t id = 0; id < n; ++id) {
      const auto layer0 = index.neighbors(id, 0);
      full += layer0.size() == index.max_neighbors(0);
      std::vector<std::uint32_t> wanted(layer0.begin(), layer0.end());
      for (const std::uint32_t opposite : members(far, id))
        for (const std::uint32_t along : members(far, opposite))
          if (along != id) wanted.push_back(along);
      if (products != nullptr)
        for (const std::uint32_t member : members(*products, id)) wanted.push_back(member);
      const std::uint32_t* block = lists.block(id);
      const std::set<std::uint32_t> followed(block + 1, block + 1 + block[0]);
      check(block[0] <= FarEdgeLists::kMaxIds, "a block over its bound");
      for (const std::uint32_t id_wanted : wanted)
        check(followed.count(id_wanted) == 1, named(metric) + ": node " + std::to_string(id) + " (" +
                                                  std::to_string(layer0.size()) + " layer-0 ids) does not follow " +
                                                  std::to_string(id_wanted));
    }
    check(full > 0, named(metric) + ": no full layer-0 list, nothing crowded");
  }
});

// The place the planner gives the target of a search for `query`.
TargetPlace planned_place(const HNSW& index, std::span<const double> query) {
  SearchInputs inputs{.nodes = index.size(), .k = 10, .ef = 16};
  inputs.radii = index.store().space().target_radii(query.data(), SearchPlan::kOutside);
  inputs.product_lists = index.product_links().enabled();
  return plan_search(inputs).place;
}

constexpr unsigned at(TargetPlace place) { return 1u << static_cast<unsigned>(place); }

const Register target_places("targets placed by the geometry of cones, their mirrors and centred data", [] {
  // search(q) asks for the least similar to q, search(-q) for the most
  // similar. A cone's least similar to one of its vectors lie on its far
  // edge, opposite the query; its most similar by angle lie among the data,
  // as does every target among centred directions, which cover the sphere.
  // Lifted, every target has no lift and lies beyond the lifted points: the
  // largest products with a vector of a wide cone lie on the far edge its
  // own way, where the product lists lead, but among the data once the cone
  // is narrow; on centred data a query and its mirror stand alike.
  struct Case {
    Metric metric;
    double offset;
    unsigned least, most;
  };
  constexpr unsigned kInside = at(TargetPlace::Inside), kFarEdge = at(TargetPlace::FarEdge),
                     kProducts = at(TargetPlace::FarEdgeProducts);
  const Case cases[] = {
      {Metric::Euclidean, 3.0, kInside, kInside},
      {Metric::Cosine, 0.0, kInside, kInside},
      {Metric::Cosine, 1.0, kFarEdge, kInside},
      {Metric::Cosine, 3.0, kFarEdge, kInside},
      {Metric::InnerProduct, 0.0, kFarEdge | kProducts, kFarEdge | kProducts},
      {Metric::InnerProduct, 1.0, kFarEdge, kProducts},
      {Metric::InnerProduct, 3.0, kFarEdge, kInside},
      {Metric::InnerProduct, 10.0, kFarEdge, kInside},
  };
  const std::size_t dim = 16, n = 1000, queries = 20;
  for (const Case& c : cases) {
    const auto rows = gaussian(n + queries, dim, c.offset, 23);
    LevelRandom random(23);
    HNSW index({.dim = dim, .layers = 2, .m = 4, .ef_construction = 8}, c.metric, std::nullopt);
    check(!index.create({rows.data(), n}, {}, random), "create failed");
    for (std::size_t qi = n; qi < n + queries; ++qi) {
      std::vector<double> q(rows.begin() + static_cast<std::ptrdiff_t>(qi * dim),
                            rows.begin() + static_cast<std::ptrdiff_t>((qi + 1) * dim));
      const std::string what =
          named(c.metric) + ", offset " + std::to_string(c.offset) + ", query " + std::to_string(qi - n) + ": the ";
      check((at(planned_place(index, q)) & c.least) != 0, what + "least similar misplaced");
      for (double& x : q) x = -x;
      check((at(planned_place(index, q)) & c.most) != 0, what + "most similar misplaced");
    }
  }
});

// The k best by score among the holders, as the results list them.
std::vector<ScoredId> brute_top_k(const HNSW& index, Metric metric, std::span<const double> q,
                                  const std::vector<bool>& holds, std::size_t k) {
  std::vector<ScoredId> all;
  for (std::size_t id = 0; id < index.size(); ++id)
    if (holds[id]) all.push_back({oracle(metric, q.data(), index.vector(id).data(), q.size()), id});
  std::sort(all.begin(), all.end(), ScoredBefore{});
  all.resize(std::min(k, all.size()));
  return all;
}

// A search's results: holders alone, each stored id once, each score the
// oracle's to the bit, in score order.
void check_results(const HNSW& index, Metric metric, std::span<const double> q, const std::vector<ScoredId>& found,
                   const std::vector<bool>& holds, const std::string& what) {
  std::set<std::size_t> ids;
  for (std::size_t j = 0; j < found.size(); ++j) {
    const std::size_t id = found[j].id;
    check(id < index.size() && holds[id], what + ": node " + std::to_string(id) + " does not hold the value");
    if (id >= index.size()) return;
    check(ids.insert(id).second, what + ": node " + std::to_string(id) + " returned twice");
    check(same_bits(found[j].score, oracle(metric, q.data(), index.vector(id).data(), q.size())),
          what + ": an inexact score");
    check(j == 0 || !scored_before(found[j], found[j - 1]), what + ": out of order");
  }
}

// A search's results, or none when it fails.
std::vector<ScoredId> found(const HNSW& index, std::span<const double> q, const SearchParams& params,
                            const std::string& what) {
  auto result = index.search(q, params);
  check(result.ok(), what + ": search failed");
  return result.ok() ? std::move(result).value() : std::vector<ScoredId>{};
}

struct Route {
  const Filter* filter;
  FilterPath path;
  TargetPlace place;
};

std::string named(const Route& route) {
  return std::string(route.filter == nullptr ? "no filter" : "filter on " + route.filter->attribute) + ", path " +
         std::to_string(static_cast<int>(route.path)) + ", place " + std::to_string(static_cast<int>(route.place));
}

// Calls `each` with every route that SearchParams can force: each of
// `filters` (null for none) by its position, each path, each place.
template <class Each>
void each_route(std::span<const Filter* const> filters, const Each& each) {
  for (std::size_t f = 0; f < filters.size(); ++f)
    for (FilterPath path : kPaths)
      for (TargetPlace place : kPlaces) each(f, Route{filters[f], path, place});
}

const Register forced_whole_walk("a whole walk imposed on a filter that some nodes fail returns holders alone", [] {
  const std::size_t dim = 2, n = 40;
  const auto rows = gaussian(n + 1, dim, 2.0, 37);
  std::vector<MetadataRecord> records;
  std::vector<bool> holds;
  for (std::size_t id = 0; id < n; ++id) {
    records.push_back({Metadata(Metadata::Integer{static_cast<long>(id % 2)})});
    holds.push_back(id % 2 == 1);
  }
  const Filter odd{"odd", Metadata(Metadata::Integer{1})};
  const std::span<const double> q(rows.data() + n * dim, dim);
  for (Metric metric : kMetrics) {
    LevelRandom random(37);
    HNSW index({.dim = dim, .layers = 3, .m = 4, .ef_construction = 32}, metric, Schema{"odd"});
    check(!index.create({rows.data(), n}, records, random), "create failed");
    for (TargetPlace place : kPlaces) {
      const Route route{&odd, FilterPath::Whole, place};
      const std::string what = named(metric) + ", " + named(route);
      const auto results =
          found(index, q, {.k = n, .ef = n, .filter = &odd, .path = FilterPath::Whole, .place = place}, what);
      check_results(index, metric, q, results, holds, what);
      check(results.size() == n / 2,
            what + ": " + std::to_string(results.size()) + " results of " + std::to_string(n / 2) + " holders");
    }
  }
});

const Register forced_routes("forced routes on a cone: holders alone, exact, each once; the top k at ef >= n", [] {
  const std::size_t dim = 8, n = 400, k = 10;
  const auto rows = gaussian(n + 2, dim, 2.0, 29);
  std::vector<MetadataRecord> records;
  for (std::size_t id = 0; id < n; ++id)
    records.push_back({Metadata(Metadata::Integer{static_cast<long>(id % 3 == 0)}), Metadata(Metadata::Text{"all"})});
  const Filter third{"third", Metadata(Metadata::Integer{1})}, all{"all", Metadata(Metadata::Text{"all"})};
  const Filter* const filters[] = {nullptr, &third, &all};
  std::vector<std::vector<bool>> holds(3, std::vector<bool>(n, true));
  for (std::size_t id = 0; id < n; ++id) holds[1][id] = id % 3 == 0;
  for (Metric metric : kMetrics) {
    LevelRandom random(29);
    HNSW index({.dim = dim, .layers = 4, .m = 8, .ef_construction = 64}, metric, Schema{"third", "all"});
    check(!index.create({rows.data(), n}, records, random), "create failed");
    for (std::size_t qi = n; qi < n + 2; ++qi) {
      for (double sign : {1.0, -1.0}) {
        std::vector<double> q(dim);
        for (std::size_t i = 0; i < dim; ++i) q[i] = sign * rows[qi * dim + i];
        each_route(filters, [&](std::size_t f, const Route& route) {
          for (const std::size_t ef : {std::size_t{16}, n}) {
            const std::string what = named(metric) + ", q " + std::to_string(qi) + (sign < 0 ? " negated" : "") + ", " +
                                     named(route) + ", ef " + std::to_string(ef);
            const auto results = found(
                index, q, {.k = k, .ef = ef, .filter = route.filter, .path = route.path, .place = route.place}, what);
            check_results(index, metric, q, results, holds[f], what);
            if (ef < n) continue;
            const auto exact = brute_top_k(index, metric, q, holds[f], k);
            check(std::equal(
                      exact.begin(), exact.end(), results.begin(), results.end(),
                      [](const ScoredId& a, const ScoredId& b) { return a.id == b.id && same_bits(a.score, b.score); }),
                  what + ": not the exact top k");
          }
        });
      }
    }
  }
});

const Register degenerate_copies("copies, every route: each id once, min(k, holders) results at ef >= n", [] {
  const std::size_t dim = 3;
  const std::vector<double> v = {1.0, 2.0, 3.0}, u = {-2.0, 0.5, 1.0};
  const auto copies = [&](std::vector<double> rows, std::size_t count) {
    for (std::size_t c = 0; c < count; ++c) rows.insert(rows.end(), v.begin(), v.end());
    return rows;
  };
  struct Case {
    const char* name;
    std::vector<std::vector<double>> batches;
    std::size_t ef_construction = 32;
  };
  const Case cases[] = {
      {"one linked node, then copies of it", {v, copies({}, 30)}},
      {"all copies", {copies({}, 31)}},
      {"one distinct vector and many copies", {copies(u, 30)}},
      {"copies around a distinct vector", {copies({}, 15), copies(u, 15)}},
      {"a create that fails with InvalidEF", {copies({}, 5)}, 0},
  };
  const Filter even{"even", Metadata(Metadata::Integer{1})};
  const Filter* const filters[] = {nullptr, &even};
  for (Metric metric : kMetrics) {
    for (const Case& c : cases) {
      LevelRandom random(31);
      HNSW index({.dim = dim, .layers = 3, .m = 4, .ef_construction = c.ef_construction}, metric, Schema{"even"});
      for (const auto& batch : c.batches) {
        std::vector<MetadataRecord> records;
        for (std::size_t row = 0; row < batch.size() / dim; ++row)
          records.push_back({Metadata(Metadata::Integer{static_cast<long>((index.size() + row) % 2 == 0)})});
        const auto error = index.create({batch.data(), batch.size() / dim}, records, random);
        check(c.ef_construction == 0 ? error == HNSWError::InvalidEF : !error, std::string(c.name) + ": create");
      }
      const std::size_t n = index.size();
      std::vector<std::vector<bool>> holds(2, std::vector<bool>(n, true));
      for (std::size_t id = 0; id < n; ++id) holds[1][id] = id % 2 == 0;
      for (const auto& q : {v, u}) {
        each_route(filters, [&](std::size_t f, const Route& route) {
          for (const std::size_t k : {std::size_t{1}, std::size_t{4}, n + 1}) {
            const std::string what = named(metric) + ", " + c.name + ", " + named(route) + ", k " + std::to_string(k);
            const auto results = found(
                index, q, {.k = k, .ef = n, .filter = route.filter, .path = route.path, .place = route.place}, what);
            check_results(index, metric, q, results, holds[f], what);
            const auto holders = static_cast<std::size_t>(std::count(holds[f].begin(), holds[f].end(), true));
            check(results.size() == std::min(k, holders),
                  what + ": " + std::to_string(results.size()) + " results of " + std::to_string(holders) + " holders");
          }
        });
      }
    }
  }
});

}  // namespace
}  // namespace tamsel::testing
