#include "audio_buf.h"

#include <utility>

namespace quillbox {

void AudioBuf::push(Chunk chunk) {
  Chunk dropped;  // released after the lock, so the callback never frees under it
  {
    std::lock_guard lock(mutex_);
    if (chunks_.size() < MAX_QUEUED_CHUNKS) {
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

}  // namespace quillbox
