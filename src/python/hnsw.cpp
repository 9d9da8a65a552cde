// PyHNSW: the Python face of the approximate index.
#include "core/hnsw.hpp"

#include "python/binding.hpp"
#include "python/classes.hpp"
#include "python/metadata.hpp"

namespace tamsel::python {

template <>
struct PythonClass<HNSW> {
  static constexpr const char* name = "PyHNSW";
  static inline PyTypeObject* type = nullptr;
};

namespace {

using Pairs = std::vector<NamedValue>;

const char* const kNoSchema = "No schema provided in HNSW instance; cannot use metadata";

HNSW make_hnsw(std::size_t dim, std::optional<std::size_t> layers, std::optional<std::size_t> m,
               std::optional<std::size_t> ef_construction, std::optional<std::size_t> ef_search,
               std::optional<std::string> metric, std::optional<Schema> schema) {
  const auto chosen = metric ? hnsw_metric(*metric) : std::nullopt;
  if (!chosen) raise_value_error("Unsupported metric");
  HNSWParams params;
  params.dim = dim;
  params.layers = layers.value_or(params.layers);
  params.m = m.value_or(params.m);
  params.ef_construction = ef_construction.value_or(params.ef_construction);
  params.ef_search = ef_search.value_or(params.ef_search);
  if (params.layers > HNSW::kMaxLayers)
    raise_value_error("layers must be at most " + std::to_string(HNSW::kMaxLayers) + ", got " +
                      std::to_string(params.layers));
  return HNSW(params, *chosen, std::move(schema));
}

void insert(HNSW& index, std::vector<double> vector, std::optional<Pairs> metadata) {
  if (vector.size() != index.dim())
    raise_value_error("Expected vector of length " + std::to_string(index.dim()) + ", got " +
                      std::to_string(vector.size()));
  std::optional<MetadataRecord> record;
  if (metadata) {
    if (!index.schema()) raise_value_error(kNoSchema);
    record = build_metadata_record(*index.schema(), *metadata);
  }
  if (auto error = index.insert(vector, record ? &*record : nullptr, LevelRandom::for_this_thread()))
    raise_value_error(std::string("Insert error: ") + error_name(*error));
}

void create(HNSW& index, VectorList vectors, std::optional<std::vector<Pairs>> metadata) {
  const std::size_t accepted = vectors.leading_of_length(index.dim());
  if (accepted < vectors.size())
    raise_value_error("Vector length " + std::to_string(vectors[accepted].size()) +
                      " does not match index dimension " + std::to_string(index.dim()));
  std::vector<MetadataRecord> records;
  if (metadata) {
    if (metadata->size() != vectors.size())
      raise_value_error("Length of metadata list must match number of vectors");
    if (!index.schema()) raise_value_error(kNoSchema);
    records.reserve(metadata->size());
    for (const Pairs& pairs : *metadata) records.push_back(build_metadata_record(*index.schema(), pairs));
  } else if (vectors.empty()) {
    raise_value_error(std::string("Create error: ") + error_name(HNSWError::EmptyVectors));
  }
  const VectorRows rows{vectors.data(), vectors.size()};
  if (auto error = index.create(rows, records, LevelRandom::for_this_thread()))
    raise_value_error(std::string("Create error: ") + error_name(*error));
}

StoredVectorHits search(const HNSW& index, std::vector<double> query, std::optional<std::size_t> k,
                  std::optional<NamedValue> filter_pair) {
  std::optional<Filter> filter;
  if (filter_pair) {
    if (!index.schema()) raise_value_error(std::string(kNoSchema) + " filtering");
    auto value = metadata_from_python(filter_pair->value.get());
    if (!value) raise_value_error("Unsupported type for metadata filter");
    filter.emplace(Filter{std::move(filter_pair->name), std::move(*value)});
  }
  auto found = index.search(query, k.value_or(1), filter ? &*filter : nullptr);
  if (!found.ok()) raise_value_error(std::string("Search error: ") + error_name(found.error()));
  StoredVectorHits neighbours{index.dim(), {}};
  neighbours.hits.reserve(found.value().size());
  for (const ScoredId& hit : found.value()) neighbours.hits.push_back({hit.score, index.vector(hit.id).data()});
  return neighbours;
}

constexpr Parameters<7> kNew{
    "PyHNSW.__new__", {"dim", "layers", "m", "ef_construction", "ef_search", "metric", "schema"}};
constexpr Parameters<2> kInsert{"PyHNSW.insert", {"vector", "metadata"}};
constexpr Parameters<3> kSearch{"PyHNSW.search", {"query", "k", "filter"}};
constexpr Parameters<2> kCreate{"PyHNSW.create", {"vectors", "metadata"}};

PyMethodDef methods[] = {
    method_entry("insert", method<kInsert, &insert>,
                 "insert($self, vector, metadata=None)\n--\n\nInsert a vector into the index.\n\n"
                 "The vector is expected as a list of floats.\n"
                 "Optionally, metadata can be provided as a list of tuples, e.g.:\n"
                 "`[(\"color\", \"blue\"), (\"size\", 42)]`"),
    method_entry("search", method<kSearch, &search>,
                 "search($self, query, k=None, filter=None)\n--\n\nSearch for the k nearest neighbors.\n\n"
                 "Returns a list of tuples `(distance, vector)`."),
    method_entry("create", method<kCreate, &create>, "create($self, vectors, metadata=None)\n--\n\n"),
    subclass_refusal_entry(),
    {nullptr, nullptr, 0, nullptr},
};

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
        .methods = methods,
    });
  }
  return PythonClass<HNSW>::type;
}

}  // namespace tamsel::python
