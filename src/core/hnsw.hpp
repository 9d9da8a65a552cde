// Approximate index: a layered navigable small-world graph over float64 vectors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string_view>
#include <vector>

#include "core/distance.hpp"
#include "core/filter.hpp"
#include "core/metadata.hpp"
#include "core/result.hpp"

namespace tamsel {

enum class HNSWError {
  InvalidEF,
  InvalidLayer,
  NoSchema,
  EmptySchema,
  AttributeNotFound,
  EmptyVectors,
  InvalidNodeID,
};

const char* error_name(HNSWError error);

// "euclidean", "angular" (cosine similarity) or "inner_product", byte for byte.
std::optional<Metric> hnsw_metric(std::string_view name);

// Uniform doubles in [0, 1) for the level draw: the top 53 bits of a 64-bit
// word times 2^-53. Each thread has its own, seeded from the operating system.
class LevelRandom {
 public:
  explicit LevelRandom(std::uint64_t seed) : engine_(seed) {}
  double uniform() { return static_cast<double>(engine_() >> 11) * 0x1p-53; }
  static LevelRandom& for_this_thread();

 private:
  std::mt19937_64 engine_;
};

struct HNSWParams {
  std::size_t dim = 0;
  std::size_t layers = 5;
  std::size_t m = 16;
  std::size_t ef_construction = 200;
  std::size_t ef_search = 50;
};

struct Found {
  double distance;
  std::size_t id;
};

// Rows of a batch of vectors handed to create(): row i is vector i.
struct VectorRows {
  const double* values;
  std::size_t count;
  std::size_t dim;
};

class HNSW {
 public:
  // Largest `layers` served; larger values are refused by the caller.
  static constexpr std::size_t kMaxLayers = 4096;
  // `m` above this acts as this, so per-node neighbour blocks stay bounded.
  static constexpr std::size_t kMaxM = 128;

  HNSW(const HNSWParams& params, Metric metric, std::optional<Schema> schema);

  std::size_t dim() const;
  std::size_t size() const;
  const std::optional<Schema>& schema() const;
  std::span<const double> vector(std::size_t id) const;

  // The caller guarantees `vector` has dim values and `record`, when given,
  // one value per schema name. Failures after the vector was stored leave it stored.
  std::optional<HNSWError> insert(std::span<const double> vector, const MetadataRecord* record,
                                  LevelRandom& random);
  // `records` is empty or holds one record per row.
  std::optional<HNSWError> create(VectorRows rows, std::span<const MetadataRecord> records,
                                  LevelRandom& random);

  // Ascending distance order, NaN last, at most min(k, ef_search) results,
  // only nodes that match `filter` when one is given.
  Result<std::vector<Found>, HNSWError> search(std::span<const double> query, std::size_t k,
                                               const Filter* filter) const;
};

}  // namespace tamsel
