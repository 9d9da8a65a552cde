#include "python/metric_names.hpp"

#include <cstddef>
#include <string_view>

#include "python/messages.hpp"

namespace tamsel::python {
namespace {

struct MetricName {
  std::string_view name;
  Metric metric;
};

constexpr MetricName kFlatMetricNames[] = {
    {"cosine", Metric::Cosine},
    {"inner_product", Metric::InnerProduct},
};

constexpr MetricName kHNSWMetricNames[] = {
    {"euclidean", Metric::Euclidean},
    {"angular", Metric::Cosine},
    {"inner_product", Metric::InnerProduct},
};

template <std::size_t N>
std::optional<Metric> lookup(const MetricName (&table)[N], const std::optional<std::string>& name) {
  if (!name) return std::nullopt;
  for (const MetricName& entry : table) {
    if (entry.name == *name) return entry.metric;
  }
  return std::nullopt;
}

}  // namespace

Metric flat_metric_named(const std::optional<std::string>& name) {
  return lookup(kFlatMetricNames, name).value_or(Metric::Euclidean);
}

Metric hnsw_metric_named(const std::optional<std::string>& name) {
  const std::optional<Metric> metric = lookup(kHNSWMetricNames, name);
  if (!metric) raise_unsupported_metric();
  return *metric;
}

}  // namespace tamsel::python
