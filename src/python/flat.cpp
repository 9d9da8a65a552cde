// PyFlat: the Python face of the exact index.
#include "core/flat.hpp"

#include "python/call.hpp"
#include "python/classes.hpp"
#include "python/messages.hpp"
#include "python/metric_names.hpp"
#include "python/signals.hpp"
#include "python/types.hpp"

namespace tamsel::python {

template <>
struct PythonClass<Flat> {
  static constexpr const char* name = "PyFlat";
  static inline PyTypeObject* type = nullptr;
};

namespace {

// The one place that reads the core's search results.
IdScorePairs id_score_pairs(const std::vector<ScoredId>& found) {
  IdScorePairs pairs;
  pairs.reserve(found.size());
  for (const ScoredId& entry : found) pairs.emplace_back(entry.id, entry.score);
  return pairs;
}

Flat make_flat(std::size_t dim, std::optional<std::string> metric) { return Flat(dim, flat_metric_named(metric)); }

void insert(Flat& flat, std::vector<double> vector) {
  if (vector.size() != flat.dim()) raise_wrong_vector_length(flat.dim(), vector.size());
  flat.reserve_more(vector.size());
  flat.append(vector);
}

IdScorePairs search(const Flat& flat, std::vector<double> query, std::optional<std::size_t> k) {
  if (query.size() != flat.dim()) raise_wrong_query_length(flat.dim(), query.size());
  auto found = flat.search(query, k.value_or(1), interruption_by_signals());
  if (!found.ok()) raise_search_error(found.error());
  return id_score_pairs(found.value());
}

void create(Flat& flat, VectorList vectors) {
  if (vectors.empty()) raise_create_error(FlatError::EmptyVectors);
  // The vectors before the first one of the wrong length are stored; room for
  // all of them is made first, so a failed allocation stores none.
  const std::size_t accepted = vectors.leading_of_length(flat.dim());
  flat.reserve_more(accepted * flat.dim());
  // Vectors of no numbers add nothing to the store.
  if (flat.dim() > 0) {
    for (std::size_t i = 0; i < accepted; ++i) flat.append(vectors[i]);
  }
  if (accepted < vectors.size()) raise_batch_vector_length(vectors[accepted].size(), flat.dim());
}

constexpr Parameters<2> kNew{"PyFlat.__new__", {"dim", "metric"}};
constexpr Parameters<1> kInsert{"PyFlat.insert", {"vector"}};
constexpr Parameters<2> kSearch{"PyFlat.search", {"query", "k"}};
constexpr Parameters<1> kCreate{"PyFlat.create", {"vectors"}};

PyMethodDef own_methods[] = {
    method_entry("insert", method<kInsert, &insert>,
                 "insert($self, vector)\n--\n\nInsert a vector into the index.\n\n"
                 "The vector is expected as a list of floats whose length equals the index dimension."),
    method_entry("search", method<kSearch, &search>,
                 "search($self, query, k=None)\n--\n\nSearch for the k nearest neighbors.\n\n"
                 "Returns a list of tuples `(id, distance)`."),
    method_entry("create", method<kCreate, &create>,
                 "create($self, vectors)\n--\n\nCreate an index from a list of vectors."),
};

auto methods = method_table(own_methods);

}  // namespace

PyTypeObject* flat_class() {
  if (PythonClass<Flat>::type == nullptr) {
    PythonClass<Flat>::type = create_class({
        .name = "PyFlat",
        .qualified_name = "tamsel.PyFlat",
        .doc_slot = "PyFlat(dim, metric=None)\n--\n\nOur Python-facing Flat index.",
        .instance_size = sizeof(Instance<Flat>),
        .construct = constructor<kNew, &make_flat>,
        .deallocate = deallocate<Flat>,
        .methods = methods.data(),
    });
  }
  return PythonClass<Flat>::type;
}

}  // namespace tamsel::python
