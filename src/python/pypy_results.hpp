// Results packed for PyPy's interpreter to build.
//
// PyPy's C API gives every number, tuple and list made through it a C-side
// twin, which costs several times what the interpreter spends making the same
// objects itself. So there the larger results travel packed in bytes objects
// that refer to nothing in the index, and functions the interpreter runs
// build their objects (PendingResult::finish, once the call has released the
// index: that code may let another thread run).
#pragma once

#include "python/pending_result.hpp"

namespace tamsel::python {

// Each (distance, vector) as doubles side by side; not for an empty result.
PendingResult packed_hits(const StoredVectorHits& found);
// The ids and the scores, each in one bytes object.
PendingResult packed_scored_ids(const IdScorePairs& pairs);

// Defines the functions that unpack them; called once, under PyPy, when the
// module is created.
void define_result_unpackers();

}  // namespace tamsel::python
