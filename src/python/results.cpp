#include "python/results.hpp"

#include "python/pypy_results.hpp"

namespace tamsel::python {

Ref to_python(std::span<const double> values) {
  Ref list = checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
  for (std::size_t i = 0; i < values.size(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_python(values[i]).release());
  return list;
}

PendingResult pending_result(const StoredVectorHits& found) {
  if (kPyPy && !found.hits.empty()) return packed_hits(found);
  Ref list = checked(PyList_New(static_cast<Py_ssize_t>(found.hits.size())));
  for (std::size_t i = 0; i < found.hits.size(); ++i) {
    const StoredVectorHits::Hit& hit = found.hits[i];
    const std::pair<double, std::span<const double>> tuple{hit.distance, {hit.values, found.dim}};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_python(tuple).release());
  }
  return PendingResult(std::move(list));
}

PendingResult pending_result(const IdScorePairs& pairs) {
  // Below this many pairs the call into PyPy's interpreter costs more than the
  // objects it spares (docs/pypy.md).
  constexpr std::size_t kFewestPairsWorthPacking = 4;
  if (kPyPy && pairs.size() >= kFewestPairsWorthPacking) return packed_scored_ids(pairs);
  return PendingResult(to_python<std::pair<std::size_t, double>>(pairs));
}

}  // namespace tamsel::python
