#include "python/pypy_results.hpp"

#include <cstring>

#include "python/pypy_code.hpp"

namespace tamsel::python {
namespace {

constexpr const char* kUnpackersSource = R"(
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

}  // namespace

PendingResult packed_hits(const StoredVectorHits& found) {
  const std::size_t step = found.dim + 1;
  Ref packed = bytes_of_size(found.hits.size() * step * sizeof(double));
  char* out = PyBytes_AS_STRING(packed.get());
  for (const StoredVectorHits::Hit& hit : found.hits) {
    std::memcpy(out, &hit.distance, sizeof(double));
    std::memcpy(out + sizeof(double), hit.values, found.dim * sizeof(double));
    out += step * sizeof(double);
  }
  return PendingResult(unpack_hits, std::move(packed), checked(PyLong_FromSize_t(step)));
}

PendingResult packed_scored_ids(const IdScorePairs& pairs) {
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

void define_result_unpackers() {
  if (!kPyPy || unpack_hits != nullptr) return;
  const Ref define = defined_in_fresh_globals(kUnpackersSource, "define");
  const Ref builtins = checked(PyImport_ImportModule("builtins"));
  const Ref array = module_attribute("array", "array"), len = attribute(builtins.get(), "len"),
            list = attribute(builtins.get(), "list"), range = attribute(builtins.get(), "range"),
            zip = attribute(builtins.get(), "zip");
  const Ref pair = call(define.get(), array.get(), len.get(), list.get(), range.get(), zip.get());
  if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2)
    throw BrokenInvariant("the result unpackers are not a pair");
  unpack_hits = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0)).release();
  unpack_scored_ids = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1)).release();
}

}  // namespace tamsel::python
