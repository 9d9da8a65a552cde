#include "python/call.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace tamsel::python {

// ---------------------------------------------------------------- the borrow

namespace {

// This thread's innermost use; each use links the one it was taken under.
// Calls nest within a thread, so its uses end in the reverse order.
thread_local Borrow* innermost_use = nullptr;

bool take(Uses& uses, Use use) {
  if (use == Use::Exclusive) {
    std::intptr_t expected = 0;
    return uses.held.compare_exchange_strong(expected, -1);
  }
  std::intptr_t current = uses.held.load();
  do {
    if (current == -1) return false;
  } while (!uses.held.compare_exchange_weak(current, current + 1));
  return true;
}

bool all_paused_at_signal_points(const Uses& uses) {
  const std::intptr_t held = uses.held.load();
  return uses.paused_at_signal_point.load() == (held == -1 ? 1 : held);
}

// Long enough for a paused call to take the interpreter lock back before this
// thread asks for it again; short beside the calls that pause.
constexpr std::chrono::microseconds kWaitForPausedCalls{100};

void let_paused_calls_go_on() {
  PyThreadState* state = PyEval_SaveThread();
  std::this_thread::sleep_for(kWaitForPausedCalls);
  try {
    PyEval_RestoreThread(state);
  } catch (...) {
    // A finalizing CPython ends a daemon thread that asks for the lock back
    // by unwinding its stack (pthread_exit), which no noexcept call entry lets
    // through, and whose destructors would touch objects without the lock.
    // The thread stays here instead, holding nothing, until the process ends.
    // That unwinding is the only one a C function raises, and it has no
    // exception object: catching it by type binds a null reference.
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
}

[[noreturn]] void refuse(Use use) {
  if (use == Use::Shared) raise_already_mutably_borrowed();
  raise_already_borrowed();
}

}  // namespace

Borrow::Borrow(Uses& uses, Use use) : uses_(uses), use_(use), outer_(innermost_use) {
  while (!take(uses, use)) {
    if (held_by_this_thread() || !all_paused_at_signal_points(uses)) refuse(use);
    let_paused_calls_go_on();
  }
  innermost_use = this;
}

Borrow::~Borrow() {
  innermost_use = outer_;
  if (use_ == Use::Shared) uses_.held.fetch_sub(1);
  else uses_.held.store(0);
}

bool Borrow::held_by_this_thread() const {
  for (const Borrow* use = outer_; use != nullptr; use = use->outer_) {
    if (&use->uses_ == &uses_) return true;
  }
  return false;
}

Uses* Borrow::innermost() { return innermost_use != nullptr ? &innermost_use->uses_ : nullptr; }

// ---------------------------------------------------------------- signals during long operations

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
  Ref globals = checked(PyDict_New());
  Ref builtins = checked(PyImport_ImportModule("builtins"));
  if (PyDict_SetItemString(globals.get(), "__builtins__", builtins.get()) < 0) throw_pending();
  checked(PyRun_String("def signal_point():\n    pass\n", Py_file_input, globals.get(), globals.get()));
  PyObject* point = PyDict_GetItemString(globals.get(), "signal_point");
  if (point == nullptr) throw InternalFailure("the signal point is not defined");
  pypy_signal_point = Ref::borrow(point).release();
}

Interruption interruption_by_signals() { return Interruption(handler_raised, Borrow::innermost()); }

// ---------------------------------------------------------------- the type to build

void check_type_to_build(PyTypeObject* own, PyTypeObject* requested) {
  if (requested == own) return;
  if (requested == nullptr) raise_new_of_nothing(own);
  PyObject* object = reinterpret_cast<PyObject*>(requested);
  if (!PyType_Check(object)) raise_new_of_non_type(own, object);
  if (!PyType_IsSubtype(requested, own)) raise_new_of_non_subtype(own, requested);
  raise_subclass_refused(own);
}

// ---------------------------------------------------------------- binding

namespace {

// Puts one keyword argument into its slot.
// A constructor's keywords come in a dictionary, whose keys the interpreter
// does not check.
void bind_keyword(const char* qualified_name, std::span<const char* const> names, PyObject* keyword, PyObject* value,
                  PyObject** slots) {
  if (!PyUnicode_Check(keyword)) raise_keyword_not_text();
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, names[i]) == 0) {
      if (slots[i] != nullptr) raise_multiple_values(qualified_name, names[i]);
      slots[i] = value;
      return;
    }
  }
  raise_unexpected_keyword(qualified_name, keyword);
}

void require(const char* qualified_name, std::span<const char* const> names, std::size_t required, PyObject** slots) {
  for (std::size_t i = 0; i < required; ++i) {
    if (slots[i] == nullptr) raise_missing_argument(qualified_name, names[i]);
  }
}

}  // namespace

bool given_from(PyObject* const* slots, std::size_t first, std::size_t count) {
  for (std::size_t i = first; i < count; ++i) {
    if (slots[i] != nullptr && slots[i] != Py_None) return true;
  }
  return false;
}

void bind_arguments(const char* qualified_name, std::span<const char* const> names, std::size_t required,
                    PyObject* const* args, std::size_t nargs, PyObject* kwnames, PyObject** slots) {
  if (nargs > names.size()) raise_too_many_positional(qualified_name, names.size(), required, nargs);
  std::copy(args, args + nargs, slots);
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i)
      bind_keyword(qualified_name, names, PyTuple_GET_ITEM(kwnames, i), args[nargs + static_cast<std::size_t>(i)],
                   slots);
  }
  require(qualified_name, names, required, slots);
}

void bind_arguments(const char* qualified_name, std::span<const char* const> names, std::size_t required,
                    PyObject* args, PyObject* kwargs, PyObject** slots) {
  const std::size_t nargs = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  if (nargs > names.size()) raise_too_many_positional(qualified_name, names.size(), required, nargs);
  for (std::size_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject *keyword = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &position, &keyword, &value)) bind_keyword(qualified_name, names, keyword, value, slots);
  }
  require(qualified_name, names, required, slots);
}

}  // namespace tamsel::python
