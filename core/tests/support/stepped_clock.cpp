#include "stepped_clock.h"

#include <algorithm>
#include <utility>

namespace quillbox::synthetic {

SteppedClock::SteppedClock(std::shared_ptr<SyntheticCapture> capture)
    : capture_(std::move(capture)), start_(capture_->now()), now_(start_), limit_(start_) {}

void SteppedClock::sleep_for(std::chrono::nanoseconds duration, const std::atomic<bool>& stop) {
  time_point reached;
  {
    std::unique_lock lock(mutex_);
    const time_point target = now_ + duration + overhead_[next_overhead_];
    next_overhead_ = (next_overhead_ + 1) % overhead_.size();
    // The stop flag belongs to the recorder, which cannot wake us: look at it
    // every millisecond.
    while (limit_ && target > *limit_ && !stop.load()) {
      if (delivered_ < *limit_) {
        // The captures run on while the processor sleeps: what is due by the
        // limit is delivered before the test hears of the park.
        const time_point to = *limit_;
        lock.unlock();
        capture_->advance_to(to);
        lock.lock();
        delivered_ = std::max(delivered_, to);
        continue;
      }
      if (parked_at_ != target) {
        parked_at_ = target;
        changed_.notify_all();
      }
      changed_.wait_for(lock, std::chrono::milliseconds(1));
    }
    parked_at_.reset();
    reached = limit_ ? std::min(target, *limit_) : target;
    now_ = std::max(now_, reached);
    ++passes_;
  }
  // Outside our lock: delivery takes the capture's own locks.
  capture_->advance_to(reached);
}

void SteppedClock::hold_up(std::chrono::nanoseconds duration) {
  time_point reached;
  {
    std::lock_guard lock(mutex_);
    now_ += duration;
    reached = now_;
  }
  capture_->advance_to(reached);
}

SteppedClock::time_point SteppedClock::present() const {
  // A processor parked in a pause that spans the limit sleeps through it, as
  // a real one sleeps while the wall clock runs: the moment is the limit.
  if (parked_at_ && limit_) return std::max(now_, *limit_);
  return now_;
}

SteppedClock::time_point SteppedClock::now() {
  std::lock_guard lock(mutex_);
  return present();
}

void SteppedClock::set_pass_overhead(std::vector<std::chrono::nanoseconds> pattern) {
  if (pattern.empty()) pattern.push_back(std::chrono::nanoseconds(0));
  std::lock_guard lock(mutex_);
  overhead_ = std::move(pattern);
  next_overhead_ = 0;
}

bool SteppedClock::run_to(std::chrono::nanoseconds since_start, std::chrono::nanoseconds timeout) {
  std::unique_lock lock(mutex_);
  const time_point limit = start_ + since_start;
  limit_ = limit;
  changed_.notify_all();
  return changed_.wait_for(lock, timeout, [&] { return parked_at_ && *parked_at_ > limit; });
}

void SteppedClock::free_run() {
  std::lock_guard lock(mutex_);
  limit_.reset();
  changed_.notify_all();
}

std::uint64_t SteppedClock::passes() const {
  std::lock_guard lock(mutex_);
  return passes_;
}

std::chrono::nanoseconds SteppedClock::elapsed() const {
  std::lock_guard lock(mutex_);
  return present() - start_;
}

}  // namespace quillbox::synthetic
