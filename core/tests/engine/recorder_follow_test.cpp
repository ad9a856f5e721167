// System audio follows the default output device: the real recorder and
// processor against synthetic devices whose default output changes while
// they record.

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>

#include "engine/recorder.h"
#include "recorder_rig.h"

namespace quillbox {
namespace {

using namespace std::chrono_literals;
using namespace recorder_rig;
using test_support::eventually;

std::string err_of(Rig& rig) {
  std::lock_guard lock(rig.mutex);
  return rig.err;
}

// Starts a recording, lets it run to 1 s of virtual time and makes the
// output of `id` the default there; returns that moment in seconds.
double change_default_at_1s(Rig& rig, const std::string& id) {
  EXPECT_TRUE(eventually([&] { return rig.capture->watch_count() == 1; }));
  EXPECT_TRUE(rig.clock->run_to(1s));
  const double at = std::chrono::duration<double>(rig.clock->elapsed()).count();
  rig.capture->set_default_output(id);
  EXPECT_TRUE(eventually([&] { return err_of(rig).find("System audio") != std::string::npos; }));
  return at;
}

std::size_t frame_at(double seconds) {
  return std::size_t(seconds * 48000.0);
}

TEST(RecorderFollow, SystemAudioGoesOnFromTheNewDefaultOutputOnItsStemAtItsTrueTime) {
  SyntheticConfig c = desk();
  // The headset plays from 200 ms after its capture starts: where that lands
  // in the stem shows that its audio sits at its true time.
  c.outputs[1].bursts = {{200ms, 1h}};
  Rig rig(std::move(c));
  auto rec = rig.start({.format = STUDIO,
                        .record_system = true,
                        .record_mic = true,
                        .mode = RecordMode::StemsSilence});
  ASSERT_TRUE(rec.has_value());
  const double at = change_default_at_1s(rig, "hs");
  ASSERT_TRUE(rig.clock->run_to(2s));
  const StopResult result = std::move(*rec).stop();
  EXPECT_EQ(result.error, std::nullopt);
  EXPECT_EQ(err_of(rig), "System audio now follows Headset\n");
  EXPECT_EQ(rig.capture->start_count("Headset"), 1u);
  EXPECT_EQ(rig.capture->live_stream_count(), 0u);

  const auto audio = repaired(result.files);
  ASSERT_EQ(audio.size(), 2u);
  // One stem for system audio, as long as the microphone's.
  EXPECT_NEAR(double(audio[0].frames()), double(audio[1].frames()), 480.0);
  EXPECT_NEAR(level(audio[0], 440.0, 0.1, at - 0.01), 0.8, 0.01);
  EXPECT_LT(level(audio[0], 660.0, 0.1, at - 0.01), 0.001);
  // Nothing of the old device after the change; the new one from its place.
  EXPECT_LT(signal::peak(audio[0].channel(0, frame_at(at + 0.002), frame_at(at + 0.199))), 0.001f);
  const auto after = audio[0].channel(0, frame_at(at));
  EXPECT_NEAR(double(signal::first_above(after, 0.05f)), 0.2 * 48000.0, 48.0);
  EXPECT_NEAR(level(audio[0], 660.0, at + 0.25, 1.95), 0.9, 0.01);
  EXPECT_LT(level(audio[0], 440.0, at + 0.25, 1.95), 0.001);
  // The microphone records on, untouched.
  EXPECT_NEAR(level(audio[1], 1000.0, 0.1, 1.95), 0.6, 0.01);
}

TEST(RecorderFollow, ANewDefaultOfAnotherRateAndChannelCountKeepsItsPitchAndTheTimeline) {
  SyntheticConfig c = desk();
  c.outputs.push_back(SyntheticDevice::output("Dock", "dock", 44100, 1, 880.0));
  c.outputs.back().amplitude = 0.7f;
  Rig rig(std::move(c));
  auto rec = rig.start({.format = STUDIO, .record_system = true, .record_mic = true});
  ASSERT_TRUE(rec.has_value());
  const double at = change_default_at_1s(rig, "dock");
  ASSERT_TRUE(rig.clock->run_to(3s));
  const StopResult result = std::move(*rec).stop();
  EXPECT_EQ(result.error, std::nullopt);
  EXPECT_EQ(err_of(rig), "System audio now follows Dock\n");
  const auto audio = repaired(result.files);
  ASSERT_EQ(audio.size(), 1u);
  // The mix of two sources: each at half its level.
  EXPECT_NEAR(double(audio[0].frames()), 3.0 * 48000.0, 960.0);
  EXPECT_NEAR(level(audio[0], 440.0, 0.1, at - 0.01), 0.4, 0.01);
  const auto dock = audio[0].channel(1, frame_at(at + 0.1), frame_at(2.9));
  EXPECT_NEAR(signal::tone_amplitude(dock, 48000.0, 880.0), 0.35, 0.01);
  EXPECT_LT(signal::tone_amplitude(dock, 48000.0, 440.0), 0.001);
  EXPECT_NEAR(level(audio[0], 1000.0, 0.1, 2.9), 0.3, 0.01);
}

TEST(RecorderFollow, ATickedOutputDeviceStaysThatDeviceAndTheSystemStemStaysOneFile) {
  SyntheticConfig c = desk();
  c.outputs.push_back(SyntheticDevice::output("Dock", "dock", 48000, 2, 880.0));
  c.outputs.back().amplitude = 0.7f;
  Rig rig(std::move(c));
  auto rec = rig.start({.devices = {"[Loopback] Headset"},
                        .format = STUDIO,
                        .record_system = true,
                        .mode = RecordMode::StemsInstructed});
  ASSERT_TRUE(rec.has_value());
  const double at = change_default_at_1s(rig, "dock");
  ASSERT_TRUE(rig.clock->run_to(2s));
  const StopResult result = std::move(*rec).stop();
  EXPECT_EQ(result.error, std::nullopt);
  EXPECT_EQ(err_of(rig), "System audio now follows Dock\n");
  EXPECT_EQ(rig.capture->start_count("Headset"), 1u);
  EXPECT_EQ(rig.capture->start_count("Dock"), 1u);
  // No new segment: one file per source, as at the start.
  const auto audio = repaired(result.files);
  ASSERT_EQ(audio.size(), 2u);
  EXPECT_NEAR(double(audio[0].frames()), 2.0 * 48000.0, 480.0);
  EXPECT_NEAR(level(audio[0], 440.0, 0.1, at - 0.01), 0.8, 0.01);
  EXPECT_NEAR(level(audio[0], 880.0, at + 0.01, 1.95), 0.7, 0.01);
  EXPECT_NEAR(level(audio[1], 660.0, 0.1, 1.95), 0.9, 0.01);
  EXPECT_LT(level(audio[1], 880.0, 0.1, 1.95), 0.001);
}

}  // namespace
}  // namespace quillbox
