#include "core/store.hpp"

#include <algorithm>

#include "core/batch_score.hpp"
#include "core/room.hpp"

namespace tamsel {

VectorStore::Room VectorStore::reserve(std::size_t count) {
  make_room(values_, count * dim_);
  make_room(walk_rows_, count * code_.row_size());
  if (count > 0) {
    point_.reserve(dim_);
    space_.reserve();
  }
  return Room{};
}

void VectorStore::append(const Room&, const double* first, std::size_t count) {
  const std::size_t start = size();
  values_.insert(values_.end(), first, first + count * dim_);
  walk_rows_.resize(walk_rows_.size() + count * code_.row_size());
  point_.resize(dim_);
  const std::size_t total = start + count;
  if (!space_.due(total, false)) {
    bool held = true;
    for (std::size_t id = start; id < total; ++id) held = encode(id) && held;
    if (held || !space_.due(total, true)) return;
  }
  space_.fit(values_.data(), total);
  for (std::size_t id = 0; id < total; ++id) encode(id);
}

bool VectorStore::encode(std::size_t id) {
  const WalkSpace::Placed placed = space_.place(row(id), point_.data());
  code_.encode(point_.data(), placed.lift, walk_rows_.data() + id * code_.row_size());
  return placed.held;
}

void VectorStore::truncate(std::size_t count) {
  if (count >= size()) return;
  values_.resize(count * dim_);
  walk_rows_.resize(count * code_.row_size());
}

void VectorStore::score_rows_exactly(Metric metric, const double* query, std::size_t length, const double* const* rows,
                                     std::size_t count, double* out) const {
  if (length == dim_) {
    score_batch(metric, query, dim_, rows, count, out);
    return;
  }
  for (std::size_t j = 0; j < count; ++j) out[j] = distance(metric, query, length, rows[j], dim_);
}

void VectorStore::score_exactly(Metric metric, const double* query, std::size_t length, const std::uint32_t* ids,
                                std::size_t count, double* out) const {
  constexpr std::size_t kChunk = 64;
  const double* rows[kChunk];
  for (std::size_t first = 0; first < count; first += kChunk) {
    const std::size_t chunk = std::min(kChunk, count - first);
    for (std::size_t j = 0; j < chunk; ++j) rows[j] = row(ids[first + j]);
    score_rows_exactly(metric, query, length, rows, chunk, out + first);
  }
}

void VectorStore::score_exactly(Metric metric, const double* query, std::size_t length,
                                std::span<ScoredId> entries) const {
  constexpr std::size_t kChunk = 64;
  const double* rows[kChunk];
  double scores[kChunk];
  for (std::size_t first = 0; first < entries.size(); first += kChunk) {
    const std::size_t chunk = std::min(kChunk, entries.size() - first);
    for (std::size_t j = 0; j < chunk; ++j) rows[j] = row(entries[first + j].id);
    score_rows_exactly(metric, query, length, rows, chunk, scores);
    for (std::size_t j = 0; j < chunk; ++j) entries[first + j].score = scores[j];
  }
}

}  // namespace tamsel
