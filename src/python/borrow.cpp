#include "python/borrow.hpp"

#include <chrono>
#include <thread>

#include "python/messages.hpp"

namespace tamsel::python {
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

}  // namespace tamsel::python
