#include "python/metadata.hpp"

#include <string_view>
#include <unordered_map>

#include "python/messages.hpp"

namespace tamsel::python {
namespace {

std::optional<std::int64_t> integer_from_python(PyObject* value) {
  // Only integers and objects that stand for one (`__index__`) count: a float
  // is never truncated into an integer.
  Ref integer;
  if (!PyLong_Check(value)) {
    if (!PyIndex_Check(value)) return std::nullopt;
    integer = Ref::steal(PyNumber_Index(value));
    if (!integer) {
      discard_failed_try();
      return std::nullopt;
    }
    value = integer.get();
  }
  const long long converted = PyLong_AsLongLong(value);
  if (converted == -1 && PyErr_Occurred()) {
    discard_failed_try();
    return std::nullopt;
  }
  return converted;
}

}  // namespace

std::optional<Metadata> metadata_from_python(PyObject* value) {
  if (PyUnicode_Check(value)) {
    Py_ssize_t length = 0;
    if (const char* text = PyUnicode_AsUTF8AndSize(value, &length))
      return Metadata(Metadata::Text(text, static_cast<std::size_t>(length)));
    discard_failed_try();
  }
  if (auto integer = integer_from_python(value)) return Metadata(*integer);
  try {
    return Metadata(to_double(value));
  } catch (const PythonError& error) {
    if (ends_every_try(error.type.get())) throw;
    return std::nullopt;
  }
}

MetadataRecord build_metadata_record(const Schema& schema, std::span<const NamedValue> pairs) {
  MetadataRecord record;
  if (schema.empty()) return record;
  std::unordered_map<std::string_view, PyObject*> latest;
  for (const NamedValue& pair : pairs) latest[pair.name] = pair.value.get();
  record.reserve(schema.size());
  for (const std::string& name : schema) {
    const auto found = latest.find(name);
    if (found == latest.end()) raise_missing_metadata(name);
    auto value = metadata_from_python(found->second);
    if (!value) raise_unsupported_metadata_type(name);
    record.push_back(std::move(*value));
  }
  return record;
}

}  // namespace tamsel::python
