#include "core/flat.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "core/kernels.hpp"

namespace tamsel {

void Flat::reserve_more(std::size_t values) {
  if (values > std::numeric_limits<std::size_t>::max() / 2 - values_.size()) throw std::bad_alloc();
  const std::size_t needed = values_.size() + values;
  if (needed <= values_.capacity()) return;
  values_.reserve(std::max(needed, values_.capacity() + values_.capacity() / 2));
}

void Flat::append(std::span<const double> vector) { values_.insert(values_.end(), vector.begin(), vector.end()); }

Result<std::vector<ScoredId>, FlatError> Flat::search(std::span<const double> query, std::size_t k,
                                                      Interruption interruption) const {
  if (empty()) return FlatError::EmptyIndex;
  const std::size_t n = size();
  const std::size_t keep = std::min(k, n);
  std::vector<ScoredId> best;
  if (keep == 0) return best;
  best.reserve(keep);

  // A max-heap of the `keep` best entries seen so far: its top is the entry a
  // better one replaces. The (score, id) order is total, so the list equals the
  // first `keep` pops of a min-heap over all n entries.
  auto worse_on_top = [](const ScoredId& a, const ScoredId& b) { return scored_before(a, b); };
  constexpr std::size_t kBlock = 256;
  double scores[kBlock];
  for (std::size_t first = 0; first < n; first += kBlock) {
    const std::size_t count = std::min(kBlock, n - first);
    if (interruption.stop_after(count * dim_)) return FlatError::Interrupted;
    score_rows(metric_, query.data(), dim_, values_.data() + first * dim_, count, scores);
    for (std::size_t j = 0; j < count; ++j) {
      const ScoredId entry{scores[j], first + j};
      if (best.size() < keep) {
        best.push_back(entry);
        std::push_heap(best.begin(), best.end(), worse_on_top);
      } else if (scored_before(entry, best.front())) {
        std::pop_heap(best.begin(), best.end(), worse_on_top);
        best.back() = entry;
        std::push_heap(best.begin(), best.end(), worse_on_top);
      }
    }
  }
  std::sort_heap(best.begin(), best.end(), worse_on_top);
  return best;
}

}  // namespace tamsel
