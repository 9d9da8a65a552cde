// For one metadata attribute: which nodes hold each stored value.
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <unordered_map>
#include <vector>

#include "core/metadata/metadata.hpp"

namespace tamsel {

// Consistent with Metadata equality: -0.0 hashes like 0.0. NaN never reaches
// the index (it equals nothing, so no filter could find it).
struct MetadataHash {
  // NOLINTNEXTLINE(bugprone-exception-escape): each std::get below follows the switch on index(), so none throws
  std::size_t operator()(const Metadata& value) const noexcept {
    const auto& held = value.value();
    switch (held.index()) {
      case 0: return std::hash<Metadata::Text>{}(std::get<0>(held));
      case 1: return std::hash<Metadata::Integer>{}(std::get<1>(held));
      default: {
        const double number = std::get<2>(held);
        return std::hash<double>{}(number == 0.0 ? 0.0 : number) ^ 0x9e3779b97f4a7c15ull;
      }
    }
  }
};

inline bool can_match(const Metadata& value) {
  const auto& held = value.value();
  return held.index() != 2 || !std::isnan(std::get<2>(held));
}

// Ids in ascending order, one list per distinct value. A value may map to an
// empty list (left by an insertion that failed after making room for it);
// that reads exactly like a value nobody holds.
using ValueIndex = std::unordered_map<Metadata, std::vector<std::uint32_t>, MetadataHash>;

}  // namespace tamsel
