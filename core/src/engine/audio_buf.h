#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillbox {

// The most chunks a source's buffer holds; at about 10 ms a chunk that is
// roughly 40 seconds of backlog.
inline constexpr std::size_t MAX_QUEUED_CHUNKS = 4000;

// A moment on the processor's monotonic clock (steady_clock in a real
// recording, a virtual clock in tests).
using CaptureTime = std::chrono::steady_clock::time_point;

// Interleaved float samples as one capture delivered them, with the capture
// time of their first frame: the device's own timestamp where the system
// gives one, else the arrival time less the chunk's duration.
struct Chunk {
  std::vector<float> samples;
  CaptureTime time{};

  std::size_t size() const { return samples.size(); }
  bool empty() const { return samples.empty(); }
  friend bool operator==(const Chunk&, const Chunk&) = default;
};

// A file a failed capture leaves for the user, with its whole text.
struct ErrorFile {
  std::filesystem::path path;
  std::string text;
};

// What a capture that ended by itself leaves: the line the recording writes
// to standard error and, for a loopback whose setup failed, an error file.
// A capture's thread may be the sound system's callback thread that every
// stream shares, so it only records the failure; whoever takes it writes
// the file (see `take_capture_failure`).
struct CaptureFailure {
  std::string line;
  std::optional<ErrorFile> file;
};

// A bounded first-in-first-out queue of sample chunks between one capture
// and the processor. When it is full the newest chunk is dropped, so a
// processor that falls behind and recovers continues with the oldest audio.
// The lock is held only to append or to swap the list; no samples are copied
// under it.
//
// A capture that ends by itself after its start (a stream error, a vanished
// device, a loopback setup that failed on its thread) says so once through
// `fail`; the recording writes its error file and that line to standard
// error once, and the buffer accepts nothing more from it.
class AudioBuf {
 public:
  void push(Chunk chunk);
  // Moves every queued chunk out, oldest first.
  std::vector<Chunk> take_all();

  // Records the capture's failure (the first one wins; later pushes are
  // dropped). Safe from any thread; waits for nothing but the lock.
  void fail(CaptureFailure failure);
  void fail(std::string line) { fail(CaptureFailure{std::move(line), std::nullopt}); }
  bool failed() const { return failed_.load(std::memory_order_acquire); }
  // The failure, handed out once.
  std::optional<CaptureFailure> take_failure();

 private:
  std::mutex mutex_;
  std::vector<Chunk> chunks_;
  std::atomic<bool> failed_{false};
  std::optional<CaptureFailure> failure_;  // under mutex_
  bool failure_taken_ = false;             // under mutex_
};

}  // namespace quillbox
