// The uses that calls hold of one index, and the refusal of re-entry.
#pragma once

#include <atomic>
#include <cstdint>

namespace tamsel::python {

// The uses held of one index, each from before its call's arguments are
// converted until its result no longer refers to the index.
struct Uses {
  // 0 free, n > 0 shared uses, -1 the exclusive use.
  std::atomic<std::intptr_t> held{0};
  // How many of the held uses belong to calls paused at a signal point of a
  // long operation (signals.hpp). Such a call runs interpreter code there
  // (signal handlers; under PyPy, any entry into its code), which may let
  // another thread run; it then goes on with its own work, which waits for no
  // thread, to its end.
  std::atomic<std::intptr_t> paused_at_signal_point{0};
};

enum class Use { Shared, Exclusive };

// Holds one use of an index for the length of a call. A use that conflicts
// with those held waits, with the interpreter lock released, while every one
// of them belongs to a call of another thread paused at a signal point: that
// is the wait for the interpreter lock that those calls would otherwise hold
// throughout. Any other conflict is refused at once with RuntimeError: a use
// of this same thread is a re-entry (from the conversion of an argument or
// from a signal handler), and a call of another thread that is converting its
// arguments may be running code that waits for this thread. (A handler that
// waits for a thread that waits here waits forever, as it would for a lock.)
class Borrow {
 public:
  Borrow(Uses& uses, Use use);
  ~Borrow();
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;

  // The index of the innermost use this thread holds (null: none): the one
  // whose call runs the long operation that asks for it.
  static Uses* innermost();

 private:
  bool held_by_this_thread() const;

  Uses& uses_;
  Use use_;
  Borrow* outer_;  // the use this thread held before this one, if any
};

}  // namespace tamsel::python
