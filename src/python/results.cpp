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
// these functions, run by the interpreter, build its objects. Every name they
// use is bound when they are defined, so that rebinding a builtin changes
// nothing here.
constexpr const char* kResultBuildersSource = R"(
def define(array, len, list, range, zip):
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

    return unpack_hits, unpack_scored_ids
)";

// Kept for the life of the process.
PyObject* unpack_hits = nullptr;
PyObject* unpack_scored_ids = nullptr;

Ref bytes_of_size(std::size_t size) {
  return checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
}

PendingResult hits_for_interpreter(const StoredVectorHits& found) {
  const std::size_t step = found.dim + 1;
  Ref packed = bytes_of_size(found.hits.size() * step * sizeof(double));
  char* out = PyBytes_AS_STRING(packed.get());
  for (const StoredVectorHits::Hit& hit : found.hits) {
    std::memcpy(out, &hit.distance, sizeof(double));
    std::memcpy(out + sizeof(double), hit.values, found.dim * sizeof(double));
    out += step * sizeof(double);
  }
  return PendingResult(unpack_hits, std::move(packed), to_python(step));
}

PendingResult scored_ids_for_interpreter(const IdScorePairs& pairs) {
  static_assert(sizeof(std::size_t) == sizeof(unsigned long long), "ids travel as array('Q') items");
  Ref packed_ids = bytes_of_size(pairs.size() * sizeof(std::size_t));
  Ref packed_scores = bytes_of_size(pairs.size() * sizeof(double));
  char* ids = PyBytes_AS_STRING(packed_ids.get());
  char* scores = PyBytes_AS_STRING(packed_scores.get());
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    std::memcpy(ids + i * sizeof(std::size_t), &pairs[i].first, sizeof(std::size_t));
    std::memcpy(scores + i * sizeof(double), &pairs[i].second, sizeof(double));
  }
  return PendingResult(unpack_scored_ids, std::move(packed_ids), std::move(packed_scores));
}

Ref attribute(PyObject* module, const char* name) { return checked(PyObject_GetAttrString(module, name)); }

}  // namespace

void create_result_builders() {
  if (!kPyPy || unpack_hits != nullptr) return;
  Ref globals = checked(PyDict_New());
  Ref builtins = checked(PyImport_ImportModule("builtins"));
  if (PyDict_SetItemString(globals.get(), "__builtins__", builtins.get()) < 0) throw_pending();
  checked(PyRun_String(kResultBuildersSource, Py_file_input, globals.get(), globals.get()));
  Ref array_module = checked(PyImport_ImportModule("array"));
  PyObject* define = PyDict_GetItemString(globals.get(), "define");
  if (define == nullptr) throw InternalFailure("the result builders are not defined");
  Ref array = attribute(array_module.get(), "array"), len = attribute(builtins.get(), "len"),
      list = attribute(builtins.get(), "list"), range = attribute(builtins.get(), "range"),
      zip = attribute(builtins.get(), "zip");
  Ref pair = checked(
      PyObject_CallFunctionObjArgs(define, array.get(), len.get(), list.get(), range.get(), zip.get(), nullptr));
  if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2)
    throw InternalFailure("the result builders are not a pair");
  unpack_hits = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0)).release();
  unpack_scored_ids = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1)).release();
}

Ref PendingResult::finish() && {
  if (unpack_ == nullptr) return std::move(first_);
  return checked(PyObject_CallFunctionObjArgs(unpack_, first_.get(), second_.get(), nullptr));
}

PendingResult pending_result(const StoredVectorHits& found) {
  if (kPyPy && !found.hits.empty()) return hits_for_interpreter(found);
  Ref list = checked(PyList_New(static_cast<Py_ssize_t>(found.hits.size())));
  for (std::size_t i = 0; i < found.hits.size(); ++i) {
    const StoredVectorHits::Hit& hit = found.hits[i];
    const std::pair<double, std::span<const double>> tuple{hit.distance, {hit.values, found.dim}};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_python(tuple).release());
  }
  return PendingResult(std::move(list));
}

PendingResult pending_result(const IdScorePairs& pairs) {
  // Measured on PyPy: below four pairs, the call into the interpreter costs
  // more than the objects it spares.
  constexpr std::size_t kFewestPairsWorthPacking = 4;
  if (kPyPy && pairs.size() >= kFewestPairsWorthPacking) return scored_ids_for_interpreter(pairs);
  return PendingResult(to_python<std::pair<std::size_t, double>>(pairs));
}

}  // namespace tamsel::python
