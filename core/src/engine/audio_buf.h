#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillbox {

// The most audio a source's buffer holds: a processor that cannot write for
// longer than this (a disk or network share that blocks) loses the newest
// audio. Counted in time, so a source that delivers small chunks holds as
// much as one with large chunks, and memory stays in proportion to its rate.
inline constexpr std::chrono::seconds MAX_QUEUED_TIME{40};

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

// Audio a full buffer had no room for: `length` of it, captured from `begin`
// on. The chunks dropped while the buffer stayed full make one stretch.
struct DroppedAudio {
  CaptureTime begin{};
  std::chrono::nanoseconds length{0};
  friend bool operator==(const DroppedAudio&, const DroppedAudio&) = default;
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
// and the processor, holding at most `MAX_QUEUED_TIME` of audio at the
// capture's rate and channel count. Once a chunk finds it full it refuses
// the newest chunks until the processor has taken what is queued: the
// processor continues with the oldest audio, and the dropped audio is one
// stretch, counted with its capture time and length, that the recording
// reports and keeps as silence at its true time. The lock is held only to
// append or to swap the list; no samples are copied under it.
//
// A capture that ends by itself after its start (a stream error, a vanished
// device, a loopback setup that failed on its thread) says so once through
// `fail`; the recording writes its error file and that line to standard
// error once, and the buffer accepts nothing more from it. A capture started
// afterwards into the same buffer (`restart`) is accepted again.
class AudioBuf {
 public:
  // The format the samples are taken to be in until `set_format`.
  explicit AudioBuf(std::uint32_t rate = 48000, std::uint16_t channels = 2);

  // The rate and channel count of the capture that fills the buffer: they
  // bound the queue and time what is dropped. Chunks already queued stay.
  void set_format(std::uint32_t rate, std::uint16_t channels);

  void push(Chunk chunk);
  // Moves every queued chunk out, oldest first.
  std::vector<Chunk> take_all();
  // Every stretch dropped so far, oldest first.
  std::vector<DroppedAudio> dropped() const;

  // Records the capture's failure (the first one wins; later pushes are
  // dropped). Safe from any thread; waits for nothing but the lock.
  void fail(CaptureFailure failure);
  void fail(std::string line) { fail(CaptureFailure{std::move(line), std::nullopt}); }
  // Whether the capture filling the buffer has failed.
  bool failed() const { return failed_.load(std::memory_order_acquire); }
  // A failure not yet handed out, once.
  std::optional<CaptureFailure> take_failure();
  // The line of the last failure, handed out or not.
  std::optional<std::string> failure_line() const;
  // Another capture is about to fill the buffer: the last one's failure no
  // longer refuses its chunks (a failure not yet handed out still is).
  void restart();

 private:
  mutable std::mutex mutex_;
  std::vector<Chunk> chunks_;
  std::size_t queued_samples_ = 0;     // under mutex_
  std::size_t limit_samples_ = 0;      // under mutex_
  std::uint32_t rate_ = 0;             // under mutex_
  std::uint16_t channels_ = 0;         // under mutex_
  bool full_ = false;                  // under mutex_: refusing until the next take_all
  std::vector<DroppedAudio> dropped_;  // under mutex_
  std::atomic<bool> failed_{false};
  std::atomic<bool> untold_{false};
  std::optional<CaptureFailure> failure_;  // under mutex_
};

}  // namespace quillbox
