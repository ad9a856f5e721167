#pragma once

// The processor's sense of time: the pause between its passes and the
// monotonic clock. Recordings use the real one; tests and benchmarks drive
// the processor with their own.

#include <atomic>
#include <chrono>
#include <memory>

namespace quillbox {

class PassClock {
 public:
  using time_point = std::chrono::steady_clock::time_point;
  virtual ~PassClock() = default;
  // Pauses the calling pass. `stop` is the recording's stop flag; a clock
  // that waits for something else must not outwait it.
  virtual void sleep_for(std::chrono::nanoseconds duration, const std::atomic<bool>& stop) = 0;
  virtual time_point now() = 0;
  // Called once `stop` is set: a pause under way ends now rather than at
  // its end, so a stop waits for no pass.
  virtual void wake() {}
};

// Pauses that end early when woken, and std::chrono::steady_clock.
std::shared_ptr<PassClock> real_pass_clock();

}  // namespace quillbox
