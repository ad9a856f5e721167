#include "engine/source_clock.h"

#include <algorithm>
#include <cmath>

namespace quillbox {
namespace {

// Seconds of stamps the fit needs before its slope is trusted.
constexpr std::size_t MIN_FIT_SECONDS = 10;
// A clock closer to the timeline than this, with audio this close to its
// stamps, is left alone: its samples pass unchanged.
constexpr double DRIFT_THRESHOLD = 2e-6;
constexpr double LATENESS_THRESHOLD_S = 0.002;
// The pull towards the stamps: lateness is worked off over this many
// seconds, never faster than the largest pull (inaudible: 200 ppm is a
// three-thousandth of a semitone).
constexpr double PULL_SECONDS = 20;
constexpr double MAX_PULL = 200e-6;
// Beyond this a device's clock is broken rather than drifting.
constexpr double MAX_DRIFT = 1e-3;
// The longest a bursty source is waited for before it is taken to be silent.
constexpr double MAX_ALLOWANCE_S = 2.0;

}  // namespace

SourceClock::SourceClock(std::uint32_t nominal_rate)
    : nominal_(nominal_rate == 0 ? 1 : nominal_rate), applied_rate_(nominal_) {}

void SourceClock::restart(double at) {
  cursor_ = at;
  last_arrival_ = at;
  anchored_ = false;
}

void SourceClock::reanchor(double t) {
  anchored_ = true;
  anchor_t_ = t;
  frames_since_anchor_ = 0;
  buckets_.fill(Bucket{});
  bucket_ = 0;
  bucket_second_ = -1;
  fitted_ = false;
  last_update_x_ = 0;
}

std::uint64_t SourceClock::place(double t, std::size_t frames) {
  std::uint64_t silence = 0;
  const double gap = t - cursor_;
  if (padded_ && gap < -JITTER_TOLERANCE_S) {
    // The padding was wrong: this audio was on its way. Wait longer next time.
    allowance_ = std::min(MAX_ALLOWANCE_S, std::max(allowance_, 2 * (allowance_ - gap)));
  }
  padded_ = false;
  if (!anchored_ || gap > JITTER_TOLERANCE_S) {
    // The device's frame count and its stamps part company here (a stall
    // that lost frames, a new stream): the audio starts at its stamp, and
    // the device's clock is measured afresh.
    silence = fill_to(t);
    reanchor(t);
  }
  const double x = frames_since_anchor_ / nominal_;
  observe(t, x);
  frames_since_anchor_ += static_cast<double>(frames);
  cursor_ += static_cast<double>(frames) / applied_rate_;
  if (x - last_update_x_ >= 1.0) {
    last_update_x_ = x;
    update_rate();
  }
  return silence;
}

std::uint64_t SourceClock::fill_to(double t) {
  if (t <= cursor_) return 0;
  const auto frames = static_cast<std::uint64_t>(std::llround((t - cursor_) * applied_rate_));
  cursor_ += static_cast<double>(frames) / applied_rate_;
  return frames;
}

std::uint64_t SourceClock::pass(double now, bool arrived) {
  if (arrived) {
    last_arrival_ = now;
    return 0;
  }
  if (now - last_arrival_ <= allowance_) return 0;
  const std::uint64_t frames = fill_to(now - allowance_);
  // Whatever comes next no longer continues the frames measured so far.
  if (frames > 0) {
    anchored_ = false;
    padded_ = true;
  }
  return frames;
}

void SourceClock::observe(double t, double x) {
  const auto second = static_cast<std::int64_t>(x);
  if (second != bucket_second_) {
    if (bucket_second_ >= 0) bucket_ = (bucket_ + 1) % WINDOW_BUCKETS;
    buckets_[bucket_] = Bucket{};
    bucket_second_ = second;
  }
  const double r = t - anchor_t_ - x;
  Bucket& b = buckets_[bucket_];
  b.n += 1;
  b.sx += x;
  b.sr += r;
  b.sxx += x * x;
  b.sxr += x * r;
}

bool SourceClock::fit(double& slope, double& intercept) const {
  Bucket all;
  std::size_t seconds = 0;
  for (const Bucket& b : buckets_) {
    if (b.n == 0) continue;
    ++seconds;
    all.n += b.n;
    all.sx += b.sx;
    all.sr += b.sr;
    all.sxx += b.sxx;
    all.sxr += b.sxr;
  }
  if (seconds < MIN_FIT_SECONDS) return false;
  const double det = all.n * all.sxx - all.sx * all.sx;
  if (!(det > 0)) return false;
  slope = (all.n * all.sxr - all.sx * all.sr) / det;
  intercept = (all.sr - slope * all.sx) / all.n;
  return true;
}

double SourceClock::lateness() const {
  if (!fitted_) return 0;
  const double x = frames_since_anchor_ / nominal_;
  return cursor_ - (anchor_t_ + x + intercept_ + drift_ * x);
}

void SourceClock::update_rate() {
  double slope = 0;
  double intercept = 0;
  if (fit(slope, intercept)) {
    fitted_ = true;
    drift_ = std::clamp(slope, -MAX_DRIFT, MAX_DRIFT);
    intercept_ = intercept;
  }
  if (!fitted_) return;
  const double late = lateness();
  if (!correcting_ && (std::abs(drift_) > DRIFT_THRESHOLD || std::abs(late) > LATENESS_THRESHOLD_S))
    correcting_ = true;
  if (!correcting_) return;
  const double pull = std::clamp(late / PULL_SECONDS, -MAX_PULL, MAX_PULL);
  applied_rate_ = nominal_ / (1.0 + drift_ - pull);
}

}  // namespace quillbox
