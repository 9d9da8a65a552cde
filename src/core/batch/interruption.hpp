// A caller's way to stop a long operation partway.
//
// The operation reports its work as it goes, between two of its steps, where
// everything it has changed is whole; the caller's check runs at most once
// every few milliseconds of that work, so neither costs anything measurable.
#pragma once

#include <chrono>
#include <cstddef>

namespace tamsel {

class Interruption {
 public:
  // The caller's check: true when the operation must stop.
  using Check = bool (*)(void* context);

  Interruption() = default;  // never stops
  Interruption(Check check, void* context) : check_(check), context_(context), last_check_(Clock::now()) {}

  // `work`: numbers read or compared since the last report. True when the
  // operation must stop now.
  bool stop_after(std::size_t work) {
    if (check_ == nullptr) return false;
    work_ += work;
    if (work_ < kWorkBetweenClockReads) return false;
    work_ = 0;
    const Clock::time_point now = Clock::now();
    if (now - last_check_ < kTimeBetweenChecks) return false;
    last_check_ = now;
    return check_(context_);
  }

 private:
  using Clock = std::chrono::steady_clock;
  // About 20 to 60 microseconds of scoring: a clock read is lost in it.
  static constexpr std::size_t kWorkBetweenClockReads = std::size_t{1} << 16;
  static constexpr std::chrono::milliseconds kTimeBetweenChecks{2};

  Check check_ = nullptr;
  void* context_ = nullptr;
  std::size_t work_ = 0;
  Clock::time_point last_check_{};
};

}  // namespace tamsel
