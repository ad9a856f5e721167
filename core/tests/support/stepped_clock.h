#pragma once

// A pass clock that runs a recording in virtual time. The processor's pauses
// do not wait for the wall clock: each one moves virtual time on by the pause
// (plus an optional overhead) and makes the synthetic capture deliver what is
// due by then. The test decides how far virtual time may go; a pause that
// would pass that limit parks the processor until the limit is raised or the
// recording is stopped.
//
// How a test drives a recording:
//
//   auto capture = std::make_shared<SyntheticCapture>(config, Timing::Stepped);
//   auto clock = std::make_shared<SteppedClock>(capture);
//   env.capture = capture;
//   env.clock = clock;
//   auto recorder = Recorder::start(request, env);  // streams start at virtual 0
//   ASSERT_TRUE(clock->run_to(500ms));   // every pass up to 500 ms has run
//   recorder->set_source_enabled(...);   // switch sources while the processor is parked
//   ASSERT_TRUE(clock->run_to(1s));
//   auto result = std::move(*recorder).stop();  // the parked pause sees the stop flag
//
// A live start happens on a worker thread: wait for its outcome (and attach
// it) before the next run_to, so that it starts at a known virtual time.
// Benchmarks call free_run() instead: no limit, the processor runs as fast as
// it can. One processor uses a clock at a time.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "engine/pass_clock.h"
#include "synthetic_capture.h"

namespace quillbox::synthetic {

class SteppedClock final : public PassClock {
 public:
  // `capture` must use stepped timing; virtual time starts at its now().
  explicit SteppedClock(std::shared_ptr<SyntheticCapture> capture);

  // Moves virtual time on by `duration` plus the next overhead, unless that
  // passes the limit: then it waits until the limit is raised or `stop` is
  // set (and then goes no further than the limit).
  void sleep_for(std::chrono::nanoseconds duration, const std::atomic<bool>& stop) override;
  // The virtual time the passes reached, or the limit while a pause waits
  // for it (what the test ran to is then the present).
  time_point now() override;

  // The calling pass is held up for `duration`, as by a write that blocks:
  // virtual time moves on by it at once, past the limit if need be, and the
  // captures deliver what is due meanwhile.
  void hold_up(std::chrono::nanoseconds duration);

  // Extra virtual time per pause, used in turn (default {0}): passes that take
  // longer than their pause, as with a coarse system timer.
  void set_pass_overhead(std::vector<std::chrono::nanoseconds> pattern);

  // Lets virtual time run to `since_start` and waits until the processor is
  // parked in a pause that cannot pass it. False when that did not happen
  // within `timeout`.
  bool run_to(std::chrono::nanoseconds since_start,
              std::chrono::nanoseconds timeout = std::chrono::seconds(60));
  // No limit from now on.
  void free_run();

  // Pauses completed so far.
  std::uint64_t passes() const;
  // Virtual time since the start, as `now` tells it.
  std::chrono::nanoseconds elapsed() const;

 private:
  time_point present() const;  // under the lock

  std::shared_ptr<SyntheticCapture> capture_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  const time_point start_;
  time_point now_;
  std::optional<time_point> limit_;  // absent: free running
  std::vector<std::chrono::nanoseconds> overhead_{std::chrono::nanoseconds(0)};
  std::size_t next_overhead_ = 0;
  std::optional<time_point> parked_at_;  // the target of a pause waiting for the limit
  time_point delivered_{};               // the captures delivered up to here while parked
  std::uint64_t passes_ = 0;
};

}  // namespace quillbox::synthetic
