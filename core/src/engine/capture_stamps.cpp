#include "engine/capture_stamps.h"

#include <algorithm>

namespace quillbox {
namespace {

using std::chrono::nanoseconds;

// A measurement this much later than the frames say, with too little queued
// to cover it, is lost audio.
constexpr std::chrono::milliseconds GAP{50};
// Smaller differences move the times by this fraction per delivery, and by
// at most 1 % of the delivery's length: far more than any clock's drift.
constexpr int STEER_DIVISOR = 32;

}  // namespace

CaptureTime CaptureStamps::place(CaptureTime measured, std::size_t frames, CaptureTime now,
                                 std::size_t queued, bool lost_before) {
  // What is queued was captured by now: its first frame its length earlier
  // at the latest (a burst stamped on arrival is held back to that).
  const CaptureTime latest = now - length(std::max(queued, frames));
  measured = std::min(measured, latest);
  const nanoseconds late = measured - next_;
  if (!placed_any_ || lost_before || late > GAP) {
    // Frames went missing (a pause, an overrun): the audio starts afresh at
    // its measurement.
    next_ = measured;
    placed_any_ = true;
  } else {
    const auto most = length(frames) / 100;
    next_ += std::clamp<nanoseconds>(late / STEER_DIVISOR, -most, most);
  }
  next_ = std::min(next_, latest);
  const CaptureTime time = next_;
  next_ += length(frames);
  return time;
}

}  // namespace quillbox
