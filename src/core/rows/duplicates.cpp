#include "core/rows/duplicates.hpp"

#include "core/batch/room.hpp"

namespace tamsel {

DuplicateTable::Room DuplicateTable::reserve(const VectorStore& store, std::size_t store_size, const double* first,
                                             std::size_t count) {
  Room room;
  room.originals_.assign(count, kNone);
  if (dim_ == 0) return room;  // nothing to compare: no node is linked
  const auto stored_row = [&store](std::uint32_t id) { return store.row(id); };
  const auto batch_row = [&](std::uint32_t row) { return first + std::size_t{row} * dim_; };
  originals_.reserve(count, dim_, stored_row);
  // A row may also copy an earlier row of the same batch.
  RowTable earlier_rows;
  earlier_rows.reserve(count, dim_, batch_row);
  std::unordered_map<std::uint32_t, std::size_t> added;
  std::uint32_t unmeasured = unmeasured_;
  for (std::size_t i = 0; i < count; ++i) {
    const double* row = batch_row(static_cast<std::uint32_t>(i));
    if (!store.space().measurable(row)) {
      if (unmeasured == kNone) {
        unmeasured = static_cast<std::uint32_t>(store_size + i);
      } else {
        room.originals_[i] = unmeasured;
        ++added[unmeasured];
      }
      continue;
    }
    std::uint32_t original = originals_.find(row, dim_, stored_row);
    if (original == kNone) {
      const std::uint32_t earlier = earlier_rows.find(row, dim_, batch_row);
      if (earlier == kNone) {
        earlier_rows.add(static_cast<std::uint32_t>(i), row, dim_);
        continue;
      }
      original = static_cast<std::uint32_t>(store_size + earlier);
    }
    room.originals_[i] = original;
    ++added[original];
  }
  for (const auto& [original, extra] : added) make_room(copies_[original], extra);
  has_duplicates_.resize((store_size + count + 63) / 64, 0);
  return room;
}

void DuplicateTable::append(const Room& room, const VectorStore& store, std::uint32_t id, std::size_t row) {
  if (dim_ == 0) return;
  const std::uint32_t original = room.original(row);
  if (original == kNone) {
    if (store.space().measurable(store.row(id))) originals_.add(id, store.row(id), dim_);
    else unmeasured_ = id;
    return;
  }
  copies_.find(original)->second.push_back(id);
  has_duplicates_[original / 64] |= std::uint64_t{1} << (original % 64);
}

}  // namespace tamsel
