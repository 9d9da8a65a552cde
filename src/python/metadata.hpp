// Python values to metadata values and records.
#pragma once

#include <optional>
#include <span>

#include "core/metadata/metadata.hpp"
#include "python/convert.hpp"

namespace tamsel::python {

// Typed by the Python type, never by content: a `str` is text, then a signed
// 64-bit integer, then anything the interpreter converts to a float. Empty
// when none of the three applies; the failed tries leave no trace, but an
// interrupt, an exit or exhausted memory during one is thrown.
std::optional<Metadata> metadata_from_python(PyObject* value);

// One value per schema name, in schema order, from (name, value) pairs where
// the last pair of a name wins and names outside the schema are ignored.
MetadataRecord build_metadata_record(const Schema& schema, std::span<const NamedValue> pairs);

}  // namespace tamsel::python
