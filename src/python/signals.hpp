// Signal handlers during the long operations.
#pragma once

#include "core/batch/interruption.hpp"

namespace tamsel::python {

// For the long operations (a PyHNSW batch, a PyFlat scan): lets the
// interpreter run its signal handlers every few milliseconds. A handler that
// raises stops the operation, whose error then raises the handler's exception
// (messages.hpp, raise_core_error). A handler runs while the call holds its
// use of the index, at a point where the index is whole; a call it makes into
// the same index is refused by the borrow like any re-entry, and a call of
// another thread that the interpreter lets run meanwhile waits for the use to
// end (borrow.hpp). Called by the operation, under the use of its call.
Interruption interruption_by_signals();
// What the check needs under PyPy; called once, when the module is created.
void create_signal_point();

}  // namespace tamsel::python
