// The real recorder and processor, driven by synthetic tone sources, writing
// real files that are then repaired and listened to.

#include "engine/recorder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "base/text.h"
#include "engine/session_layout.h"
#include "recorder_rig.h"
#include "repaired_audio.h"
#include "signal_analysis.h"
#include "stepped_clock.h"
#include "synthetic_capture.h"
#include "test_support.h"
#include "wav/normalize.h"
#include "wav/repair.h"

namespace quillbox {
namespace {

using namespace std::chrono_literals;
using namespace recorder_rig;

TEST(Recorder, SingleFileMixesEverySourceAtItsShareOfFullScale) {
  Rig rig(desk());
  auto rec = rig.start({.devices = {"[Loopback] Headset"},
                        .format = STUDIO,
                        .record_system = true,
                        .record_mic = true});
  ASSERT_TRUE(rec.has_value()) << rec.error().text;
  EXPECT_TRUE(rec->warnings().empty());
  // The default output was remembered by its probe, so only Headset is listed.
  ASSERT_EQ(rec->source_count(), 3u);
  EXPECT_EQ(rec->sources()[2].key, (SourceKey{SourceKind::LoopbackDevice, "[Loopback] Headset"}));
  ASSERT_TRUE(rig.clock->run_to(500ms));
  rec->set_source_enabled(MIC, false, {});
  ASSERT_TRUE(rig.clock->run_to(1s));
  const StopResult result = std::move(*rec).stop();

  EXPECT_EQ(result.error, std::nullopt);
  EXPECT_EQ(names(result.files), std::vector<std::string>{"recording_2024-03-05_07-09.recpart"});
  EXPECT_EQ(result.used_sources, 3u);
  EXPECT_EQ(result.source_count, 3u);
  EXPECT_FALSE(result.output_dir_created);
  const auto audio = repaired(result.files);
  ASSERT_EQ(audio.size(), 1u);
  EXPECT_NEAR(double(audio[0].frames()), 48000.0, 960.0);
  EXPECT_NEAR(level(audio[0], 440.0, 0.1, 0.9), 0.8 / 3, 0.003);
  EXPECT_NEAR(level(audio[0], 660.0, 0.1, 0.9), 0.9 / 3, 0.003);
  // The microphone was switched off half way; the divisor stays 3.
  EXPECT_NEAR(level(audio[0], 1000.0, 0.1, 0.45), 0.6 / 3, 0.003);
  EXPECT_LT(level(audio[0], 1000.0, 0.55, 0.95), 0.001);
}

TEST(Recorder, SingleFileClipsTheMixAtFullScale) {
  SyntheticConfig c = desk();
  c.default_input.reset();
  c.outputs[0].amplitude = 1.5f;
  Rig rig(std::move(c));
  auto rec = rig.start({.format = STUDIO, .record_system = true});
  ASSERT_TRUE(rec.has_value());
  ASSERT_TRUE(rig.clock->run_to(300ms));
  const auto audio = repaired(std::move(*rec).stop().files);
  ASSERT_EQ(audio.size(), 1u);
  EXPECT_NEAR(signal::peak(audio[0].samples), 1.0f, 1e-6f);
  EXPECT_LE(signal::peak(audio[0].samples), 1.0f);
}

TEST(Recorder, SingleFileWithEverySourceOffGrowsWithTheTimeThatPasses) {
  Rig rig(desk());
  // Passes of 15 ms, three blocks' worth each.
  rig.clock->set_pass_overhead({10ms});
  auto rec = rig.start({.format = STUDIO});
  ASSERT_TRUE(rec.has_value());
  ASSERT_TRUE(rig.clock->run_to(1s));
  const auto audio = repaired(std::move(*rec).stop().files);
  ASSERT_EQ(audio.size(), 1u);
  // Up to the last pass before the stop (at most one pass short).
  EXPECT_NEAR(double(audio[0].frames()), 48000.0, 720.0);
  EXPECT_EQ(signal::peak(audio[0].samples), 0.0f);
}

TEST(Recorder, SilenceStemsStayLevelWhileSourcesSwitch) {
  Rig rig(desk());
  // Uneven passes, as under a coarse system timer; packets every 10 ms.
  rig.clock->set_pass_overhead({0ms, 10ms, 3ms});
  auto rec = rig.start({.format = STUDIO, .record_system = true, .mode = RecordMode::StemsSilence});
  ASSERT_TRUE(rec.has_value());
  ASSERT_TRUE(rig.clock->run_to(400ms));
  EXPECT_EQ(switch_on(*rec, MIC), std::nullopt);
  // Switching on what runs already changes nothing and says so.
  EXPECT_EQ(rec->set_source_enabled(MIC, true, {}), SwitchOutcome::AlreadyActive);
  EXPECT_EQ(rig.capture->start_count("VirtualMic"), 1u);
  ASSERT_TRUE(rig.clock->run_to(800ms));
  rec->set_source_enabled(MIC, false, {});
  ASSERT_TRUE(rig.clock->run_to(1200ms));
  const StopResult result = std::move(*rec).stop();

  EXPECT_EQ(names(result.files), (std::vector<std::string>{"loopback.recpart", "mic.recpart"}));
  EXPECT_EQ(result.files[0].parent_path().filename(), "recording_2024-03-05_07-09");
  EXPECT_EQ(result.used_sources, 2u);
  const auto audio = repaired(result.files);
  ASSERT_EQ(audio.size(), 2u);
  const signal::Audio& speakers = audio[0];
  const signal::Audio& mic = audio[1];
  EXPECT_NEAR(double(speakers.frames()), 57600.0, 960.0);
  EXPECT_NEAR(double(mic.frames()), double(speakers.frames()), 480.0);
  // Each stem holds its own tone only; the mic's sits where it was switched on.
  EXPECT_NEAR(level(speakers, 440.0, 0.1, 1.1), 0.8, 0.01);
  EXPECT_LT(level(speakers, 1000.0, 0.1, 1.1), 0.001);
  EXPECT_NEAR(level(mic, 1000.0, 0.45, 0.75), 0.6, 0.01);
  EXPECT_LT(level(mic, 440.0, 0.45, 0.75), 0.001);
  const auto ch = mic.channel(0);
  EXPECT_NEAR(double(signal::first_above(ch, 0.05f)), 19200.0, 960.0);
  const auto tail = mic.channel(0, 40000);
  EXPECT_EQ(signal::peak(tail), 0.0f);
}

TEST(Recorder, InstructedSegmentsAreListedAtTheirPlaceOnTheTimeline) {
  Rig rig(desk());
  auto rec =
      rig.start({.format = STUDIO, .record_system = true, .mode = RecordMode::StemsInstructed});
  ASSERT_TRUE(rec.has_value());
  ASSERT_TRUE(rig.clock->run_to(400ms));
  EXPECT_EQ(switch_on(*rec, MIC), std::nullopt);
  ASSERT_TRUE(rig.clock->run_to(800ms));
  rec->set_source_enabled(MIC, false, {});
  ASSERT_TRUE(rig.clock->run_to(1000ms));
  EXPECT_EQ(switch_on(*rec, MIC), std::nullopt);
  ASSERT_TRUE(rig.clock->run_to(1200ms));
  const StopResult result = std::move(*rec).stop();

  EXPECT_EQ(names(result.files),
            (std::vector<std::string>{"loopback.recpart", "mic.recpart", "mic_2.recpart"}));
  EXPECT_EQ(result.used_sources, 2u);
  const auto text =
      test_support::read_bytes<char>(result.files[0].parent_path() / "instructions.txt");
  const std::string header = instructions_header(48000);
  ASSERT_GE(text.size(), header.size());
  EXPECT_EQ(std::string(text.begin(), text.begin() + header.size()), header);
  std::istringstream lines(std::string(text.begin() + header.size(), text.end()));
  std::uint64_t o0 = 1, o1 = 0, o2 = 0;
  std::string l0, l1, l2;
  lines >> o0 >> l0 >> o1 >> l1 >> o2 >> l2;
  EXPECT_EQ(o0, 0u);
  EXPECT_EQ(l0, "loopback");
  EXPECT_EQ(l1, "mic");
  EXPECT_EQ(l2, "mic_2");
  // The speakers ran throughout, so the timeline is their stem.
  EXPECT_NEAR(double(o1), 19200.0, 480.0);
  EXPECT_NEAR(double(o2), 48000.0, 480.0);

  const auto audio = repaired(result.files);
  ASSERT_EQ(audio.size(), 3u);
  EXPECT_NEAR(double(audio[0].frames()), 57600.0, 960.0);
  EXPECT_NEAR(double(audio[1].frames()), 19200.0, 960.0);
  EXPECT_NEAR(double(audio[2].frames()), 9600.0, 960.0);
  EXPECT_NEAR(level(audio[2], 1000.0, 0.0, 0.19), 0.6, 0.01);
}

TEST(Recorder, ASourceThatStopsDeliveringNoLongerHoldsTheMixBack) {
  SyntheticConfig c = desk();
  c.inputs[0].stop_after = 300ms;
  Rig rig(std::move(c));
  auto rec = rig.start({.format = STUDIO, .record_system = true, .record_mic = true});
  ASSERT_TRUE(rec.has_value());
  ASSERT_TRUE(rig.clock->run_to(1s));
  const auto audio = repaired(std::move(*rec).stop().files);
  ASSERT_EQ(audio.size(), 1u);
  EXPECT_NEAR(double(audio[0].frames()), 48000.0, 960.0);
  EXPECT_NEAR(level(audio[0], 1000.0, 0.05, 0.25), 0.3, 0.005);
  EXPECT_NEAR(level(audio[0], 440.0, 0.5, 0.9), 0.4, 0.005);
  EXPECT_LT(level(audio[0], 1000.0, 0.5, 0.9), 0.001);
}

TEST(Recorder, ResampledSourcesKeepTheirFrequencyAndLevel) {
  SyntheticConfig c;
  c.outputs.push_back(SyntheticDevice::output("Speakers", "spk", 44100, 2, 1000.0));
  c.inputs.push_back(SyntheticDevice::input("VirtualMic", 96000, 1, 2500.0));
  c.default_input = 0;
  Rig rig(std::move(c));
  auto rec = rig.start({.format = STUDIO,
                        .record_system = true,
                        .record_mic = true,
                        .mode = RecordMode::StemsSilence});
  ASSERT_TRUE(rec.has_value());
  ASSERT_TRUE(rig.clock->run_to(2s));
  const auto audio = repaired(std::move(*rec).stop().files);
  ASSERT_EQ(audio.size(), 2u);
  const double tones[] = {1000.0, 2500.0};
  for (std::size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(audio[i].sample_rate, 48000);
    // Nothing the resampler held back at the stop is lost.
    EXPECT_NEAR(double(audio[i].frames()), 96000.0, 480.0);
    const auto settled = audio[i].channel(1, 9600, 86400);
    EXPECT_NEAR(signal::tone_frequency(settled, 48000.0), tones[i], 1.0);
    EXPECT_NEAR(signal::db(signal::tone_amplitude(settled, 48000.0, tones[i]) / 0.5), 0.0, 0.1);
  }
}

TEST(Recorder, AutoTakesTheGreatestFormatOfEveryListedDevice) {
  SyntheticConfig c = desk();
  c.inputs.push_back(SyntheticDevice::input("Line In", 44100, 2, 500.0));
  c.inputs.push_back(SyntheticDevice::input("Studio 6ch", 96000, 6, 500.0));
  c.inputs.back().native = {96000, 6, 32, true};
  Rig rig(std::move(c));
  // Ticking one input device lists them all; the greatest is not recorded.
  auto rec = rig.start({.devices = {"Line In"}, .record_system = true});
  ASSERT_TRUE(rec.has_value());
  EXPECT_EQ(rec->spec(), (AudioFormat{96000, 6, 32, true}));
  EXPECT_EQ(rec->source_count(), 4u);
  EXPECT_EQ(rec->used_source_count(), 2u);
  ASSERT_TRUE(rig.clock->run_to(200ms));
  const auto audio = repaired(std::move(*rec).stop().files);
  ASSERT_EQ(audio.size(), 1u);
  EXPECT_EQ(audio[0].sample_rate, 96000);
  EXPECT_EQ(audio[0].channels, 6);
}

TEST(Recorder, MonoAndSixChannelSourcesBecomeStereoStems) {
  SyntheticConfig c = desk();
  c.inputs.push_back(SyntheticDevice::input("Studio 6ch", 48000, 6, 500.0));
  Rig rig(std::move(c));
  auto rec = rig.start({.devices = {"Studio 6ch"},
                        .format = STUDIO,
                        .record_mic = true,
                        .mode = RecordMode::StemsSilence});
  ASSERT_TRUE(rec.has_value());
  ASSERT_TRUE(rig.clock->run_to(300ms));
  const auto audio = repaired(std::move(*rec).stop().files);
  ASSERT_EQ(audio.size(), 3u);
  for (std::size_t i : {1u, 2u}) {
    ASSERT_EQ(audio[i].channels, 2);
    EXPECT_EQ(audio[i].channel(0), audio[i].channel(1));
  }
  EXPECT_NEAR(level(audio[1], 1000.0, 0.05, 0.25), 0.6, 0.01);
  EXPECT_NEAR(level(audio[2], 500.0, 0.05, 0.25), 0.5, 0.01);
}

TEST(Recorder, SourcesThatFailToStartOnlyWarn) {
  SyntheticConfig c = desk();
  c.outputs[0].probe_error = "Activate: 0x88890004";
  c.inputs[0].start_error = "device busy";
  c.inputs.push_back(SyntheticDevice::input("Line In", 48000, 2, 500.0));
  c.inputs.back().start_error = "unplugged";
  Rig rig(std::move(c));
  auto rec = rig.start({.devices = {"Line In"}, .record_system = true, .record_mic = true});
  ASSERT_TRUE(rec.has_value());
  const std::vector<std::string> expected{
      "System audio (loopback) failed to start: Activate: 0x88890004",
      "Microphone failed to start: device busy", "Input \"Line In\" failed to start: unplugged"};
  EXPECT_EQ(rec->warnings(), expected);
  EXPECT_EQ(rig.err, expected[0] + "\n" + expected[1] + "\n" + expected[2] + "\n");
  // A failed probe counts as 44.1 kHz stereo 16-bit.
  EXPECT_EQ(rec->sources()[0].native, (AudioFormat{44100, 2, 16, false}));
  EXPECT_EQ(rec->used_source_count(), 0u);
  EXPECT_EQ(switch_on(*rec, (SourceKey{SourceKind::InputDevice, "Line In"})),
            "Failed to start Line In: unplugged");
  ASSERT_TRUE(rig.clock->run_to(100ms));
  EXPECT_EQ(std::move(*rec).stop().error, std::nullopt);
}

TEST(Recorder, FallsBackToAWritableFolderAndSaysSo) {
  Rig rig(desk());
  test_support::write_bytes(rig.dir / "blocker", std::string("x"));
  g_places = rig.dir.path();
  const auto primary = rig.dir / "blocker" / "out";
  auto rec = rig.start({.output_dir = path_to_text(primary), .record_system = true});
  ASSERT_TRUE(rec.has_value());
  EXPECT_EQ(rec->output_dir(), rig.dir / "cwd");
  EXPECT_TRUE(rec->output_dir_created());
  ASSERT_FALSE(rec->warnings().empty());
  const std::string expected = "Could not write to " + path_to_text(primary) + "; recording in " +
                               path_to_text(rig.dir / "cwd") + " instead: ";
  EXPECT_EQ(rec->warnings()[0].substr(0, expected.size()), expected);
  ASSERT_TRUE(rig.clock->run_to(100ms));
  EXPECT_EQ(std::move(*rec).stop().files.size(), 1u);
}

TEST(Recorder, NoWritableFolderStopsTheStartAndReleasesTheCaptures) {
  Rig rig(desk());
  test_support::write_bytes(rig.dir / "blocker", std::string("x"));
  g_places = rig.dir / "blocker";
  auto rec = rig.start({.output_dir = path_to_text(rig.dir / "blocker" / "out"),
                        .record_system = true,
                        .record_mic = true});
  ASSERT_FALSE(rec.has_value());
  EXPECT_EQ(rec.error().kind, StartError::Kind::NoWritableDir);
  const std::string lead =
      "Recording couldn't be started because no writeable directory could be found. Please set "
      "the output directory field to a folder you can write to.\n\nTried:\n" +
      path_to_text(rig.dir / "blocker" / "out") + ": ";
  EXPECT_EQ(rec.error().text.substr(0, lead.size()), lead);
  EXPECT_EQ(std::ranges::count(rec.error().text, '\n'), 2 + 5);
  EXPECT_EQ(rig.capture->live_stream_count(), 0u);
}

// The normalize offer needs the loudest sample of a recording's files; the
// stop knows it from the writing, in every layout, depth and part, and it
// is what reading the files back finds.
TEST(Recorder, TheStopKnowsThePeakThatReadingTheFilesBackFinds) {
  struct Case {
    RecordMode mode;
    AudioFormat format;
  };
  for (const Case& c : {Case{RecordMode::Single, AudioFormat{48000, 2, 16, false}},
                        Case{RecordMode::Single, AudioFormat{48000, 2, 32, true}},
                        Case{RecordMode::StemsSilence, STUDIO},
                        Case{RecordMode::StemsInstructed, AudioFormat{48000, 2, 16, false}}}) {
    Rig rig(desk());
    rig.part_size_limit = 100'000;
    auto rec =
        rig.start({.format = c.format, .record_system = true, .record_mic = true, .mode = c.mode});
    ASSERT_TRUE(rec.has_value()) << rec.error().text;
    ASSERT_TRUE(rig.clock->run_to(400ms));
    rec->set_source_enabled(SYSTEM, false, {});
    ASSERT_TRUE(rig.clock->run_to(800ms));
    const StopResult result = std::move(*rec).stop();
    ASSERT_EQ(result.error, std::nullopt);
    ASSERT_GT(result.files.size(), 1u) << "parts or stems";
    float read_back = 0.0f;
    for (const auto& file : result.files)
      read_back = std::max(read_back, wav_peak(file).value_or(-1.0f));
    ASSERT_TRUE(result.peak.has_value());
    EXPECT_EQ(*result.peak, read_back) << int(c.mode) << " " << c.format.bits_per_sample;
    EXPECT_GT(read_back, 0.2f);
  }
}

TEST(Recorder, SessionTimestamp) {
  using namespace std::chrono;
  EXPECT_EQ(session_timestamp(sys_days{2024y / 3 / 5} + 7h + 9min + 59s), "2024-03-05_07-09");
  EXPECT_EQ(session_timestamp(sys_days{1969y / 12 / 31} + 23h), "1970-01-01_00-00");
  EXPECT_EQ(session_timestamp(sys_days{2000y / 2 / 29} + 23h + 59min), "2000-02-29_23-59");
}

TEST(Recorder, GreatestFormat) {
  const AudioFormat a{48000, 2, 16, false}, b{48000, 2, 24, false}, f{48000, 2, 32, true},
      m{96000, 1, 16, false}, c{48000, 6, 16, false};
  EXPECT_EQ(greatest_format({a, b}), b);
  EXPECT_EQ(greatest_format({b, f}), f);
  EXPECT_EQ(greatest_format({f, m}), m);
  EXPECT_EQ(greatest_format({f, c}), c);
  EXPECT_EQ(greatest_format({b, b}), b);
}

}  // namespace
}  // namespace quillbox
