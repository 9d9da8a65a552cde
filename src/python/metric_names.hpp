// The names of the metrics, as each class reads them.
#pragma once

#include <optional>
#include <string>

#include "core/scoring/metric.hpp"

namespace tamsel::python {

// PyFlat: "cosine", "inner_product", and the Euclidean distance for anything
// else, no name included.
Metric flat_metric_named(const std::optional<std::string>& name);
// PyHNSW: "euclidean", "angular" (cosine similarity) or "inner_product", byte
// for byte; any other name, or none, raises "Unsupported metric".
Metric hnsw_metric_named(const std::optional<std::string>& name);

}  // namespace tamsel::python
