#include "core/batch_score.hpp"

namespace tamsel {

void score_batch(Metric metric, const double* query, std::size_t dim, const double* const* vectors, std::size_t count,
                 double* out) {
  visit_metric(metric, [&](auto entry) {
    const double prepared = entry.prepare_exact(query, dim);
    std::size_t j = 0;
    for (; j + kGroup <= count; j += kGroup) entry.exact_group(query, dim, vectors + j, prepared, out + j);
    for (; j < count; ++j) out[j] = entry.exact(query, dim, vectors[j], dim);
  });
}

void score_rows(Metric metric, const double* query, std::size_t dim, const double* first, std::size_t count,
                double* out) {
  // Group g scores rows g, g + stripe, g + 2 stripe, ...: every lane walks its
  // own stripe front to back, so memory is read as a few sequential streams
  // that the hardware prefetcher follows.
  visit_metric(metric, [&](auto entry) {
    const double prepared = entry.prepare_exact(query, dim);
    const std::size_t stripe = count / kGroup;
    for (std::size_t g = 0; g < stripe; ++g) {
      const double* rows[kGroup];
      double scores[kGroup];
      for (std::size_t l = 0; l < kGroup; ++l) rows[l] = first + (l * stripe + g) * dim;
      entry.exact_group(query, dim, rows, prepared, scores);
      for (std::size_t l = 0; l < kGroup; ++l) out[l * stripe + g] = scores[l];
    }
    for (std::size_t j = stripe * kGroup; j < count; ++j) out[j] = entry.exact(query, dim, first + j * dim, dim);
  });
}

}  // namespace tamsel
