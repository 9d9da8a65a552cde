// PyHNSW: the Python face of the approximate index.
#include "core/hnsw.hpp"

#include "python/call.hpp"
#include "python/classes.hpp"
#include "python/messages.hpp"
#include "python/metadata.hpp"
#include "python/metric_names.hpp"
#include "python/signals.hpp"
#include "python/types.hpp"

namespace tamsel::python {

template <>
struct PythonClass<HNSW> {
  static constexpr const char* name = "PyHNSW";
  static inline PyTypeObject* type = nullptr;
};

namespace {

using Pairs = std::vector<NamedValue>;

// The two places that touch the core's batch and result types.
VectorRows rows_of(const VectorList& vectors) { return {vectors.data(), vectors.size()}; }

StoredVectorHits stored_vector_hits(const HNSW& index, const std::vector<ScoredId>& found) {
  StoredVectorHits hits{index.dim(), {}};
  hits.hits.reserve(found.size());
  for (const ScoredId& hit : found) hits.hits.push_back({hit.score, index.vector(hit.id).data()});
  return hits;
}

HNSW make_hnsw(std::size_t dim, std::optional<std::size_t> layers, std::optional<std::size_t> m,
               std::optional<std::size_t> ef_construction, std::optional<std::size_t> ef_search,
               std::optional<std::string> metric, std::optional<Schema> schema) {
  const Metric chosen = hnsw_metric_named(metric);
  HNSWParams params;
  params.dim = dim;
  params.layers = layers.value_or(params.layers);
  params.m = m.value_or(params.m);
  params.ef_construction = ef_construction.value_or(params.ef_construction);
  params.ef_search = ef_search.value_or(params.ef_search);
  if (params.layers > HNSW::kMaxLayers) raise_too_many_layers(HNSW::kMaxLayers, params.layers);
  return HNSW(params, chosen, std::move(schema));
}

void insert(HNSW& index, std::vector<double> vector, std::optional<Pairs> metadata) {
  if (vector.size() != index.dim()) raise_wrong_vector_length(index.dim(), vector.size());
  std::optional<MetadataRecord> record;
  if (metadata) {
    if (!index.schema()) raise_metadata_without_schema();
    record = build_metadata_record(*index.schema(), *metadata);
  }
  if (auto error = index.insert(vector, record ? &*record : nullptr, LevelRandom::for_this_thread()))
    raise_insert_error(*error);
}

void create(HNSW& index, VectorList vectors, std::optional<std::vector<Pairs>> metadata) {
  const std::size_t accepted = vectors.leading_of_length(index.dim());
  if (accepted < vectors.size()) raise_batch_vector_length(vectors[accepted].size(), index.dim());
  std::vector<MetadataRecord> records;
  if (metadata) {
    if (metadata->size() != vectors.size()) raise_metadata_count_mismatch();
    if (!index.schema()) raise_metadata_without_schema();
    records.reserve(metadata->size());
    for (const Pairs& pairs : *metadata) records.push_back(build_metadata_record(*index.schema(), pairs));
  } else if (vectors.empty()) {
    raise_create_error(HNSWError::EmptyVectors);
  }
  if (auto error = index.create(rows_of(vectors), records, LevelRandom::for_this_thread(), interruption_by_signals()))
    raise_create_error(*error);
}

StoredVectorHits search(const HNSW& index, std::vector<double> query, std::optional<std::size_t> k,
                        std::optional<NamedValue> filter_pair) {
  std::optional<Filter> filter;
  if (filter_pair) {
    if (!index.schema()) raise_filter_without_schema();
    auto value = metadata_from_python(filter_pair->value.get());
    if (!value) raise_unsupported_filter_type();
    filter.emplace(Filter{std::move(filter_pair->name), std::move(*value)});
  }
  auto found = index.search(query, {.k = k.value_or(1), .filter = filter ? &*filter : nullptr});
  if (!found.ok()) raise_search_error(found.error());
  return stored_vector_hits(index, found.value());
}

constexpr Parameters<7> kNew{"PyHNSW.__new__",
                             {"dim", "layers", "m", "ef_construction", "ef_search", "metric", "schema"}};
constexpr Parameters<2> kInsert{"PyHNSW.insert", {"vector", "metadata"}};
constexpr Parameters<3> kSearch{"PyHNSW.search", {"query", "k", "filter"}};
constexpr Parameters<2> kCreate{"PyHNSW.create", {"vectors", "metadata"}};

PyMethodDef own_methods[] = {
    method_entry("insert", method<kInsert, &insert>,
                 "insert($self, vector, metadata=None)\n--\n\nInsert a vector into the index.\n\n"
                 "The vector is expected as a list of floats.\n"
                 "Optionally, metadata can be provided as a list of tuples, e.g.:\n"
                 "`[(\"color\", \"blue\"), (\"size\", 42)]`"),
    method_entry("search", method<kSearch, &search>,
                 "search($self, query, k=None, filter=None)\n--\n\nSearch for the k nearest neighbors.\n\n"
                 "Returns a list of tuples `(distance, vector)`."),
    method_entry("create", method<kCreate, &create>, "create($self, vectors, metadata=None)\n--\n\n"),
};

auto methods = method_table(own_methods);

}  // namespace

PyTypeObject* hnsw_class() {
  if (PythonClass<HNSW>::type == nullptr) {
    PythonClass<HNSW>::type = create_class({
        .name = "PyHNSW",
        .qualified_name = "tamsel.PyHNSW",
        .doc_slot = "PyHNSW(dim, layers=None, m=None, ef_construction=None, ef_search=None, metric=None, "
                    "schema=None)\n--\n\n",
        .instance_size = sizeof(Instance<HNSW>),
        .construct = constructor<kNew, &make_hnsw>,
        .deallocate = deallocate<HNSW>,
        .methods = methods.data(),
    });
  }
  return PythonClass<HNSW>::type;
}

}  // namespace tamsel::python
