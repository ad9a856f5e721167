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
#include "repaired_audio.h"
#include "signal_analysis.h"
#include "stepped_clock.h"
#include "synthetic_capture.h"
#include "test_support.h"
#include "wav/repair.h"

namespace quillbox {
namespace {

using namespace std::chrono_literals;
using synthetic::SteppedClock;
using synthetic::SyntheticCapture;
using synthetic::SyntheticConfig;
using synthetic::SyntheticDevice;
using synthetic::Timing;
using test_support::ScratchDir;

constexpr AudioFormat STUDIO{48000, 2, 24, false};
const SourceKey SYSTEM{SourceKind::SystemLoopback, {}};
const SourceKey MIC{SourceKind::DefaultMic, {}};

// Speakers (the default output, 440 Hz), Headset (660 Hz) and the default
// microphone (1000 Hz), all at 48 kHz.
SyntheticConfig desk() {
  SyntheticConfig c;
  c.outputs.push_back(SyntheticDevice::output("Speakers", "spk", 48000, 2, 440.0));
  c.outputs.back().amplitude = 0.8f;
  c.outputs.push_back(SyntheticDevice::output("Headset", "hs", 48000, 2, 660.0));
  c.outputs.back().amplitude = 0.9f;
  c.inputs.push_back(SyntheticDevice::input("VirtualMic", 48000, 1, 1000.0));
  c.inputs.back().amplitude = 0.6f;
  c.default_input = 0;
  return c;
}

// Places the fake folders of a test: when set, every well-known folder is
// this one's subfolder of the same name.
std::filesystem::path g_places;
std::optional<std::filesystem::path> place(const char* name) {
  if (g_places.empty()) return std::nullopt;
  return g_places / name;
}
const PlatformPaths FAKE_PLACES{[] { return place("cwd"); }, [] { return place("exe"); },
                                [] { return place("docs"); }};

// One recording against synthetic devices in virtual time.
struct Rig {
  explicit Rig(SyntheticConfig config, Timing timing = Timing::Stepped)
      : capture(std::make_shared<SyntheticCapture>(std::move(config), timing)) {
    if (timing == Timing::Stepped) clock = std::make_shared<SteppedClock>(capture);
    g_places.clear();
  }
  ~Rig() { g_places.clear(); }

  std::expected<Recorder, StartError> start(StartRequest request) {
    if (request.output_dir.empty()) request.output_dir = path_to_text(dir.path());
    RecorderEnv env;
    env.capture = capture;
    env.clock = clock;
    env.paths = FAKE_PLACES;
    env.err = [this](std::string_view text) {
      std::lock_guard lock(mutex);
      err += text;
    };
    env.wall_clock = [] { return std::chrono::sys_days{2024y / 3 / 5} + 7h + 9min + 59s; };
    env.start_worker = start_worker;
    return Recorder::start(request, env);
  }

  ScratchDir dir;
  std::shared_ptr<SyntheticCapture> capture;
  std::shared_ptr<SteppedClock> clock;
  WorkerStarter start_worker;
  std::mutex mutex;
  std::string err;
};

// Switches a source on as the window does: the outcome comes back from a
// worker and is attached on this thread.
std::optional<std::string> switch_on(Recorder& recorder, const SourceKey& key) {
  std::promise<SourceStartResult> outcome;
  const SwitchOutcome how = recorder.set_source_enabled(
      key, true, [&outcome](SourceStartResult r) { outcome.set_value(std::move(r)); });
  if (how != SwitchOutcome::Starting) return "no start: " + std::to_string(int(how));
  return recorder.attach_stream(outcome.get_future().get());
}

using test_support::repaired;

std::vector<std::string> names(const std::vector<std::filesystem::path>& files) {
  std::vector<std::string> out;
  for (const auto& f : files) out.push_back(path_to_text(f.filename()));
  return out;
}

// The amplitude of `frequency` in channel 0 between two times in seconds.
double level(const signal::Audio& a, double frequency, double from, double to) {
  const auto ch = a.channel(0, std::size_t(from * a.sample_rate), std::size_t(to * a.sample_rate));
  return signal::tone_amplitude(ch, a.sample_rate, frequency);
}

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
