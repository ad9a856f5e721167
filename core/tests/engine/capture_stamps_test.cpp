#include "engine/capture_stamps.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <random>

namespace quillbox {
namespace {

using Seconds = std::chrono::duration<double>;

CaptureTime at(double seconds) {
  return CaptureTime(std::chrono::duration_cast<CaptureTime::duration>(Seconds(seconds)));
}
double seconds(CaptureTime t) {
  return Seconds(t.time_since_epoch()).count();
}

// A device 50 ppm fast delivers 10 ms packets for 20 s, each measured when
// it is read less its length (what a driver that stamps packets on arrival
// gives), read 1 to 4 ms after it is complete. At 6 s the reader stalls for
// 400 ms and then reads the backlog at once; at 13 s the device loses
// 300 ms of audio (frames that never come). With `reported` the device
// flags the loss on the packet after it.
void run(bool reported) {
  constexpr std::uint32_t RATE = 48000;
  constexpr std::size_t FRAMES = 480;
  const double packet = FRAMES / (RATE * (1 + 50e-6));
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> delay(0.001, 0.004);
  CaptureStamps stamps(RATE);
  double captured = 1.0;  // true capture time of the next packet
  double worst_burst = 0;
  double worst_after_gap = 0;
  double worst = 0;
  while (captured < 21.0) {
    const bool lost = captured >= 13.0 && captured < 13.0 + packet;
    if (lost) captured += 0.3;
    double read = captured + packet + delay(rng);
    // The stalled reader wakes at 6.4 s and reads everything queued then.
    if (read > 6.0 && read < 6.4) read = 6.4;
    const CaptureTime now = at(read);
    const double stamp = seconds(stamps.place(at(read - packet), FRAMES, now, reported && lost));
    const double error = std::abs(stamp - captured);
    if (captured > 5.9 && captured < 6.5) worst_burst = std::max(worst_burst, error);
    if (captured > 13.3 + (reported ? 0.0 : 0.3)) {
      worst_after_gap = std::max(worst_after_gap, error);
    } else if (captured < 13.0) {
      worst = std::max(worst, error);
    }
    captured += packet;
  }
  // A burst is stamped where its frames belong, not where it was read.
  EXPECT_LT(worst_burst, 0.006);
  EXPECT_LT(worst, 0.006);
  // A loss moves the times on by its length: at once when the device says
  // so, else once it is confirmed.
  EXPECT_LT(worst_after_gap, 0.006);
}

TEST(CaptureStamps, BurstsKeepTheirFramesPlaceAndLostAudioMovesTheTimesOn) {
  run(false);
  run(true);
}

}  // namespace
}  // namespace quillbox
