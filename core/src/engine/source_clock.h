#pragma once

// Where a source's audio belongs on the session timeline. A capture stamps
// every chunk with the time its first frame was captured; this follows those
// times against the frames the source has delivered, so the processor can
// place the audio at its true time: a gap in delivery becomes silence of the
// gap's length, and a device whose clock runs fast or slow is resampled to
// the timeline's clock. Times are seconds since the recording's start on the
// processor's clock. Owned by the processor thread.

#include <array>
#include <cstddef>
#include <cstdint>

namespace quillbox {

// Lateness beyond which a source that delivers nothing is taken to be silent
// (a stalled device, a late first packet, loopback of a device that plays
// nothing): the mix and the stems wait this long for it, no longer. Drivers
// of busy systems deliver in bursts a few hundred milliseconds apart; files
// lose nothing by waiting that long.
inline constexpr double LATENCY_ALLOWANCE_S = 0.5;
// Deviation of a chunk's stamp from where the source's audio has reached that
// counts as timestamp jitter, not as a gap.
inline constexpr double JITTER_TOLERANCE_S = 0.02;

class SourceClock {
 public:
  explicit SourceClock(std::uint32_t nominal_rate);

  // A stream (re)starts: the next frame fed is placed at timeline time `at`.
  // What was learnt of the device's clock rate is kept.
  void restart(double at);

  // A chunk of `frames` frames whose first frame was captured at `t`. Returns
  // the frames of silence to put before it: the gap since the source's audio
  // last ended, when larger than the jitter tolerance or when the chunk is
  // the first of a stream or after padding. Audio stamped earlier
  // than where the source has reached (late arrival) is placed right there:
  // nothing is ever dropped. Advances the source's position past the chunk.
  std::uint64_t place(double t, std::size_t frames);

  // Frames of silence that bring the source's position up to `t` (nothing
  // when it is there already); the position moves with them.
  std::uint64_t fill_to(double t);

  // A pass at time `now` found chunks of this source (`arrived`) or none.
  // When nothing has arrived for longer than the source's allowance, the
  // source is silent up to `now` less the allowance: returns the frames of
  // silence that take it there. A source that keeps delivering, however
  // late its stamps, is never padded, so late audio cannot pile up behind
  // padding. A source whose audio turns up after it was padded delivers in
  // bursts (a busy system, an emulated driver): its allowance grows to cover
  // the delay seen, so it is waited for instead of padded again.
  std::uint64_t pass(double now, bool arrived);
  double allowance() const { return allowance_; }

  // Where the next frame goes, in seconds on the timeline.
  double position() const { return cursor_; }

  // The device's rate as the timeline's clock measures it, with a slow pull
  // towards the captured times; the nominal rate until a correction is
  // needed. Updated as chunks arrive. A correction is needed only when the
  // stamps establish it beyond their own noise: a fitted drift far beyond
  // its standard error and beyond a floor, or audio that sits off its
  // stamps by far more than they scatter. Stamps of the first seconds after
  // an anchor count for nothing: a stream's latency reports settle then.
  double rate() const { return applied_rate_; }
  // Whether the device's clock is being followed (then its audio is
  // resampled, also at the session rate).
  bool correcting() const { return correcting_; }

  // Seconds the source's audio sits later than its capture stamps, as the
  // fitted line through them says (0 while too little is known).
  double lateness() const;

 private:
  struct Bucket {
    double n = 0, sx = 0, sr = 0;
  };
  // The fitted line through the stamps and how well the stamps establish it.
  struct Fit {
    double slope = 0, intercept = 0;
    double slope_error = 0;  // standard error of the slope
    double scatter = 0;      // of the stamps about the line (per-second means)
  };
  static constexpr std::size_t WINDOW_BUCKETS = 120;  // one a second

  void observe(double t, double x);
  void reanchor(double t);
  void update_rate();
  bool fit(Fit& out) const;

  std::uint32_t nominal_;
  double cursor_ = 0;  // timeline seconds of the next frame
  double last_arrival_ = 0;
  double allowance_ = LATENCY_ALLOWANCE_S;
  bool padded_ = false;  // silence was added since the last chunk arrived
  // The fit of capture stamps: residual r = t - anchor_t - x against x, the
  // nominal seconds of real frames since the anchor.
  bool anchored_ = false;
  double anchor_t_ = 0;
  double frames_since_anchor_ = 0;
  std::array<Bucket, WINDOW_BUCKETS> buckets_{};
  std::size_t bucket_ = 0;  // index of the current one
  std::int64_t bucket_second_ = -1;
  double drift_ = 0;  // fitted: true seconds per nominal second, less one
  double intercept_ = 0;
  bool fitted_ = false;  // the current anchor's window is long enough
  bool correcting_ = false;
  double applied_rate_;
  double last_update_x_ = 0;
};

}  // namespace quillbox
