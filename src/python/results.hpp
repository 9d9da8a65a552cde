// Native results to new Python objects.
//
// A failure to build a result (an allocation) raises what the interpreter
// raised, MemoryError; what was built so far is released. Under PyPy the
// larger results travel packed, and the interpreter itself builds their
// objects (pypy_results.hpp).
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "python/errors.hpp"
#include "python/pending_result.hpp"
#include "python/ref.hpp"

namespace tamsel::python {

inline Ref to_python(double value) { return checked(PyFloat_FromDouble(value)); }
inline Ref to_python(std::size_t value) { return checked(PyLong_FromSize_t(value)); }
Ref to_python(std::span<const double> values);

template <class T>
Ref to_python(const std::vector<T>& items);

template <class A, class B>
Ref to_python(const std::pair<A, B>& pair) {
  Ref first = to_python(pair.first);
  Ref second = to_python(pair.second);
  Ref tuple = checked(PyTuple_New(2));
  PyTuple_SET_ITEM(tuple.get(), 0, first.release());
  PyTuple_SET_ITEM(tuple.get(), 1, second.release());
  return tuple;
}

template <class T>
Ref to_python(const std::vector<T>& items) {
  Ref list = checked(PyList_New(static_cast<Py_ssize_t>(items.size())));
  for (std::size_t i = 0; i < items.size(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_python(items[i]).release());
  return list;
}

template <class T>
PendingResult pending_result(const T& value) {
  return PendingResult(to_python(value));
}
PendingResult pending_result(const StoredVectorHits& found);
PendingResult pending_result(const IdScorePairs& pairs);

}  // namespace tamsel::python
