#include "core/metadata/metadata_store.hpp"

#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <unordered_map>

#include "core/batch/room.hpp"

namespace tamsel {

MetadataStore::MetadataStore(std::optional<Schema> schema) : schema_(std::move(schema)) {
  if (schema_) value_ids_.resize(schema_->size());
}

Result<MetadataStore::Target, HNSWError> MetadataStore::resolve(const Filter& filter) const {
  if (!schema_) return HNSWError::NoSchema;
  if (schema_->empty()) return HNSWError::EmptySchema;
  const auto found = std::find(schema_->begin(), schema_->end(), filter.attribute);
  if (found == schema_->end()) return HNSWError::AttributeNotFound;
  return Target{&filter, static_cast<std::size_t>(found - schema_->begin())};
}

std::span<const std::uint32_t> MetadataStore::holders(std::size_t position, const Metadata& value) const {
  const ValueIndex& index = value_ids_[position];
  const auto found = index.find(value);
  if (found == index.end()) return {};
  return found->second;
}

MetadataStore::Room MetadataStore::reserve(BatchRecords records, std::size_t count) {
  Room room(records);
  if (!schema_) return room;
  const std::size_t width = schema_->size();
  std::size_t with_records = 0;
  for (std::size_t i = 0; i < count; ++i) with_records += records.at(i) != nullptr;
  if (with_records > kNoRecord - record_count_) throw CapacityExceeded("HNSW: metadata records past 32-bit positions");
  room.staged_.reserve(with_records * width);
  for (std::size_t i = 0; i < count; ++i) {
    if (const MetadataRecord* record = records.at(i))
      room.staged_.insert(room.staged_.end(), record->begin(), record->begin() + static_cast<std::ptrdiff_t>(width));
  }
  make_room(record_of_, count);
  make_room(record_values_, with_records * width);
  reserve_value_ids(records, count);
  return room;
}

void MetadataStore::reserve_value_ids(BatchRecords records, std::size_t count) {
  struct ValueHash {
    // NOLINTNEXTLINE(bugprone-exception-escape): MetadataHash cannot throw (value_index.hpp)
    std::size_t operator()(const Metadata* value) const noexcept { return MetadataHash{}(*value); }
  };
  struct SameValue {
    bool operator()(const Metadata* a, const Metadata* b) const { return *a == *b; }
  };
  for (std::size_t position = 0; position < schema_->size(); ++position) {
    std::unordered_map<const Metadata*, std::size_t, ValueHash, SameValue> added;
    for (std::size_t i = 0; i < count; ++i) {
      const MetadataRecord* record = records.at(i);
      if (record != nullptr && can_match((*record)[position])) ++added[&(*record)[position]];
    }
    ValueIndex& index = value_ids_[position];
    index.reserve(index.size() + added.size());
    for (const auto& [value, extra] : added) make_room(index.try_emplace(*value).first->second, extra);
  }
}

void MetadataStore::append(Room& room, std::uint32_t id, std::size_t row) {
  if (!schema_) return;
  if (room.records_.at(row) == nullptr) {
    record_of_.push_back(kNoRecord);
    return;
  }
  const std::size_t width = schema_->size();
  const std::size_t first_value = record_values_.size();
  const auto staged = room.staged_.begin() + static_cast<std::ptrdiff_t>(room.next_ * width);
  record_values_.insert(record_values_.end(), std::make_move_iterator(staged),
                        std::make_move_iterator(staged + static_cast<std::ptrdiff_t>(width)));
  ++room.next_;
  record_of_.push_back(record_count_++);
  for (std::size_t position = 0; position < width; ++position) {
    const Metadata& value = record_values_[first_value + position];
    if (can_match(value)) value_ids_[position].find(value)->second.push_back(id);
  }
}

}  // namespace tamsel
