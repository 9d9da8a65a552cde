#include "python/results.hpp"

#include <cstring>

namespace tamsel::python {

Ref to_python(std::span<const double> values) {
  Ref list = checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
  for (std::size_t i = 0; i < values.size(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_python(values[i]).release());
  return list;
}

namespace {

// PyPy's C API gives every number, tuple and list made through it a C-side
// twin, which costs several times what the interpreter spends making the same
// objects itself. So there a result travels packed in bytes objects, and
// these functions, run by the interpreter, build its objects.
constexpr const char* kResultBuildersSource = R"(
from array import array

def unpack_hits(packed, step):
    values = array("d")
    values.frombytes(packed)
    return [(values[i], values[i + 1:i + step].tolist()) for i in range(0, len(values), step)]

def unpack_scored_ids(ids, scores):
    id_values = array("Q")
    id_values.frombytes(ids)
    score_values = array("d")
    score_values.frombytes(scores)
    return list(zip(id_values.tolist(), score_values.tolist()))
)";

// The result builder called `name`, defined on first use and kept for the
// life of the process.
PyObject* result_builder(const char* name) {
  static PyObject* builders = nullptr;
  if (builders == nullptr) {
    Ref globals = checked(PyDict_New());
    if (PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) throw_pending();
    checked(PyRun_String(kResultBuildersSource, Py_file_input, globals.get(), globals.get()));
    builders = globals.release();
  }
  PyObject* builder = PyDict_GetItemString(builders, name);
  if (builder == nullptr) fail_missing_result_builder(name);
  return builder;
}

Ref bytes_of_size(std::size_t size) {
  return checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
}

Ref hits_through_interpreter(const StoredVectorHits& found) {
  const std::size_t step = found.dim + 1;
  Ref packed = bytes_of_size(found.hits.size() * step * sizeof(double));
  char* out = PyBytes_AS_STRING(packed.get());
  for (const StoredVectorHits::Hit& hit : found.hits) {
    std::memcpy(out, &hit.distance, sizeof(double));
    std::memcpy(out + sizeof(double), hit.values, found.dim * sizeof(double));
    out += step * sizeof(double);
  }
  Ref step_object = to_python(step);
  return checked(
      PyObject_CallFunctionObjArgs(result_builder("unpack_hits"), packed.get(), step_object.get(), nullptr));
}

Ref scored_ids_through_interpreter(const IdScorePairs& pairs) {
  static_assert(sizeof(std::size_t) == sizeof(unsigned long long), "ids travel as array('Q') items");
  Ref packed_ids = bytes_of_size(pairs.size() * sizeof(std::size_t));
  Ref packed_scores = bytes_of_size(pairs.size() * sizeof(double));
  char* ids = PyBytes_AS_STRING(packed_ids.get());
  char* scores = PyBytes_AS_STRING(packed_scores.get());
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    std::memcpy(ids + i * sizeof(std::size_t), &pairs[i].first, sizeof(std::size_t));
    std::memcpy(scores + i * sizeof(double), &pairs[i].second, sizeof(double));
  }
  return checked(PyObject_CallFunctionObjArgs(result_builder("unpack_scored_ids"), packed_ids.get(),
                                              packed_scores.get(), nullptr));
}

}  // namespace

Ref to_python(const StoredVectorHits& found) {
  if (kPyPy && !found.hits.empty()) return hits_through_interpreter(found);
  Ref list = checked(PyList_New(static_cast<Py_ssize_t>(found.hits.size())));
  for (std::size_t i = 0; i < found.hits.size(); ++i) {
    const StoredVectorHits::Hit& hit = found.hits[i];
    const std::pair<double, std::span<const double>> tuple{hit.distance, {hit.values, found.dim}};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_python(tuple).release());
  }
  return list;
}

Ref to_python(const IdScorePairs& pairs) {
  // Measured on PyPy: below four pairs, the call into the interpreter costs
  // more than the objects it spares.
  constexpr std::size_t kFewestPairsWorthPacking = 4;
  if (kPyPy && pairs.size() >= kFewestPairsWorthPacking) return scored_ids_through_interpreter(pairs);
  return to_python<std::pair<std::size_t, double>>(pairs);
}

}  // namespace tamsel::python
