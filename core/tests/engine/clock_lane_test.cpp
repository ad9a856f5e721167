// A source's clock and lane driven together as the processor drives them,
// for as long as a recording may last: a device's packets are stamped the
// way a real reader stamps them (its measurement through `CaptureStamps`),
// placed by the `SourceClock`, converted by the `SourceLane`, and the lane
// follows the clock's rate when it corrects. What comes out of the lane is
// the source's audio on the timeline from frame 0.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "engine/capture_stamps.h"
#include "engine/source_clock.h"
#include "engine/source_lane.h"

namespace quillbox {
namespace {

constexpr std::uint32_t SESSION_RATE = 48000;

// Three hours of audio through the resampler, cut to one where the build
// runs many times slower (sanitizers) or under an emulator.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(_WIN32)
constexpr double DRIFT_HOURS = 1;
#else
constexpr double DRIFT_HOURS = 3;
#endif

CaptureTime at(double seconds) {
  return CaptureTime(
      std::chrono::duration_cast<CaptureTime::duration>(std::chrono::duration<double>(seconds)));
}

// A device and what its reader measures: packets of 10 ms at `rate` on a
// clock `ppm` fast, each read 15 ms after it is complete and measured at
// its true capture time plus the server's latency error (`latency`, seconds
// at a true time) plus uniform jitter within +-`jitter_s`.
struct Device {
  std::uint32_t rate = 48000;
  double ppm = 0;
  double jitter_s = 0;
  double (*latency)(double) = [](double) { return 0.0; };
};

struct Ran {
  SourceClock clock;
  std::uint64_t lead = 0;     // frames of silence before the first chunk
  std::uint64_t silence = 0;  // frames of silence after it
};

// Runs `seconds` of a device through stamps, clock and lane, in passes of
// 5, 15 and 8 ms; `signal(n)` is the device's sample at frame n and
// `heard(index, sample)` gets the lane's output, frame by frame.
template <typename Signal, typename Heard>
Ran run(const Device& d, double seconds, Signal signal, Heard heard) {
  constexpr double READ_DELAY_S = 0.015;
  const std::size_t packet = d.rate / 100;
  const double true_rate = d.rate * (1 + d.ppm * 1e-6);
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> jitter(-d.jitter_s, d.jitter_s);
  CaptureStamps stamps(d.rate);
  Ran ran{SourceClock(d.rate)};
  SourceClock& clock = ran.clock;
  SourceLane lane(d.rate, 1, AudioFormat{SESSION_RATE, 1, 32, true});
  clock.restart(0);
  std::vector<float> chunk(packet);
  std::uint64_t next = 0;  // the device's next frame
  std::uint64_t out = 0;
  double now = 0;
  constexpr double PASSES[] = {0.005, 0.015, 0.008};
  for (std::size_t k = 0; now < seconds; ++k) {
    now += PASSES[k % 3];
    bool arrived = false;
    for (double read = double(next + packet) / true_rate + READ_DELAY_S; read <= now;
         read = double(next + packet) / true_rate + READ_DELAY_S) {
      const double captured = double(next) / true_rate;
      const double measured = captured + d.latency(captured) + jitter(rng);
      const double t = std::chrono::duration<double>(
                           stamps.place(at(measured), packet, at(read), packet).time_since_epoch())
                           .count();
      for (std::size_t f = 0; f < packet; ++f) chunk[f] = signal(next + f);
      const std::uint64_t gap = clock.place(t, packet);
      (next == 0 ? ran.lead : ran.silence) += gap;
      next += packet;
      arrived = true;
      EXPECT_TRUE(lane.feed_silence(0, gap));
      EXPECT_TRUE(lane.feed(0, chunk));
    }
    const std::uint64_t padding = clock.pass(now, arrived);
    ran.silence += padding;
    EXPECT_TRUE(lane.feed_silence(0, padding));
    if (clock.correcting() && (!lane.following() || lane.followed_rate() != clock.rate()))
      lane.follow_rate(0, clock.rate());
    const auto q = lane.queue().front(lane.queue().size());
    for (float v : q) heard(out++, v);
    lane.queue().clear();
  }
  return ran;
}

// A stream's latency reports settle over its first second by MS ms, and may
// wander further over its first seconds (as seen on a busy machine).
template <int MS>
double settles(double t) {
  return MS * 1e-3 * std::min(t, 1.0);
}
double settles_and_dips(double t) {
  const double dip = t < 2 ? 0 : t < 6 ? (t - 2) / 4 : t < 12 ? (12 - t) / 6 : 0;
  return 0.008 * std::min(t, 1.0) - 0.025 * dip;
}

struct Settling {
  double (*latency)(double);
  double jitter_s;
};
class ExactClock : public testing::TestWithParam<Settling> {};

// A device whose clock keeps time, stamped as a sound server stamps a new
// stream (its latency reports settle over the first second, then jitter by
// a few milliseconds), for twenty minutes: the clock never corrects it, and
// its samples come out of the lane bit for bit, from its first frame.
TEST_P(ExactClock, IsNeverCorrectedAndPassesBitForBit) {
  const Settling p = GetParam();
  auto signal = [](std::uint64_t n) {
    return float(0.5 * std::sin(2 * std::numbers::pi * 1000.0 * double(n % 48000) / 48000.0) +
                 1e-4 * double(n % 7) + 0.01);
  };
  std::vector<float> first;
  std::uint64_t heard = 0;
  std::uint64_t differing = 0;
  std::uint64_t lead = 0;
  const Ran ran = run({.jitter_s = p.jitter_s, .latency = p.latency}, 20 * 60, signal,
                      [&](std::uint64_t i, float v) {
                        // The first chunk goes where its stamp says: silence
                        // up to there (the signal is never zero).
                        if (v == 0.0f && i == lead) {
                          ++lead;
                          return;
                        }
                        ++heard;
                        if (v != signal(i - lead)) ++differing;
                      });
  EXPECT_FALSE(ran.clock.correcting());
  EXPECT_EQ(ran.clock.rate(), 48000.0);
  EXPECT_EQ(ran.silence, 0u);
  EXPECT_EQ(ran.lead, lead);
  EXPECT_GT(heard, 20u * 60 * 48000 - 48000);
  EXPECT_EQ(differing, 0u);
}

INSTANTIATE_TEST_SUITE_P(Stamps, ExactClock,
                         testing::Values(Settling{settles<5>, 0.002}, Settling{settles<11>, 0.004},
                                         Settling{settles<-8>, 0.003},
                                         Settling{settles_and_dips, 0.003}));

struct Drift {
  std::uint32_t rate;
  double ppm;
  double jitter_s;
};
class DriftingClock : public testing::TestWithParam<Drift> {};

// A device whose clock runs 100 ppm fast or slow, at 44.1 or 48 kHz,
// stamped exactly or with jitter, for three hours (one under sanitizers and
// Wine): every tone burst (one every five minutes, and in the first minute
// while the drift is measured) comes out of the lane within 5 ms of its
// true time.
TEST_P(DriftingClock, StaysWithin5msForHours) {
  const Drift p = GetParam();
  const double true_rate = p.rate * (1 + p.ppm * 1e-6);
  std::vector<double> bursts = {10, 20, 30, 45, 60};
  for (double b = 300; b < DRIFT_HOURS * 3600 - 10; b += 300) bursts.push_back(b);
  std::size_t due = 0;  // the next burst; frames are asked for in order
  auto signal = [&](std::uint64_t n) {
    const double t = double(n) / true_rate;
    while (due < bursts.size() && t >= bursts[due] + 0.02) ++due;
    if (due == bursts.size() || t < bursts[due]) return 0.0f;
    return float(0.5 * std::sin(2 * std::numbers::pi * 1000.0 * (t - bursts[due])));
  };
  std::vector<double> onsets;
  std::uint64_t quiet_since = 0;
  const Ran ran = run({.rate = p.rate, .ppm = p.ppm, .jitter_s = p.jitter_s}, DRIFT_HOURS * 3600,
                      signal, [&](std::uint64_t i, float v) {
                        if (std::abs(v) < 0.1f) return;
                        if (i > quiet_since + SESSION_RATE / 2)
                          onsets.push_back(double(i) / SESSION_RATE);
                        quiet_since = i;
                      });
  EXPECT_TRUE(ran.clock.correcting());
  EXPECT_EQ(ran.silence, 0u);
  ASSERT_EQ(onsets.size(), bursts.size());
  double worst = 0;
  for (std::size_t k = 0; k < bursts.size(); ++k) {
    EXPECT_NEAR(onsets[k], bursts[k], 0.005) << "burst at " << bursts[k] << " s";
    worst = std::max(worst, std::abs(onsets[k] - bursts[k]));
  }
  RecordProperty("worst_ms", std::to_string(worst * 1e3));
}

INSTANTIATE_TEST_SUITE_P(Clocks, DriftingClock,
                         testing::Values(Drift{48000, 100, 0}, Drift{48000, -100, 0.003},
                                         Drift{44100, 100, 0.003}, Drift{44100, -100, 0}));

}  // namespace
}  // namespace quillbox
