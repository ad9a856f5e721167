#include "engine/pass_clock.h"

#include <condition_variable>
#include <mutex>

namespace quillbox {

namespace {

// One clock serves every recording: a wake ends every pause under way, and
// each pause goes on unless its own stop flag is set.
class RealPassClock final : public PassClock {
 public:
  void sleep_for(std::chrono::nanoseconds duration, const std::atomic<bool>& stop) override {
    std::unique_lock lock(mutex_);
    woken_.wait_for(lock, duration, [&stop] { return stop.load(); });
  }
  time_point now() override { return std::chrono::steady_clock::now(); }
  void wake() override {
    std::lock_guard lock(mutex_);
    woken_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable woken_;
};

}  // namespace

std::shared_ptr<PassClock> real_pass_clock() {
  static const auto clock = std::make_shared<RealPassClock>();
  return clock;
}

}  // namespace quillbox
