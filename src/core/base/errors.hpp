// The failures a caller of the core must handle, one enumeration per index.
// The binding shows a failure as its name, after the operation's prefix.
#pragma once

namespace tamsel {

enum class HNSWError {
  InvalidEF,
  InvalidLayer,
  NoSchema,
  EmptySchema,
  AttributeNotFound,
  EmptyVectors,
  // The caller's Interruption stopped the operation.
  Interrupted,
};

enum class FlatError { EmptyIndex, EmptyVectors, Interrupted };

const char* error_name(HNSWError error);
const char* error_name(FlatError error);

}  // namespace tamsel
