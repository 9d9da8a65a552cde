// Python objects to native values.
//
// From<T>::convert turns one Python object into T or throws. Sequences are
// read element by element; buffers of plain numbers (numpy arrays, arrays of
// the array module) are read directly, and an aligned C-contiguous batch of
// doubles is viewed in place (the frame copies it when other Python code
// could run before it is read, conversion_order.hpp).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "python/errors.hpp"
#include "python/ref.hpp"
#include "python/vector_list.hpp"

namespace tamsel::python {

// A (text, any object) pair: a filter, or one item of a metadata list.
struct NamedValue {
  std::string name;
  Ref value;
};

template <class T>
struct From;

// Finds the types whose buffers are read like those of built-in types;
// called once, when the module is created.
void bind_buffer_types();

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
