// The two failures the core throws besides std::bad_alloc; every other one a
// caller must handle comes back as a value (result.hpp).
#pragma once

#include <stdexcept>

namespace tamsel {

// The index would pass a limit of its own representation (32-bit ids and
// positions, the deepest level a node can have): no amount of memory lets
// the operation succeed. The message names the limit.
struct CapacityExceeded : std::length_error {
  using std::length_error::length_error;
};

// Something the code relies on does not hold: a fault of tamsel itself, never
// of the caller's data. Thrown before anything changes, so the index it
// concerns stays usable.
struct BrokenInvariant : std::logic_error {
  using std::logic_error::logic_error;
};

}  // namespace tamsel
