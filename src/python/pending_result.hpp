// What a call hands back while it still holds the index: the native results
// an operation returns, and a result as far as it is built then.
#pragma once

#include <cstddef>
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

// A call's result as far as it is built while the call holds the index: the
// finished object, or (PyPy) packed bytes that refer to nothing in the index
// and the interpreter-level code that unpacks them, run by finish() once the
// index is released.
class PendingResult {
 public:
  explicit PendingResult(Ref finished) : first_(std::move(finished)) {}
  PendingResult(PyObject* unpack, Ref first, Ref second)
      : unpack_(unpack), first_(std::move(first)), second_(std::move(second)) {}
  Ref finish() && {
    if (unpack_ == nullptr) return std::move(first_);
    return checked(PyObject_CallFunctionObjArgs(unpack_, first_.get(), second_.get(), nullptr));
  }

 private:
  PyObject* unpack_ = nullptr;
  Ref first_, second_;
};

}  // namespace tamsel::python
