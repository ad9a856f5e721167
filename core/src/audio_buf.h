#pragma once

#include <cstddef>
#include <mutex>
#include <vector>

namespace quillbox {

// The most chunks a source's buffer holds; at about 10 ms a chunk that is
// roughly 40 seconds of backlog.
inline constexpr std::size_t MAX_QUEUED_CHUNKS = 4000;

using Chunk = std::vector<float>;

// A bounded first-in-first-out queue of sample chunks between one capture
// thread and the processor. When it is full the newest chunk is dropped, so a
// processor that falls behind and recovers continues with the oldest audio.
// The lock is held only to append or to swap the list; no samples are copied
// under it.
class AudioBuf {
 public:
  void push(Chunk chunk);
  // Moves every queued chunk out, oldest first.
  std::vector<Chunk> take_all();

 private:
  std::mutex mutex_;
  std::vector<Chunk> chunks_;
};

}  // namespace quillbox
