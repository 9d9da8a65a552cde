// A set of stored vectors keyed by their values, to find exact copies.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace tamsel {

// Two vectors that measure alike from every query: the same bits in every
// component, except that 0.0 and -0.0 count as one value.
inline bool same_values(const double* a, const double* b, std::size_t dim) {
  for (std::size_t i = 0; i < dim; ++i) {
    // NOLINTNEXTLINE(bugprone-suspicious-memory-comparison): bits on purpose: a NaN matches its exact copy
    if (std::memcmp(a + i, b + i, sizeof(double)) != 0 && !(a[i] == 0.0 && b[i] == 0.0)) return false;
  }
  return true;
}

inline std::uint64_t hash_values(const double* row, std::size_t dim) {
  std::uint64_t hash = dim;
  for (std::size_t i = 0; i < dim; ++i) {
    const std::uint64_t bits = row[i] == 0.0 ? 0 : std::bit_cast<std::uint64_t>(row[i]);
    hash = (hash ^ bits) * 0x9e3779b97f4a7c15ull;
    hash ^= hash >> 29;
  }
  return hash;
}

// Open addressing over ids; `row_at(id)` gives an id's values. Holds at most
// half as many ids as it has slots, so a probe sequence stays short.
class RowTable {
 public:
  static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

  // Room for `more` ids, so that add() never allocates.
  template <class RowAt>
  void reserve(std::size_t more, std::size_t dim, RowAt row_at) {
    const std::size_t count = size_ + more;
    if (2 * count <= slots_.size()) return;
    std::size_t wanted = 16;
    while (wanted < 2 * count) wanted *= 2;
    std::vector<std::uint32_t> held(wanted, kNone);
    held.swap(slots_);
    for (const std::uint32_t id : held) {
      if (id != kNone) place(id, row_at(id), dim);
    }
  }

  // The id held whose values equal `row`, or kNone.
  template <class RowAt>
  std::uint32_t find(const double* row, std::size_t dim, RowAt row_at) const {
    if (slots_.empty()) return kNone;
    for (std::size_t slot = first_slot(row, dim);; slot = (slot + 1) & (slots_.size() - 1)) {
      const std::uint32_t id = slots_[slot];
      if (id == kNone || same_values(row_at(id), row, dim)) return id;
    }
  }

  // `row` is `id`'s values, not yet held; reserve() made room.
  void add(std::uint32_t id, const double* row, std::size_t dim) {
    place(id, row, dim);
    ++size_;
  }

 private:
  std::size_t first_slot(const double* row, std::size_t dim) const {
    return hash_values(row, dim) & (slots_.size() - 1);
  }
  void place(std::uint32_t id, const double* row, std::size_t dim) {
    std::size_t slot = first_slot(row, dim);
    while (slots_[slot] != kNone) slot = (slot + 1) & (slots_.size() - 1);
    slots_[slot] = id;
  }

  std::vector<std::uint32_t> slots_;
  std::size_t size_ = 0;
};

}  // namespace tamsel
