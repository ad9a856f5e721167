#include "engine/capture_stamps.h"

#include <algorithm>

namespace quillbox {
namespace {

using std::chrono::nanoseconds;

// A measurement this much later than the frames say, with too little queued
// to cover it, is lost audio.
constexpr std::chrono::milliseconds GAP{50};
// A paced reader steers by its least lateness over stretches of this length.
constexpr std::chrono::seconds STRETCH{1};
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
  if (!placed_any_ || lost_before || late > GAP + pace_) {
    // Frames went missing (a pause, an overrun): the audio starts afresh at
    // its measurement.
    next_ = measured;
    placed_any_ = true;
    least_ = least_before_ = nanoseconds::zero();
    stretch_ = nanoseconds::zero();
  } else {
    const auto most = length(frames) / 100;
    const nanoseconds steer =
        std::clamp<nanoseconds>(drift(late, frames) / STEER_DIVISOR, -most, most);
    move(steer);
  }
  move(std::min(next_, latest) - next_);
  const CaptureTime time = next_;
  next_ += length(frames);
  return time;
}

void CaptureStamps::move(nanoseconds by) {
  next_ += by;
  least_ -= by;
  least_before_ -= by;
}

nanoseconds CaptureStamps::drift(nanoseconds late, std::size_t frames) {
  if (pace_ <= nanoseconds::zero()) return late;
  // A stretch starts from its first lateness. Right after a fresh start the
  // stretch before stands for the start's own measurement, which was taken
  // as it is (lateness nothing).
  least_ = stretch_ == nanoseconds::zero() ? late : std::min(least_, late);
  stretch_ += length(frames);
  const nanoseconds least = std::min(least_, least_before_);
  if (stretch_ >= STRETCH) {
    least_before_ = least_;
    stretch_ = nanoseconds::zero();
  }
  return least;
}

}  // namespace quillbox
