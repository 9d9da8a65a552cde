// Native results to new Python objects.
//
// A failure to build a result (an allocation) raises what the interpreter
// raised, MemoryError; what was built so far is released. Under PyPy the
// larger results travel packed in bytes objects and the interpreter itself
// builds their objects (results.cpp says why); that code may let another
// thread run, so it runs only once the call has released the index.
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "python/errors.hpp"
#include "python/ref.hpp"

namespace tamsel::python {

// (id, score) pairs, such as an exact search's: a list of (int, float) tuples.
using IdScorePairs = std::vector<std::pair<std::size_t, double>>;

// Stored vectors found by a search, each with its distance. The result holds
// (distance, fresh list of the vector's numbers) tuples, copied straight from
// the store: the view stays valid while the result is built, because the call
// keeps its use of the instance until pending_result has returned, so
// nothing can change the store meanwhile.
struct StoredVectorHits {
  struct Hit {
    double distance;
    const double* values;  // dim numbers in the store
  };
  std::size_t dim = 0;
  std::vector<Hit> hits;
};

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

// A call's result as far as it is built while the call holds the index: the
// finished object, or (PyPy) packed bytes that refer to nothing in the index
// and the interpreter-level code that unpacks them, run by finish() once the
// index is released.
class PendingResult {
 public:
  explicit PendingResult(Ref finished) : first_(std::move(finished)) {}
  PendingResult(PyObject* unpack, Ref first, Ref second)
      : unpack_(unpack), first_(std::move(first)), second_(std::move(second)) {}
  Ref finish() &&;

 private:
  PyObject* unpack_ = nullptr;
  Ref first_, second_;
};

template <class T>
PendingResult pending_result(const T& value) {
  return PendingResult(to_python(value));
}
PendingResult pending_result(const StoredVectorHits& found);
PendingResult pending_result(const IdScorePairs& pairs);

// Defines, under PyPy, the interpreter-level code that unpacks results; called
// once, when the module is created.
void create_result_builders();

}  // namespace tamsel::python
