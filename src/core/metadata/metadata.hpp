// One metadata attribute value and a vector's record of them.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace tamsel {

// Exactly one of text, signed 64-bit integer or double. Values of different
// kinds are never equal; doubles compare by IEEE equality (NaN equals nothing,
// -0.0 equals 0.0).
class Metadata {
 public:
  using Text = std::string;
  using Integer = std::int64_t;
  using Float = double;

  explicit Metadata(Text text) : value_(std::move(text)) {}
  explicit Metadata(Integer integer) : value_(integer) {}
  explicit Metadata(Float number) : value_(number) {}

  const std::variant<Text, Integer, Float>& value() const { return value_; }

  friend bool operator==(const Metadata& a, const Metadata& b) {
    if (a.value_.index() != b.value_.index()) return false;
    switch (a.value_.index()) {
      case 0: return std::get<0>(a.value_) == std::get<0>(b.value_);
      case 1: return std::get<1>(a.value_) == std::get<1>(b.value_);
      default: return std::get<2>(a.value_) == std::get<2>(b.value_);
    }
  }

 private:
  std::variant<Text, Integer, Float> value_;
};

// A vector's values, one per schema name, in schema order.
using MetadataRecord = std::vector<Metadata>;

using Schema = std::vector<std::string>;

}  // namespace tamsel
