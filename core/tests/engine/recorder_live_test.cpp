// The real recorder in real time and with live starts: threads that end,
// starts that are slow, refused or superseded, captures that fail or change
// their format.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "engine/recorder.h"
#include "recorder_rig.h"

namespace quillbox {
namespace {

using namespace std::chrono_literals;
using namespace recorder_rig;

TEST(Recorder, RecordsInRealTime) {
  Rig rig(desk(), Timing::RealTime);
  auto rec = rig.start({.format = STUDIO, .record_system = true, .mode = RecordMode::StemsSilence});
  ASSERT_TRUE(rec.has_value());
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(switch_on(*rec, MIC), std::nullopt);
  std::this_thread::sleep_for(500ms);
  const StopResult result = std::move(*rec).stop();
  EXPECT_EQ(result.error, std::nullopt);
  const auto audio = repaired(result.files);
  ASSERT_EQ(audio.size(), 2u);
  EXPECT_NEAR(double(audio[1].frames()), double(audio[0].frames()), 2400.0);
  const auto speakers = audio[0].channel(0, 4800, audio[0].frames() - 4800);
  EXPECT_NEAR(signal::tone_frequency(speakers, 48000.0), 440.0, 1.0);
  const auto mic = audio[1].channel(0, audio[1].frames() - 9600, audio[1].frames() - 2400);
  EXPECT_NEAR(signal::tone_frequency(mic, 48000.0), 1000.0, 1.0);
}

// The threads of this process, where the system can tell.
std::optional<std::size_t> thread_count() {
  std::error_code ec;
  std::filesystem::directory_iterator tasks("/proc/self/task", ec);
  if (ec) return std::nullopt;
  return std::size_t(std::distance(tasks, std::filesystem::directory_iterator{}));
}

// The outcomes of live starts, as the window receives them.
struct Outcomes {
  SourceStartedSink sink() {
    return [this](SourceStartResult r) {
      std::lock_guard lock(mutex);
      results.push_back(std::move(r));
      arrived.notify_all();
    };
  }
  SourceStartResult next() {
    std::unique_lock lock(mutex);
    EXPECT_TRUE(arrived.wait_for(lock, 10s, [this] { return !results.empty(); }));
    if (results.empty()) return {};
    SourceStartResult r = std::move(results.front());
    results.erase(results.begin());
    return r;
  }
  std::size_t waiting() {
    std::lock_guard lock(mutex);
    return results.size();
  }
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<SourceStartResult> results;
};

TEST(Recorder, StopWritesWhatTheInputStillHoldsAndEndsEveryThread) {
  // A sanitizer starts a helper thread of its own with the process's first
  // thread; count from after that.
  std::thread([] {}).join();
  const auto threads_before = thread_count();
  SyntheticConfig c = desk();
  // Device buffers of 70 frames, gathered into chunks of at least 5 ms: at
  // the stop the stream still holds a partial chunk.
  c.inputs[0].packet_frames = 70;
  Rig rig(std::move(c));
  auto rec = rig.start({.format = STUDIO, .record_mic = true, .mode = RecordMode::StemsSilence});
  ASSERT_TRUE(rec.has_value());
  ASSERT_TRUE(rig.clock->run_to(300ms));
  EXPECT_EQ(switch_on(*rec, SYSTEM), std::nullopt);  // a live-start worker too
  ASSERT_TRUE(rig.clock->run_to(1s));
  const std::uint64_t delivered =
      std::uint64_t(std::chrono::nanoseconds(rig.clock->elapsed()).count()) * 48 / 1'000'000 / 70 *
      70;
  const StopResult result = std::move(*rec).stop();
  EXPECT_EQ(result.error, std::nullopt);
  if (threads_before) {
    EXPECT_EQ(thread_count(), threads_before);
  }
  EXPECT_EQ(rig.capture->live_stream_count(), 0u);
  const auto audio = repaired(result.files);
  ASSERT_EQ(audio.size(), 2u);
  // Both stems end level at the stop; the mic's last partial chunk is in,
  // right up to the last frame it delivered.
  EXPECT_EQ(audio[0].frames(), 48000u);
  EXPECT_EQ(audio[1].frames(), 48000u);
  EXPECT_GT(signal::peak(audio[1].channel(0, delivered - 70, delivered)), 0.5f);
  EXPECT_NEAR(level(audio[1], 1000.0, 0.9, 0.99), 0.6, 0.01);
}

TEST(Recorder, ASlowStartIsStartedOnceAndFollowsTheLastSwitch) {
  SyntheticConfig c = desk();
  c.inputs[0].start_delay = 200ms;
  Rig rig(std::move(c));
  auto rec = rig.start({.format = STUDIO, .record_system = true, .mode = RecordMode::StemsSilence});
  ASSERT_TRUE(rec.has_value());
  ASSERT_TRUE(rig.clock->run_to(200ms));
  Outcomes outcomes;
  const auto mic_on = [&] { return rec->set_source_enabled(MIC, true, outcomes.sink()); };
  const auto mic_off = [&] { return rec->set_source_enabled(MIC, false, {}); };

  // Off while the start runs: its capture is released when it arrives and
  // the source stays off.
  EXPECT_EQ(mic_on(), SwitchOutcome::Starting);
  EXPECT_EQ(mic_off(), SwitchOutcome::SwitchedOff);
  EXPECT_EQ(rec->attach_stream(outcomes.next()), std::nullopt);
  EXPECT_EQ(rig.capture->start_count("VirtualMic"), 1u);
  EXPECT_EQ(rig.capture->live_stream_count(), 1u);
  EXPECT_FALSE(rec->sources()[1].feed->enabled());
  ASSERT_TRUE(rig.clock->run_to(400ms));

  // On, off, on (a double click on the tick): one capture, and it records.
  EXPECT_EQ(mic_on(), SwitchOutcome::Starting);
  EXPECT_EQ(mic_off(), SwitchOutcome::SwitchedOff);
  EXPECT_EQ(mic_on(), SwitchOutcome::Starting);
  EXPECT_EQ(rec->attach_stream(outcomes.next()), std::nullopt);
  EXPECT_EQ(outcomes.waiting(), 0u);
  EXPECT_EQ(rig.capture->start_count("VirtualMic"), 2u);
  EXPECT_EQ(rig.capture->live_stream_count(), 2u);
  EXPECT_EQ(mic_on(), SwitchOutcome::AlreadyActive);
  ASSERT_TRUE(rig.clock->run_to(800ms));

  // A start still running at the stop: its capture is released before the
  // stop returns and nobody hears of it.
  EXPECT_EQ(mic_off(), SwitchOutcome::SwitchedOff);
  EXPECT_EQ(mic_on(), SwitchOutcome::Starting);
  const StopResult result = std::move(*rec).stop();
  EXPECT_EQ(rig.capture->start_count("VirtualMic"), 3u);
  EXPECT_EQ(rig.capture->live_stream_count(), 0u);
  EXPECT_EQ(outcomes.waiting(), 0u);
  EXPECT_EQ(rec->attach_stream({MIC, 1, std::nullopt}), std::nullopt);

  EXPECT_EQ(result.error, std::nullopt);
  const auto audio = repaired(result.files);
  ASSERT_EQ(audio.size(), 2u);
  const signal::Audio& mic = audio[1];
  EXPECT_NEAR(double(mic.frames()), double(audio[0].frames()), 480.0);
  EXPECT_NEAR(double(signal::first_above(mic.channel(0), 0.05f)), 19200.0, 480.0);
  EXPECT_NEAR(level(mic, 1000.0, 0.45, 0.75), 0.6, 0.01);
  EXPECT_EQ(signal::peak(mic.channel(0, 39360)), 0.0f);
}

TEST(Recorder, ALiveStartWithoutAWorkerThreadFailsLikeAnyStart) {
  Rig rig(desk());
  bool threads_left = false;
  // As std::thread fails when the system cannot start another thread.
  rig.start_worker = [&threads_left](std::function<void()> body) {
    if (!threads_left) throw std::system_error(EAGAIN, std::generic_category());
    return std::thread(std::move(body));
  };
  auto rec = rig.start({.format = STUDIO, .record_system = true, .mode = RecordMode::StemsSilence});
  ASSERT_TRUE(rec.has_value());
  ASSERT_TRUE(rig.clock->run_to(200ms));
  Outcomes outcomes;
  const auto mic_on = [&] { return rec->set_source_enabled(MIC, true, outcomes.sink()); };

  // The outcome is a failed start's: told once, shown, and the source stays off.
  EXPECT_EQ(mic_on(), SwitchOutcome::Starting);
  EXPECT_EQ(rec->attach_stream(outcomes.next()),
            "Failed to start mic: " + std::generic_category().message(EAGAIN));
  EXPECT_EQ(outcomes.waiting(), 0u);
  EXPECT_EQ(rig.capture->start_count("VirtualMic"), 0u);
  EXPECT_FALSE(rec->sources()[1].feed->enabled());
  EXPECT_EQ(rec->used_source_count(), 1u);

  // Nothing is left starting: the next switch-on starts the source.
  threads_left = true;
  EXPECT_EQ(mic_on(), SwitchOutcome::Starting);
  EXPECT_EQ(rec->attach_stream(outcomes.next()), std::nullopt);
  ASSERT_TRUE(rig.clock->run_to(400ms));

  // And a stop after a failed start ends every thread.
  threads_left = false;
  EXPECT_EQ(rec->set_source_enabled(MIC, false, {}), SwitchOutcome::SwitchedOff);
  EXPECT_EQ(mic_on(), SwitchOutcome::Starting);
  EXPECT_NE(rec->attach_stream(outcomes.next()), std::nullopt);
  const StopResult result = std::move(*rec).stop();
  EXPECT_EQ(result.error, std::nullopt);
  EXPECT_EQ(result.used_sources, 2u);
  EXPECT_EQ(rig.capture->live_stream_count(), 0u);
  const auto audio = repaired(result.files);
  ASSERT_EQ(audio.size(), 2u);
  EXPECT_NEAR(level(audio[1], 1000.0, 0.25, 0.35), 0.6, 0.01);
}

TEST(Recorder, ACaptureThatFailsIsToldOnceAndTheOthersRecordOn) {
  SyntheticConfig c = desk();
  c.inputs[0].fail_after = {{300ms, "device unplugged"}};
  Rig rig(std::move(c));
  auto rec = rig.start({.format = STUDIO, .record_system = true, .record_mic = true});
  ASSERT_TRUE(rec.has_value());
  ASSERT_TRUE(rig.clock->run_to(1s));
  EXPECT_EQ(rec->error(), std::nullopt);
  const StopResult result = std::move(*rec).stop();
  EXPECT_EQ(result.error, std::nullopt);
  EXPECT_EQ(rig.err, "Mic stream error: device unplugged\n");
  const auto audio = repaired(result.files);
  ASSERT_EQ(audio.size(), 1u);
  EXPECT_NEAR(double(audio[0].frames()), 48000.0, 960.0);
  EXPECT_NEAR(level(audio[0], 1000.0, 0.05, 0.25), 0.3, 0.01);
  EXPECT_LT(level(audio[0], 1000.0, 0.45, 0.95), 0.001);
  EXPECT_NEAR(level(audio[0], 440.0, 0.45, 0.95), 0.4, 0.01);
}

TEST(Recorder, ACaptureKeepsItsPitchWhenItRunsAtAnotherRateThanProbed) {
  SyntheticConfig c = desk();
  c.inputs[0].stream_format = AudioFormat{44100, 1, 16, false};
  c.inputs.push_back(SyntheticDevice::input("Line In", 48000, 2, 500.0));
  c.inputs.back().stream_format = AudioFormat{32000, 2, 16, false};
  Rig rig(std::move(c));
  // Line In starts with the recording, the microphone while it runs.
  auto rec =
      rig.start({.devices = {"Line In"}, .format = STUDIO, .mode = RecordMode::StemsSilence});
  ASSERT_TRUE(rec.has_value());
  ASSERT_TRUE(rig.clock->run_to(300ms));
  EXPECT_EQ(switch_on(*rec, MIC), std::nullopt);
  ASSERT_TRUE(rig.clock->run_to(1s));
  const auto audio = repaired(std::move(*rec).stop().files);
  ASSERT_EQ(audio.size(), 3u);
  const signal::Audio& mic = audio[1];
  const signal::Audio& line_in = audio[2];
  EXPECT_NEAR(double(line_in.frames()), 48000.0, 960.0);
  EXPECT_NEAR(double(mic.frames()), 48000.0, 960.0);
  EXPECT_NEAR(signal::tone_frequency(line_in.channel(0, 4800, 43200), 48000.0), 500.0, 1.0);
  EXPECT_NEAR(signal::tone_frequency(mic.channel(0, 19200, 43200), 48000.0), 1000.0, 1.0);
  EXPECT_NEAR(level(mic, 1000.0, 0.4, 0.9), 0.6, 0.01);
}

}  // namespace
}  // namespace quillbox
