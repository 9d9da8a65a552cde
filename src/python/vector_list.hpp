// A batch of vectors back to back in one buffer.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "core/base/large_buffer.hpp"

namespace tamsel::python {

// Vector i has its own length. A C-contiguous buffer of doubles is viewed in
// place, kept alive by `owner_`.
class VectorList {
 public:
  std::size_t size() const { return borrowed_ ? rows_ : ends_.size(); }
  bool empty() const { return size() == 0; }
  std::span<const double> operator[](std::size_t i) const {
    if (borrowed_) return {borrowed_ + i * columns_, columns_};
    const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
    return {values_.data() + begin, ends_[i] - begin};
  }
  const double* data() const { return borrowed_ ? borrowed_ : values_.data(); }
  // How many vectors, from the first, have `length` values: a viewed batch
  // answers at once, whatever its number of rows.
  std::size_t leading_of_length(std::size_t length) const {
    if (borrowed_) return columns_ == length ? rows_ : 0;
    std::size_t count = 0;
    while (count < size() && (*this)[count].size() == length) ++count;
    return count;
  }

  LargeBuffer<double>& values() { return values_; }
  void end_vector() { ends_.push_back(values_.size()); }
  void reserve_vectors(std::size_t count) { ends_.reserve(count); }
  void view(const double* data, std::size_t rows, std::size_t columns, std::shared_ptr<const void> owner) {
    borrowed_ = data;
    rows_ = rows;
    columns_ = columns;
    owner_ = std::move(owner);
  }
  // Copies a viewed buffer into the list's own memory and lets the buffer go.
  void stop_viewing() {
    if (borrowed_ == nullptr) return;
    values_.assign(borrowed_, borrowed_ + rows_ * columns_);
    ends_.reserve(rows_);
    for (std::size_t row = 1; row <= rows_; ++row) ends_.push_back(row * columns_);
    borrowed_ = nullptr;
    owner_.reset();
  }

 private:
  LargeBuffer<double> values_;
  std::vector<std::size_t> ends_;
  const double* borrowed_ = nullptr;
  std::size_t rows_ = 0, columns_ = 0;
  std::shared_ptr<const void> owner_;
};

}  // namespace tamsel::python
