// The metadata of the stored vectors: one record per node, the value index of
// every attribute, and the resolution and matching of filters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "core/base/errors.hpp"
#include "core/base/result.hpp"
#include "core/metadata/filter.hpp"
#include "core/metadata/metadata.hpp"
#include "core/metadata/value_index.hpp"

namespace tamsel {

// The records handed over with a batch of rows: one per row, or `single` for
// every row (a batch of one, or null for none).
struct BatchRecords {
  const MetadataRecord* single = nullptr;
  std::span<const MetadataRecord> per_row;

  const MetadataRecord* at(std::size_t row) const { return per_row.empty() ? single : &per_row[row]; }
};

class MetadataStore {
 public:
  explicit MetadataStore(std::optional<Schema> schema);

  const std::optional<Schema>& schema() const { return schema_; }

  // A filter with the schema position of its attribute.
  struct Target {
    const Filter* filter;
    std::size_t position;
  };
  // NoSchema, EmptySchema or AttributeNotFound, checked in this order; the
  // first schema name equal to the attribute wins.
  Result<Target, HNSWError> resolve(const Filter& filter) const;
  // The node's value at schema position `position`; null for a node stored without a record.
  const Metadata* value(std::uint32_t id, std::size_t position) const {
    const std::uint32_t record = record_of_[id];
    return record == kNoRecord ? nullptr : &record_values_[std::size_t{record} * schema_->size() + position];
  }
  // The nodes that hold the filter's value, in ascending ids.
  std::span<const std::uint32_t> holders(const Target& target) const {
    return holders(target.position, target.filter->value);
  }
  std::span<const std::uint32_t> holders(std::size_t position, const Metadata& value) const;

  // The batch's records, copied now (a copy can fail, the move into the
  // store later cannot), with room for them in the store and the value index.
  class Room {
    friend class MetadataStore;
    explicit Room(BatchRecords records) : records_(records) {}
    BatchRecords records_;
    std::vector<Metadata> staged_;
    std::size_t next_ = 0;
  };
  // Without a schema the records are ignored. A record holds one value per schema name.
  Room reserve(BatchRecords records, std::size_t count);
  // Stores the record of batch row `row` (if it has one) as node `id`'s.
  void append(Room& room, std::uint32_t id, std::size_t row);

 private:
  static constexpr std::uint32_t kNoRecord = std::numeric_limits<std::uint32_t>::max();

  void reserve_value_ids(BatchRecords records, std::size_t count);

  std::optional<Schema> schema_;
  // Only with a schema: per node the index of its record in record_values_
  // (kNoRecord for a node stored without one), records back to back.
  std::vector<std::uint32_t> record_of_;
  std::vector<Metadata> record_values_;
  std::uint32_t record_count_ = 0;
  std::vector<ValueIndex> value_ids_;  // one per schema position
};

// Whether a node holds `value` at schema position `attribute`: the
// admission test of a walk that returns the holders of one value alone.
struct HoldsValue {
  const MetadataStore* metadata;
  std::size_t attribute;
  const Metadata* value;
  bool operator()(std::uint32_t id) const {
    const Metadata* held = metadata->value(id, attribute);
    return held != nullptr && *held == *value;
  }
};

}  // namespace tamsel
