#pragma once

// Capture times of a stream's successive deliveries. What a capture can
// measure (its device's position stamps, or arrival less the latency) jitters
// with the scheduling of the thread that reads it; a busy system, or a driver
// that reads its device on a timer, hands over seconds of audio in bursts all
// stamped with their arrival. The frames a device delivers are contiguous
// unless it loses some, so the times follow the frames and the measurements
// only steer them slowly (clock drift).
//
// A burst and a pause look alike in one measurement (both are late against
// the frames) but not in what waits to be read: after a burst the backlog
// covers the lateness, after a pause (a suspended device, a loopback of a
// device that played nothing, an overrun) only a packet or two is there.
// Everything queued was captured by the moment it is read, so a measurement
// is held to that; one that is still later than the frames say is lost audio,
// taken at once.
//
// A reader that looks at its device at a pace of its own, rather than as
// audio comes, finds audio that waited up to that pace: its measurements run
// late by anything up to the pace with nothing lost. Its lost audio is what
// is later than the pace explains, and it steers by the least lateness of a
// recent stretch (a look that came right after the audio did) instead of by
// each measurement. Owned by the thread that reads.

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
  // `pace`: how long the reader may leave delivered audio unread (nothing
  // for one that reads as audio comes).
  explicit CaptureStamps(std::uint32_t rate, std::chrono::nanoseconds pace = {})
      : rate_(rate == 0 ? 1 : rate), pace_(pace) {}

  // The capture time of a delivery of `frames` frames whose first frame was
  // measured at `measured`, read at `now`, when `queued` frames could be read
  // at that moment from its first frame on (itself included; what a reader
  // drained at once). Neither the delivery nor what is queued behind it ends
  // after now. `lost_before` says the device itself reports audio lost
  // before this delivery: its measurement is taken as it is.
  CaptureTime place(CaptureTime measured, std::size_t frames, CaptureTime now, std::size_t queued,
                    bool lost_before = false);
  // Whether any delivery was placed yet.
  bool placed_any() const { return placed_any_; }

 private:
  std::chrono::nanoseconds length(std::size_t frames) const { return frames_length(frames, rate_); }

  // Moves where the next delivery starts by `by`.
  void move(std::chrono::nanoseconds by);
  // How much of a paced reader's lateness `late` is drift.
  std::chrono::nanoseconds drift(std::chrono::nanoseconds late, std::size_t frames);

  std::uint32_t rate_;
  std::chrono::nanoseconds pace_;
  bool placed_any_ = false;
  CaptureTime next_{};  // where the next delivery starts if nothing goes missing
  // A paced reader's least lateness in the stretch so far and in the one
  // before, against `next_` as it is now, and how long the stretch so far is.
  std::chrono::nanoseconds least_{};
  std::chrono::nanoseconds least_before_{};
  std::chrono::nanoseconds stretch_{};
};

}  // namespace quillbox
