#pragma once

// The live starts' outcomes on their way from the recorder's workers to the
// UI thread: what a front end's `post_source_started` queues and its UI
// thread takes, oldest first.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

#include "engine/recorder.h"

namespace quillbox {

class SourceStartQueue {
 public:
  // From any thread.
  void push(SourceStartResult result);
  // The oldest outcome, or none when the queue is empty.
  std::optional<SourceStartResult> take();
  // The oldest outcome, waiting up to `timeout` for one to arrive.
  std::optional<SourceStartResult> wait_take(std::chrono::steady_clock::duration timeout);
  // Drops every queued outcome.
  void clear();

 private:
  // The front outcome; the lock is held and the queue is not empty.
  SourceStartResult pop();

  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<SourceStartResult> queue_;
};

}  // namespace quillbox
