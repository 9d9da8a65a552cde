#include "core/flat.hpp"

#include <algorithm>

#include "core/base/top_k.hpp"
#include "core/batch/room.hpp"
#include "core/scoring/kernels.hpp"

namespace tamsel {

void Flat::reserve_more(std::size_t values) { make_room(values_, values); }

void Flat::append(std::span<const double> vector) { values_.insert(values_.end(), vector.begin(), vector.end()); }

Result<std::vector<ScoredId>, FlatError> Flat::search(std::span<const double> query, std::size_t k,
                                                      Interruption interruption) const {
  if (empty()) return FlatError::EmptyIndex;
  const std::size_t n = size();
  const std::size_t keep = std::min(k, n);
  std::vector<ScoredId> best;
  if (keep == 0) return best;
  best.reserve(keep);

  constexpr std::size_t kBlock = 256;
  double scores[kBlock];
  for (std::size_t first = 0; first < n; first += kBlock) {
    const std::size_t count = std::min(kBlock, n - first);
    if (interruption.stop_after(count * dim_)) return FlatError::Interrupted;
    score_rows(metric_, query.data(), dim_, values_.data() + first * dim_, count, scores);
    for (std::size_t j = 0; j < count; ++j) offer_best(best, keep, {scores[j], first + j});
  }
  sort_best(best);
  return best;
}

}  // namespace tamsel
