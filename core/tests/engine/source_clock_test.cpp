#include "engine/source_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>

namespace quillbox {
namespace {

// A device delivering 10 ms chunks for an hour whose clock runs `ppm` off
// the timeline, stamped with uniform jitter: the place its audio is put
// (the clock's position before each chunk, in true seconds) stays within
// 2 ms of its capture time once the clock has been measured, and a device
// on time is never corrected.
struct Drift {
  double ppm;
  double jitter_s;
  bool corrected;
};

class SourceClockDrift : public testing::TestWithParam<Drift> {};

TEST_P(SourceClockDrift, AudioStaysAtItsCaptureTimeForAnHour) {
  const Drift d = GetParam();
  constexpr std::uint32_t RATE = 48000;
  constexpr std::size_t FRAMES = 480;
  const double true_rate = RATE * (1 + d.ppm * 1e-6);
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> jitter(-d.jitter_s, d.jitter_s);

  SourceClock clock(RATE);
  clock.restart(0);
  double worst_after_a_minute = 0;
  std::uint64_t silence = 0;
  // The placed position in true seconds is the clock's position; the real
  // capture time of chunk k is k * FRAMES / true_rate.
  for (std::uint64_t k = 0; k < 3600ull * RATE / FRAMES; ++k) {
    const double truth = static_cast<double>(k * FRAMES) / true_rate;
    const double placed = clock.position();
    silence += clock.place(truth + jitter(rng), FRAMES);
    if (truth > 60) worst_after_a_minute = std::max(worst_after_a_minute, std::abs(placed - truth));
  }
  EXPECT_EQ(silence, 0u);
  EXPECT_EQ(clock.correcting(), d.corrected);
  EXPECT_LT(worst_after_a_minute, 0.002) << d.ppm << " ppm";
  if (!d.corrected) {
    EXPECT_EQ(clock.rate(), RATE);
  }
}

INSTANTIATE_TEST_SUITE_P(Clocks, SourceClockDrift,
                         testing::Values(Drift{0, 0, false}, Drift{100, 0, true},
                                         Drift{-100, 0, true}, Drift{100, 0.005, true},
                                         Drift{-37, 0.005, true}));

// A stall that loses frames becomes silence of its length; one that holds
// frames back and then delivers them stamped late is placed after the
// padding, never dropped; a source that keeps delivering late stamps is
// never padded.
TEST(SourceClock, GapsBecomeSilenceAndLateAudioIsKept) {
  SourceClock clock(1000);
  clock.restart(0);
  EXPECT_EQ(clock.place(0.0, 100), 0u);    // 0.1 s of audio
  EXPECT_EQ(clock.place(0.105, 100), 0u);  // jitter: nothing moves
  EXPECT_NEAR(clock.position(), 0.2, 1e-9);
  EXPECT_EQ(clock.place(0.5, 100), 300u);  // 0.3 s lost in a stall
  EXPECT_NEAR(clock.position(), 0.6, 1e-9);

  // Nothing arrives for a while: padded up to the allowance behind now.
  constexpr double A = LATENCY_ALLOWANCE_S;
  EXPECT_EQ(clock.pass(0.6, true), 0u);
  EXPECT_EQ(clock.pass(0.6 + A - 0.01, false), 0u);
  EXPECT_EQ(clock.pass(0.75 + A, false), 150u);
  EXPECT_NEAR(clock.position(), 0.75, 1e-9);
  // The held-back audio, stamped 0.6, goes where the source has reached.
  EXPECT_EQ(clock.place(0.6, 100), 0u);
  EXPECT_NEAR(clock.position(), 0.85, 1e-9);

  // That audio was on its way: the source delivers in bursts, and is waited
  // for longer from now on (twice the delay seen), so the same pause pads nothing.
  EXPECT_NEAR(clock.allowance(), std::min(2.0, 2 * (A + 0.15)), 1e-9);
  EXPECT_EQ(clock.pass(0.9, true), 0u);
  EXPECT_EQ(clock.pass(0.9 + A + 0.1, false), 0u);
  const double reached = clock.position();
  EXPECT_EQ(clock.place(reached, 100), 0u);
  EXPECT_NEAR(clock.position(), reached + 0.1, 1e-9);

  // A new stream after a switch starts where the switch was.
  clock.restart(2.0);
  EXPECT_EQ(clock.place(2.5, 10), 500u);  // its first packet came half a second late
  EXPECT_NEAR(clock.position(), 2.51, 1e-9);
}

}  // namespace
}  // namespace quillbox
