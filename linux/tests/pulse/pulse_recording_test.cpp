// Real recordings through the engine on the private test server: system
// audio (Speakers, 440 Hz at half scale), the microphone (VirtualMic,
// 1000 Hz at half scale) and the silent "[Loopback] Headset", in the three
// modes, repaired and listened to. Skipped when no such server runs.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <span>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "engine/recorder.h"
#include "pulse/pulse_platform.h"
#include "repaired_audio.h"
#include "signal_analysis.h"
#include "test_support.h"
#include "wav/repair.h"

namespace quillbox {
namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;

constexpr AudioFormat STUDIO{48000, 2, 24, false};
const SourceKey MIC{SourceKind::DefaultMic, {}};

class PulseRecording : public ::testing::Test {
 public:
  void SetUp() override {
    if (std::getenv("PULSE_SERVER") == nullptr) {
      GTEST_SKIP() << "no private PulseAudio server (PULSE_SERVER is unset)";
    }
  }

  std::expected<Recorder, StartError> start(RecordMode mode) {
    RecorderEnv env;
    env.capture = make_pulse_platform();
    env.err = [this](std::string_view text) {
      std::lock_guard lock(mutex);
      err += text;
    };
    // The recording's timeline starts inside `start`, before any capture.
    started = steady_clock::now();
    auto rec = Recorder::start({.output_dir = path_to_text(dir.path()),
                                .devices = {"[Loopback] Headset"},
                                .format = STUDIO,
                                .record_system = true,
                                .record_mic = true,
                                .mode = mode},
                               env);
    return rec;
  }

  double since_start() const {
    return std::chrono::duration<double>(steady_clock::now() - started).count();
  }

  test_support::ScratchDir dir;
  std::mutex mutex;
  std::string err;
  steady_clock::time_point started;
};

using test_support::repaired;

// The level of a tone in channel `c` from 0.3 s to 0.2 s before the end,
// over 100 ms windows: the level nine in ten windows stay under. The test
// server's player drops out on a busy machine, which only lowers a window;
// a wrong gain or a source mixed in twice raises them all.
double level(const signal::Audio& a, double frequency, int c = 0) {
  const auto ch = a.channel(c, a.sample_rate * 3 / 10, a.frames() - a.sample_rate / 5);
  const std::size_t window = a.sample_rate / 10;
  std::vector<double> levels;
  for (std::size_t at = 0; at + window <= ch.size(); at += window) {
    levels.push_back(
        signal::tone_amplitude(std::span(ch).subspan(at, window), a.sample_rate, frequency));
  }
  if (levels.empty()) return 0.0;
  const auto high = levels.begin() + levels.size() * 9 / 10;
  std::ranges::nth_element(levels, high);
  return *high;
}

TEST_F(PulseRecording, SingleFileMixesEachSourceAtItsShare) {
  auto rec = start(RecordMode::Single);
  ASSERT_TRUE(rec.has_value()) << rec.error().text;
  EXPECT_TRUE(rec->warnings().empty());
  // System audio, the microphone, and both other sinks: Headset and MicFeed.
  ASSERT_EQ(rec->source_count(), 4u);
  std::this_thread::sleep_for(2s);
  // The file spans the recording, from inside `start` to the stop.
  const double stop_at = since_start();
  const StopResult result = std::move(*rec).stop();
  EXPECT_EQ(result.error, std::nullopt);
  const auto audio = repaired(result.files);
  ASSERT_EQ(audio.size(), 1u);
  EXPECT_NEAR(double(audio[0].frames()) / 48000, stop_at, 0.05);
  for (int c = 0; c < 2; ++c) {
    EXPECT_NEAR(level(audio[0], 440.0, c), 0.5 / 4, 0.005) << c;
    EXPECT_NEAR(level(audio[0], 1000.0, c), 0.5 / 4, 0.005) << c;
  }
  EXPECT_EQ(err, "");
}

// How far apart real sources may land: every chunk carries its capture
// time and the processor places audio by it.
constexpr double TIGHT = 0.010;  // seconds

void silence_stems(PulseRecording& t, double tolerance) {
  auto rec = t.start(RecordMode::StemsSilence);
  ASSERT_TRUE(rec.has_value()) << rec.error().text;
  std::this_thread::sleep_for(2s);
  const double stop_at = t.since_start();
  const StopResult result = std::move(*rec).stop();
  EXPECT_EQ(result.error, std::nullopt);
  EXPECT_EQ(t.err, "");
  const auto audio = repaired(result.files);
  ASSERT_EQ(audio.size(), 4u);  // loopback, mic, Headset, MicFeed (not recorded)
  EXPECT_NEAR(level(audio[0], 440.0), 0.5, 0.01);
  EXPECT_LT(level(audio[0], 1000.0), 0.001);
  EXPECT_NEAR(level(audio[1], 1000.0), 0.5, 0.01);
  EXPECT_LT(level(audio[1], 440.0), 0.001);
  EXPECT_EQ(signal::peak(audio[2].samples), 0.0f);
  EXPECT_EQ(signal::peak(audio[3].samples), 0.0f);
  for (const auto& a : audio) {
    EXPECT_NEAR(double(a.frames()) / 48000, double(audio[0].frames()) / 48000, tolerance);
    EXPECT_NEAR(double(a.frames()) / 48000, stop_at, 0.05);
  }
}

TEST_F(PulseRecording, SilenceStemsHoldTheirOwnToneAndEndTogether) {
  silence_stems(*this, TIGHT);
}

void instructed(PulseRecording& t, std::optional<double> offset_tolerance,
                double stretch_tolerance) {
  auto rec = t.start(RecordMode::StemsInstructed);
  ASSERT_TRUE(rec.has_value()) << rec.error().text;
  const auto started = t.started;
  auto since_start = [&t] { return t.since_start(); };
  std::this_thread::sleep_until(started + 1s);
  const double off_at = since_start();
  rec->set_source_enabled(MIC, false, {});
  std::this_thread::sleep_until(started + 2s);
  const double on_at = since_start();
  std::promise<SourceStartResult> outcome;
  rec->set_source_enabled(MIC, true,
                          [&outcome](SourceStartResult r) { outcome.set_value(std::move(r)); });
  EXPECT_EQ(rec->attach_stream(outcome.get_future().get()), std::nullopt);
  std::this_thread::sleep_until(started + 3s);
  const StopResult result = std::move(*rec).stop();
  EXPECT_EQ(result.error, std::nullopt);
  EXPECT_EQ(t.err, "");

  ASSERT_FALSE(result.files.empty());
  std::ifstream file(result.files[0].parent_path() / "instructions.txt");
  std::vector<std::pair<std::uint64_t, std::string>> lines;
  std::string line;
  while (std::getline(file, line)) {
    // "{offset} {label}"; the header's lines do not start with a number.
    std::istringstream in(line);
    std::uint64_t offset = 0;
    std::string label;
    if (in >> offset && std::getline(in >> std::ws, label)) lines.emplace_back(offset, label);
  }
  std::string listing;
  for (const auto& [offset, label] : lines) listing += std::to_string(offset) + " " + label + "\n";
  ASSERT_EQ(lines.size(), 4u) << listing;
  EXPECT_EQ(lines[0], (std::pair<std::uint64_t, std::string>{0, "loopback"}));
  EXPECT_EQ(lines[1], (std::pair<std::uint64_t, std::string>{0, "mic"}));
  EXPECT_EQ(lines[2].first, 0u);
  EXPECT_EQ(lines[3].second, "mic_2");
  EXPECT_GE(double(lines[3].first) / 48000, on_at - TIGHT) << listing;
  if (offset_tolerance) {
    EXPECT_NEAR(double(lines[3].first) / 48000, on_at, *offset_tolerance) << listing;
  }

  const auto audio = repaired(result.files);
  ASSERT_EQ(audio.size(), 4u);
  // The microphone's first stretch ends where it was switched off.
  double mic_frames = -1;
  for (std::size_t i = 0; i < audio.size(); ++i) {
    if (result.files[i].filename() == "mic.recpart") mic_frames = double(audio[i].frames());
  }
  EXPECT_NEAR(mic_frames / 48000, off_at, stretch_tolerance);
  EXPECT_NEAR(level(audio[0], 440.0), 0.5, 0.01);
}

TEST_F(PulseRecording, InstructedOffsetsAreTheRealSwitchTimes) {
  instructed(*this, TIGHT, TIGHT);
}

}  // namespace
}  // namespace quillbox
