// What the graph walk compares: stored nodes measured from a form, on the walk copy.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "core/graph/search_scratch.hpp"
#include "core/rows/store.hpp"
#include "core/scoring/kernels.hpp"
#include "core/scoring/metric.hpp"

namespace tamsel {

// What the walk measures from, and how (WalkSearch, metric.hpp). Linking
// measures the distance between points of the walk space.
struct WalkQuery {
  const double* values;
  std::size_t length;
  const std::byte* form;  // null: the walk scores the query exactly
  WalkSearch search;
};

class WalkMeasure {
 public:
  WalkMeasure(Metric metric, const VectorStore& store) : metric_(metric), store_(&store) {}

  std::size_t dim() const { return store_->dim(); }
  std::size_t form_words() const { return store_->code().form_words(); }

  // A query of `length` numbers, with its form in `scratch` while the query
  // is used. A query of another length than dim, or one the walk copy cannot
  // measure, is scored exactly.
  WalkQuery search_query(const double* values, std::size_t length, SearchScratch& scratch) const {
    return search_query(values, length, scratch.query_point, scratch.query_form);
  }
  // The same, with its point and form in the buffers given.
  WalkQuery search_query(const double* values, std::size_t length, std::vector<double>& point, WalkForms& form) const {
    const WalkSearch search = store_->space().mapping().search;
    if (length != store_->dim()) return {values, length, nullptr, search};
    point.resize(length);
    const std::optional<WalkSearch> measured = store_->space().search_point(values, point.data());
    if (!measured) return {values, length, nullptr, search};
    return {values, length, form_of(point.data(), 0.0, form), *measured};
  }

  // A vector about to be linked (dim numbers), as its exact point.
  WalkQuery link_query(const double* values, SearchScratch& scratch) const {
    scratch.query_point.resize(store_->dim());
    const WalkSpace::Placed placed = store_->space().place(values, scratch.query_point.data());
    return {values, store_->dim(), form_of(scratch.query_point.data(), placed.lift, scratch.query_form),
            WalkSearch::Nearest};
  }

  // A stored node as linking measures from it: its point as its walk row
  // keeps it, into `form` (form_words() words).
  void node_form(std::uint32_t id, std::byte* form) const { store_->code().decode_form(store_->walk_row(id), form); }
  WalkQuery node(std::uint32_t id, WalkForms& form, WalkSearch search = WalkSearch::Nearest) const {
    form.resize(form_words());
    node_form(id, reinterpret_cast<std::byte*>(form.data()));
    return {store_->row(id), store_->dim(), reinterpret_cast<const std::byte*>(form.data()), search};
  }

  // The measures of the nodes `ids` from `query`, into `out`.
  void score(const WalkQuery& query, const std::uint32_t* ids, std::size_t count, double* out) const {
    if (query.form == nullptr) {
      store_->score_exactly(metric_, query.values, query.length, ids, count, out);
      for (std::size_t j = 0; j < count; ++j) out[j] = comparable(out[j]);
      return;
    }
    kernels_->walk_score(store_->walk_rows(), query.search, query.form, ids, count, out);
  }

  // Whether node `id` is nearer than `bound` to any of the `count` forms that
  // node_form filled from `forms` on, form_words() words apart.
  bool nearer_to_any(const std::byte* forms, std::size_t count, std::uint32_t id, double bound) const {
    return kernels_->walk_nearer_to_any(store_->walk_rows(), forms, form_words() * sizeof(std::uint64_t), count, id,
                                        bound);
  }

  // Always inlined, as WalkCode::prefetch is.
  [[gnu::always_inline]] void prefetch(std::uint32_t id) const { store_->code().prefetch(store_->walk_row(id)); }

 private:
  const std::byte* form_of(const double* point, double lift, WalkForms& form) const {
    form.resize(form_words());
    auto* bytes = reinterpret_cast<std::byte*>(form.data());
    store_->code().make_form(point, lift, bytes);
    return bytes;
  }

  Metric metric_;
  const VectorStore* store_;
  const Kernels* kernels_ = &kernels();
};

}  // namespace tamsel
