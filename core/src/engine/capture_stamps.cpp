#include "engine/capture_stamps.h"

#include <algorithm>

namespace quillbox {
namespace {

using std::chrono::nanoseconds;

// A measurement this much later than the frames say may mean lost audio...
constexpr std::chrono::milliseconds GAP{50};
// ...once every measurement read during this long has been that late.
constexpr std::chrono::milliseconds CONFIRM{250};
// Smaller differences move the times by this fraction per delivery, and by
// at most 1 % of the delivery's length: far more than any clock's drift.
constexpr int STEER_DIVISOR = 32;

}  // namespace

CaptureTime CaptureStamps::place(CaptureTime measured, std::size_t frames, CaptureTime now,
                                 bool lost_before) {
  if (!placed_any_ || lost_before) {
    next_ = measured;
    placed_any_ = true;
    behind_ = false;
  }
  const nanoseconds late = measured - next_;
  if (late > GAP) {
    if (!behind_) {
      behind_ = true;
      behind_since_ = now;
      least_behind_ = late;
    }
    least_behind_ = std::min(least_behind_, late);
    // Audio went missing: the times jump by what was surely lost. The
    // audio read while that was confirmed stays before the jump.
    if (now - behind_since_ >= CONFIRM) {
      next_ += least_behind_;
      behind_ = false;
    }
  } else {
    behind_ = false;
    const auto most = length(frames) / 100;
    next_ += std::clamp<nanoseconds>(late / STEER_DIVISOR, -most, most);
  }
  next_ = std::min(next_, now - length(frames));
  const CaptureTime time = next_;
  next_ += length(frames);
  return time;
}

}  // namespace quillbox
