// What the graph walk compares: stored nodes measured from a vector, on the walk copy.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/metric.hpp"
#include "core/store.hpp"

namespace tamsel {

// A vector the walk measures from, prepared once for the metric's walk kernel.
struct WalkQuery {
  const double* values;
  std::size_t length;
  const float* form;  // null when length is not dim: then the walk measures exactly
  double prepared;
};

class WalkMeasure {
 public:
  WalkMeasure(Metric metric, const VectorStore& store) : metric_(metric), store_(&store) {}

  // Floats in the walk form of a stored vector.
  std::size_t form_size() const { return store_->dim(); }

  // A vector of `length` numbers; `form` holds its walk form while the query is used.
  WalkQuery query(const double* values, std::size_t length, std::vector<float>& form) const {
    if (length != store_->dim()) return {values, length, nullptr, 0.0};
    form.resize(length);
    store_->code().query_form(values, form.data());
    const double prepared = visit_metric(metric_, [&](auto entry) { return entry.prepare_walk(form.data(), length); });
    return {values, length, form.data(), prepared};
  }

  // A stored node as the vector measured from, decoded from its walk row into
  // `form` (dim floats); returns what the metric prepares of it.
  double prepare_node(std::uint32_t id, float* form) const {
    return visit_metric(metric_, [&](auto entry) {
      if constexpr (decltype(entry)::kWalkByDirection) store_->code().decode_direction(store_->walk_row(id), form);
      else store_->code().decode(store_->walk_row(id), form);
      return entry.prepare_walk(form, store_->dim());
    });
  }

  WalkQuery node(std::uint32_t id, std::vector<float>& form) const {
    form.resize(store_->dim());
    const double prepared = prepare_node(id, form.data());
    return {store_->row(id), store_->dim(), form.data(), prepared};
  }

  // The measures of the nodes `ids` from `query`, into `out`.
  void score(const WalkQuery& query, const std::uint32_t* ids, std::size_t count, double* out) const {
    if (query.form == nullptr) {
      store_->score_exactly(metric_, query.values, query.length, ids, count, out);
      for (std::size_t j = 0; j < count; ++j) out[j] = comparable(out[j]);
      return;
    }
    visit_metric(metric_, [&](auto entry) {
      for (std::size_t j = 0; j < count; ++j)
        out[j] = comparable(entry.walk(store_->code(), query.form, query.prepared, store_->walk_row(ids[j])));
    });
  }

  // The measure of node `id` from a walk form that prepare_node filled.
  double measure(const float* form, double prepared, std::uint32_t id) const {
    return visit_metric(metric_, [&](auto entry) {
      return comparable(entry.walk(store_->code(), form, prepared, store_->walk_row(id)));
    });
  }

  // Always inlined, as WalkCode::prefetch is.
  [[gnu::always_inline]] void prefetch(std::uint32_t id) const { store_->code().prefetch(store_->walk_row(id)); }

 private:
  // NaN (a vector with a NaN, a zero vector under the cosine) comes out as
  // +infinity: the walk keeps its farthest result on top of a heap and admits
  // only what is nearer, and nothing is nearer than a NaN, so one NaN there
  // would end the walk; as the farthest number it is the first to give way.
  static double comparable(double measured) {
    return std::isnan(measured) ? std::numeric_limits<double>::infinity() : measured;
  }

  Metric metric_;
  const VectorStore* store_;
};

}  // namespace tamsel
