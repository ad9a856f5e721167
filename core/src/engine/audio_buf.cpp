#include "engine/audio_buf.h"

#include <utility>

namespace quillbox {

void AudioBuf::push(Chunk chunk) {
  Chunk dropped;  // released after the lock, so the callback never frees under it
  {
    std::lock_guard lock(mutex_);
    if (chunks_.size() < MAX_QUEUED_CHUNKS && !failure_) {
      chunks_.push_back(std::move(chunk));
      return;
    }
    dropped = std::move(chunk);
  }
}

std::vector<Chunk> AudioBuf::take_all() {
  std::vector<Chunk> out;
  {
    std::lock_guard lock(mutex_);
    out.swap(chunks_);
  }
  return out;
}

void AudioBuf::fail(CaptureFailure failure) {
  std::lock_guard lock(mutex_);
  if (failure_) return;
  failure_ = std::move(failure);
  failed_.store(true, std::memory_order_release);
}

std::optional<CaptureFailure> AudioBuf::take_failure() {
  if (!failed()) return std::nullopt;
  std::lock_guard lock(mutex_);
  if (failure_taken_) return std::nullopt;
  failure_taken_ = true;
  return failure_;
}

}  // namespace quillbox
