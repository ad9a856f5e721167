#include "engine/capture_stamps.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <random>
#include <vector>

namespace quillbox {
namespace {

using Seconds = std::chrono::duration<double>;

CaptureTime at(double seconds) {
  return CaptureTime(std::chrono::duration_cast<CaptureTime::duration>(Seconds(seconds)));
}
double seconds(CaptureTime t) {
  return Seconds(t.time_since_epoch()).count();
}

constexpr std::uint32_t RATE = 48000;
constexpr std::size_t FRAMES = 480;

// A stretch [begin, end) of true time.
struct Span {
  double begin;
  double end;
};

// One packet as a reader sees it.
struct Read {
  double captured;  // true capture time of its first frame
  double read;      // when it was read
  bool lost_before;
};

// A device 50 ppm fast delivering 10 ms packets from 1 s to 21 s, each read 1
// to 4 ms after it is complete and measured as read less its length (what a
// driver that stamps packets on arrival gives). While the reader stalls it
// reads nothing, then everything queued at once; in a pause the device
// produces nothing (a loss is a pause the device reports on the packet after
// it, when `reported`). A reader with a `pace` looks at most once a pace.
std::vector<Read> deliveries(const std::vector<Span>& stalls, const std::vector<Span>& pauses,
                             bool reported, double pace = 0) {
  const double packet = FRAMES / (RATE * (1 + 50e-6));
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> delay(0.001, 0.004);
  std::uniform_real_distribution<double> hold(0.8, 1.0);
  double look = -1;
  std::vector<Read> out;
  bool lost = false;
  for (double captured = 1.0; captured < 21.0; captured += packet) {
    bool paused = false;
    for (const Span& p : pauses) paused = paused || (captured >= p.begin && captured < p.end);
    if (paused) {
      lost = true;
      continue;
    }
    double read = captured + packet + delay(rng);
    if (pace > 0) {
      // Once it has looked, the reader waits 80-100 % of the pace before it
      // looks again, and then looks as soon as something is there.
      if (read > look) look = std::max(read, look + pace * hold(rng));
      read = look;
    }
    for (const Span& s : stalls) {
      if (read > s.begin && read < s.end) read = look = s.end;
    }
    out.push_back({captured, read, reported && lost});
    lost = false;
  }
  return out;
}

// Each packet's error (stamp less true capture time), placed as a reader
// places them: every packet read at one moment with what is queued behind it.
std::vector<double> errors(const std::vector<Read>& reads, double pace = 0) {
  CaptureStamps stamps(RATE, std::chrono::duration_cast<std::chrono::nanoseconds>(Seconds(pace)));
  std::vector<double> out;
  const double packet = FRAMES / double(RATE);
  for (std::size_t i = 0; i < reads.size(); ++i) {
    std::size_t queued = 0;
    for (std::size_t j = i; j < reads.size() && reads[j].read == reads[i].read; ++j)
      queued += FRAMES;
    const Read& r = reads[i];
    const CaptureTime stamp =
        stamps.place(at(r.read - packet), FRAMES, at(r.read), queued, r.lost_before);
    out.push_back(seconds(stamp) - r.captured);
  }
  return out;
}

// The reader stalls for 400 ms at 6 s and then reads the backlog, every
// packet stamped on arrival; the device loses 300 ms of audio at 13 s.
TEST(CaptureStamps, BurstsKeepTheirFramesPlaceAndLostAudioMovesTheTimesOn) {
  for (const bool reported : {false, true}) {
    SCOPED_TRACE(reported ? "the loss is reported" : "the loss is not reported");
    const auto reads = deliveries({{6.0, 6.4}}, {{13.0, 13.3}}, reported);
    const auto error = errors(reads);
    double worst_burst = 0;
    double worst = 0;
    for (std::size_t i = 0; i < reads.size(); ++i) {
      const double c = reads[i].captured;
      double& w = c > 5.9 && c < 6.5 ? worst_burst : worst;
      w = std::max(w, std::abs(error[i]));
    }
    // A burst is stamped where its frames belong, not where it was read.
    EXPECT_LT(worst_burst, 0.006);
    // A loss moves the times on by its length at once, reported or not.
    EXPECT_LT(worst, 0.006);
  }
}

// A reader that looks every 50 or 100 ms finds each packet up to that long
// after it came, and far later in a stall: that is neither drift nor loss,
// and the frames keep their times. After a loss the device does not report,
// the audio lands at most the pace late (what the look after it measures)
// and is back at its time within 2 s.
TEST(CaptureStamps, APacedReaderKeepsTheFramesAtTheirTimes) {
  for (const double pace : {0.05, 0.1}) {
    SCOPED_TRACE(pace);
    const auto reads = deliveries({{6.0, 6.4}}, {{13.0, 13.3}}, false, pace);
    const auto error = errors(reads, pace);
    for (std::size_t i = 0; i < reads.size(); ++i) {
      const double c = reads[i].captured;
      const bool settling = c > 13.0 && c < 15.3;
      ASSERT_LT(std::abs(error[i]), settling ? pace + 0.006 : 0.006) << "packet captured at " << c;
    }
  }
}

// A device that delivers nothing for a while (suspended, or a loopback of a
// device that plays nothing) and then resumes without a flag: the first
// packet after each pause sits at its true time, as does everything after.
TEST(CaptureStamps, PausesWithoutAFlagLandAtTheirTrueTimeAtOnce) {
  const std::vector<Span> pauses = {{3.0, 3.4}, {7.0, 8.0}, {12.0, 15.0}};
  const auto reads = deliveries({}, pauses, false);
  const auto error = errors(reads);
  double worst = 0;
  for (std::size_t i = 0; i < reads.size(); ++i) {
    worst = std::max(worst, std::abs(error[i]));
    if (i > 0 && reads[i].captured - reads[i - 1].captured > 0.3) {
      EXPECT_LT(std::abs(error[i]), 0.005)
          << "first packet after the pause at " << reads[i - 1].captured;
    }
  }
  EXPECT_LT(worst, 0.006);
}

}  // namespace
}  // namespace quillbox
