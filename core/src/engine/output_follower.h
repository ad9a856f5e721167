#pragma once

// System audio is what the default output device plays, so a recording
// follows that device when the user picks another (or plugs in headphones).
// The follower watches the default output on a thread of its own and tells
// its owner each time it is another device than before.

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "engine/capture.h"

namespace quillbox {

class DefaultOutputFollower {
 public:
  // Called on the follower's thread with the new default output device.
  using Changed = std::function<void(const OutputDeviceInfo& device)>;

  // Starts the follower's thread (std::system_error when there is none to be
  // had). The watch is made and dropped on that thread, as a system that
  // binds it to its thread (COM) needs.
  DefaultOutputFollower(std::shared_ptr<CapturePlatform> platform, Changed changed);
  // Stops and joins the thread.
  ~DefaultOutputFollower();
  DefaultOutputFollower(const DefaultOutputFollower&) = delete;
  DefaultOutputFollower& operator=(const DefaultOutputFollower&) = delete;

  // Stops watching and joins the thread once `changed` has returned. Later
  // calls do nothing.
  void stop();

 private:
  void run();
  void signal();

  std::shared_ptr<CapturePlatform> platform_;
  Changed changed_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool signalled_ = false;  // under mutex_
  bool stopping_ = false;   // under mutex_
  std::thread thread_;
};

}  // namespace quillbox
