// Python objects to native values.
//
// From<T>::convert turns one Python object into T or throws. Sequences are
// read element by element; buffers of plain numbers (numpy arrays, say) are
// read directly, and an aligned C-contiguous batch of doubles is viewed in
// place (the frame copies it when other Python code could run before it is
// read, call.hpp).
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/large_buffer.hpp"
#include "python/errors.hpp"
#include "python/ref.hpp"

namespace tamsel::python {

// A (text, any object) pair: a filter, or one item of a metadata list.
struct NamedValue {
  std::string name;
  Ref value;
};

// A batch of vectors back to back in one buffer; vector i has its own length.
// A C-contiguous buffer of doubles is viewed in place, kept alive by `owner_`.
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

// Values that view a caller's memory copy it here; other values own theirs.
template <class T>
void stop_viewing(T&) {}
inline void stop_viewing(VectorList& list) { list.stop_viewing(); }
template <class T>
void stop_viewing(std::optional<T>& value) {
  if (value) stop_viewing(*value);
}

template <class T>
struct From;

double to_double(PyObject* object);
std::size_t to_size(PyObject* object);
std::string to_text(PyObject* object);
NamedValue to_named_value(PyObject* object);

// The sequence rule: any sequence but a `str`, read element by element.
// Calls `item(element)` for each element in iteration order; returns a hint of
// the element count for sizing buffers (never trusted beyond a safe bound).
class SequenceReader {
 public:
  explicit SequenceReader(PyObject* sequence);
  std::size_t size_hint() const { return size_hint_; }

  template <class Item>
  void for_each(Item&& item) const;

 private:
  PyObject* sequence_;
  std::size_t size_hint_ = 0;
};

template <class Item>
void SequenceReader::for_each(Item&& item) const {
  // Exact lists and tuples are read by index; the list's length is re-read at
  // every step so that a conversion which changes the list sees what an
  // iterator would.
  if (PyList_CheckExact(sequence_)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sequence_); ++i) {
      Ref element = Ref::borrow(PyList_GET_ITEM(sequence_, i));
      item(element.get());
    }
    return;
  }
  if (PyTuple_CheckExact(sequence_)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(sequence_); ++i) item(PyTuple_GET_ITEM(sequence_, i));
    return;
  }
  Ref iterator = checked(PyObject_GetIter(sequence_));
  while (Ref element = Ref::steal(PyIter_Next(iterator.get()))) item(element.get());
  if (PyErr_Occurred()) throw_pending();
}

template <>
struct From<double> {
  static double convert(PyObject* object) { return to_double(object); }
};
template <>
struct From<std::size_t> {
  static std::size_t convert(PyObject* object) { return to_size(object); }
};
template <>
struct From<std::string> {
  static std::string convert(PyObject* object) { return to_text(object); }
};
template <>
struct From<NamedValue> {
  static NamedValue convert(PyObject* object) { return to_named_value(object); }
};
template <>
struct From<std::vector<double>> {
  static std::vector<double> convert(PyObject* object);
};
template <>
struct From<VectorList> {
  static VectorList convert(PyObject* object);
};
template <class T>
struct From<std::vector<T>> {
  static std::vector<T> convert(PyObject* object) {
    SequenceReader reader(object);
    std::vector<T> items;
    items.reserve(reader.size_hint());
    reader.for_each([&](PyObject* element) { items.push_back(From<T>::convert(element)); });
    return items;
  }
};

}  // namespace tamsel::python
