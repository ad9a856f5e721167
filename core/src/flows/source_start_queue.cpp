#include "flows/source_start_queue.h"

#include <utility>

namespace quillbox {

void SourceStartQueue::push(SourceStartResult result) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(result));
  }
  arrived_.notify_all();
}

std::optional<SourceStartResult> SourceStartQueue::take() {
  std::lock_guard lock(mutex_);
  if (queue_.empty()) return std::nullopt;
  return pop();
}

std::optional<SourceStartResult> SourceStartQueue::wait_take(
    std::chrono::steady_clock::duration timeout) {
  std::unique_lock lock(mutex_);
  if (!arrived_.wait_for(lock, timeout, [&] { return !queue_.empty(); })) return std::nullopt;
  return pop();
}

SourceStartResult SourceStartQueue::pop() {
  SourceStartResult result = std::move(queue_.front());
  queue_.pop_front();
  return result;
}

void SourceStartQueue::clear() {
  std::deque<SourceStartResult> dropped;
  // What is dropped is destroyed after the lock is released.
  std::lock_guard lock(mutex_);
  dropped.swap(queue_);
}

}  // namespace quillbox
