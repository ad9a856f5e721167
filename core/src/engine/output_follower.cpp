#include "engine/output_follower.h"

#include <utility>

namespace quillbox {

DefaultOutputFollower::DefaultOutputFollower(std::shared_ptr<CapturePlatform> platform,
                                             Changed changed)
    : platform_(std::move(platform)), changed_(std::move(changed)) {
  thread_ = std::thread([this] { run(); });
}

DefaultOutputFollower::~DefaultOutputFollower() {
  stop();
}

void DefaultOutputFollower::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void DefaultOutputFollower::signal() {
  {
    std::lock_guard lock(mutex_);
    signalled_ = true;
  }
  wake_.notify_all();
}

void DefaultOutputFollower::run() {
  // The device followed so far is read before the watch begins: a change in
  // between is then told by the watch and found to differ.
  std::optional<std::string> followed;
  if (auto device = platform_->default_output_device()) followed = device->id;
  std::unique_ptr<DefaultOutputWatch> watch = platform_->watch_default_output([this] { signal(); });
  if (!watch) return;
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return signalled_ || stopping_; });
    if (stopping_) break;
    signalled_ = false;
    lock.unlock();
    // Systems tell of other changes too (another role, the default input):
    // only another device counts.
    if (auto device = platform_->default_output_device(); device && device->id != followed) {
      followed = device->id;
      changed_(*device);
    }
    lock.lock();
  }
  lock.unlock();
  watch.reset();
}

}  // namespace quillbox
