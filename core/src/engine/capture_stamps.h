#pragma once

// Capture times of a stream's successive deliveries. What a capture can
// measure (its device's position stamps, or arrival less the latency) jitters
// with the scheduling of the thread that reads it; a busy system, or a driver
// that reads its device on a timer, hands over seconds of audio in bursts all
// stamped with their arrival. The frames a device delivers are contiguous
// unless it loses some, so the times follow the frames: the measurements only
// steer them slowly (clock drift), and a measurement later than the frames
// say is taken for lost audio (a stall, an overrun) only once it stays that
// late while deliveries keep their pace. A burst catches up with its
// measurements, a real gap does not. Owned by the thread that reads.

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "engine/audio_buf.h"

namespace quillbox {

// How long `frames` frames at `rate` last (nothing at rate 0).
inline std::chrono::nanoseconds frames_length(std::uint64_t frames, std::uint32_t rate) {
  return std::chrono::nanoseconds(
      rate == 0 ? 0 : static_cast<std::int64_t>(frames) * 1'000'000'000 / rate);
}

class CaptureStamps {
 public:
  explicit CaptureStamps(std::uint32_t rate) : rate_(rate == 0 ? 1 : rate) {}

  // The capture time of a delivery of `frames` frames whose first frame was
  // measured at `measured`, read at `now`. A delivery never ends after now.
  // `lost_before` says the device itself reports audio lost before this
  // delivery: its measurement is taken as it is.
  CaptureTime place(CaptureTime measured, std::size_t frames, CaptureTime now,
                    bool lost_before = false);

 private:
  std::chrono::nanoseconds length(std::size_t frames) const { return frames_length(frames, rate_); }

  std::uint32_t rate_;
  bool placed_any_ = false;
  CaptureTime next_{};  // where the next delivery starts if nothing goes missing
  // Since when (read time) every measurement has been later than a gap, and
  // by at least how much.
  bool behind_ = false;
  CaptureTime behind_since_{};
  std::chrono::nanoseconds least_behind_{};
};

}  // namespace quillbox
