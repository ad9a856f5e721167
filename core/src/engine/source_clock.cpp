#include "engine/source_clock.h"

#include <algorithm>
#include <cmath>

namespace quillbox {
namespace {

// Stamps of a stream's first seconds after an anchor are left out of the
// fit: a server's latency reports move by tens of milliseconds while a
// stream settles (measured on PulseAudio).
constexpr double SETTLE_S = 5;
// Seconds of settled stamps the fit needs before it is trusted.
constexpr std::size_t MIN_FIT_SECONDS = 20;
// A clock is followed only when its stamps establish a drift beyond their
// noise: a slope this many standard errors from zero and beyond the floor
// (stamps of one clock were seen to wander that much over seconds), or
// audio this many times the stamps' scatter off them and beyond the floor.
// Below that a clock keeps time as far as anyone can tell, and its samples
// pass unchanged.
constexpr double SLOPE_MARGIN = 5;
constexpr double DRIFT_FLOOR = 10e-6;
constexpr double LATENESS_MARGIN = 5;
constexpr double LATENESS_FLOOR_S = 0.02;
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
  if (x < SETTLE_S) return;
  const auto second = static_cast<std::int64_t>(x);
  if (second != bucket_second_) {
    if (bucket_second_ >= 0) bucket_ = (bucket_ + 1) % WINDOW_BUCKETS;
    buckets_[bucket_] = Bucket{};
    bucket_second_ = second;
  }
  Bucket& b = buckets_[bucket_];
  b.n += 1;
  b.sx += x;
  b.sr += t - anchor_t_ - x;
}

// A line through the stamps' per-second means, oldest first. The means of
// neighbouring seconds err alike when the stamps wander rather than jitter,
// so the slope's standard error grows with their correlation.
bool SourceClock::fit(Fit& out) const {
  std::array<double, WINDOW_BUCKETS> xs{};
  std::array<double, WINDOW_BUCKETS> rs{};
  std::size_t m = 0;
  double mx = 0, mr = 0;
  for (std::size_t k = 1; k <= WINDOW_BUCKETS; ++k) {
    const Bucket& b = buckets_[(bucket_ + k) % WINDOW_BUCKETS];
    if (b.n == 0) continue;
    xs[m] = b.sx / b.n;
    rs[m] = b.sr / b.n;
    mx += xs[m];
    mr += rs[m];
    ++m;
  }
  if (m < MIN_FIT_SECONDS) return false;
  mx /= static_cast<double>(m);
  mr /= static_cast<double>(m);
  double sxx = 0, sxr = 0;
  for (std::size_t i = 0; i < m; ++i) {
    sxx += (xs[i] - mx) * (xs[i] - mx);
    sxr += (xs[i] - mx) * (rs[i] - mr);
  }
  if (!(sxx > 0)) return false;
  out.slope = sxr / sxx;
  out.intercept = mr - out.slope * mx;
  double see = 0, lagged = 0, previous = 0;
  for (std::size_t i = 0; i < m; ++i) {
    const double e = rs[i] - out.intercept - out.slope * xs[i];
    see += e * e;
    if (i > 0) lagged += e * previous;
    previous = e;
  }
  const double variance = see / static_cast<double>(m - 2);
  const double rho = see > 0 ? std::clamp(lagged / see, 0.0, 0.95) : 0.0;
  out.slope_error = std::sqrt(variance / sxx * (1 + rho) / (1 - rho));
  out.scatter = std::sqrt(variance);
  return true;
}

double SourceClock::lateness() const {
  if (!fitted_) return 0;
  const double x = frames_since_anchor_ / nominal_;
  return cursor_ - (anchor_t_ + x + intercept_ + drift_ * x);
}

void SourceClock::update_rate() {
  Fit f;
  if (!fit(f)) return;
  fitted_ = true;
  drift_ = std::clamp(f.slope, -MAX_DRIFT, MAX_DRIFT);
  intercept_ = f.intercept;
  const double late = lateness();
  if (!correcting_ && (std::abs(f.slope) > std::max(DRIFT_FLOOR, SLOPE_MARGIN * f.slope_error) ||
                       std::abs(late) > std::max(LATENESS_FLOOR_S, LATENESS_MARGIN * f.scatter)))
    correcting_ = true;
  if (!correcting_) return;
  const double pull = std::clamp(late / PULL_SECONDS, -MAX_PULL, MAX_PULL);
  applied_rate_ = nominal_ / (1.0 + drift_ - pull);
}

}  // namespace quillbox
