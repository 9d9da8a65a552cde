#include "python/signals.hpp"

#include <unistd.h>

#include "python/borrow.hpp"
#include "python/pypy_code.hpp"

namespace tamsel::python {
namespace {

// PyPy's PyErr_CheckSignals runs no handler. PyPy runs the pending handlers
// when it enters code of its own, so there the check calls a function that
// does nothing. Entering code is also where PyPy lets another thread run,
// handler or none.
PyObject* pypy_signal_point = nullptr;

// PyPy runs handlers in the first thread of the process only (in a child, the
// thread that forked), which Linux numbers as the process; elsewhere the
// signal point would be entered for nothing, letting other threads run. A
// thread inside __pypy__.thread.signals_enabled runs handlers too; its long
// calls leave them to the first thread, or until they end.
bool pypy_runs_handlers_in_this_thread() {
#if defined(__linux__)
  return gettid() == getpid();
#else
  return true;
#endif
}

// Marks a call's use paused while its thread is at a signal point.
class PausedAtSignalPoint {
 public:
  explicit PausedAtSignalPoint(Uses* uses) : uses_(uses) {
    if (uses_ != nullptr) uses_->paused_at_signal_point.fetch_add(1);
  }
  ~PausedAtSignalPoint() {
    if (uses_ != nullptr) uses_->paused_at_signal_point.fetch_sub(1);
  }
  PausedAtSignalPoint(const PausedAtSignalPoint&) = delete;
  PausedAtSignalPoint& operator=(const PausedAtSignalPoint&) = delete;

 private:
  Uses* uses_;
};

bool handler_raised(void* uses_of_the_call) {
  const PausedAtSignalPoint paused(static_cast<Uses*>(uses_of_the_call));
  if (!kPyPy) return PyErr_CheckSignals() < 0;
  if (!pypy_runs_handlers_in_this_thread()) return false;
  Ref result = Ref::steal(PyObject_CallNoArgs(pypy_signal_point));
  return !result;
}

}  // namespace

void create_signal_point() {
  if (!kPyPy || pypy_signal_point != nullptr) return;
  pypy_signal_point = defined_in_fresh_globals("def signal_point():\n    pass\n", "signal_point").release();
}

Interruption interruption_by_signals() { return Interruption(handler_raised, Borrow::innermost()); }

}  // namespace tamsel::python
