#include "engine/pass_clock.h"

#include <thread>

namespace quillbox {

namespace {

class RealPassClock final : public PassClock {
 public:
  void sleep_for(std::chrono::nanoseconds duration, const std::atomic<bool>&) override {
    std::this_thread::sleep_for(duration);
  }
  time_point now() override { return std::chrono::steady_clock::now(); }
};

}  // namespace

std::shared_ptr<PassClock> real_pass_clock() {
  static const auto clock = std::make_shared<RealPassClock>();
  return clock;
}

}  // namespace quillbox
