// Real recordings through the engine with the WASAPI platform, against the
// private sound server that scripts/test starts: the default microphone
// ("VirtualMic", 1000 Hz at half scale) and "Monitor of Speakers" (440 Hz at
// half scale), in each of the three layouts. Skipped without a sound server.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "base/path_names.h"
#include "base/text.h"
#include "engine/recorder.h"
#include "signal_analysis.h"
#include "test_support.h"
#include "wasapi/wasapi_devices.h"
#include "wasapi/wasapi_platform.h"
#include "wav/repair.h"

namespace quillbox::wasapi {
namespace {

using namespace std::chrono_literals;
using test_support::ScratchDir;

struct Heard {
  double frequency = 0;
  double level = 0;
};

// The tone in channel 0 from the first sound on (the first packets can be
// late), leaving out the last 50 ms.
Heard hear(const signal::Audio& audio, double frequency) {
  const auto all = audio.channel(0);
  const std::size_t onset = signal::first_above(all, 0.02f);
  const std::size_t margin = audio.sample_rate / 20;
  if (onset + 4 * margin >= all.size()) return {};
  const std::span<const float> tone(all.data() + onset + margin, all.size() - onset - 2 * margin);
  return {signal::tone_frequency(tone, audio.sample_rate),
          signal::tone_amplitude(tone, audio.sample_rate, frequency)};
}

class WasapiRecording : public ::testing::TestWithParam<RecordMode> {};

TEST_P(WasapiRecording, MicAndMonitorLandInTheRightFilesAtTheRightLevel) {
  DefaultOutputId slot;
  ScratchDir dir;
  StreamSettings settings;
  settings.error_file_dir = [&] { return std::optional(dir.path()); };
  auto platform = std::make_shared<WasapiPlatform>(slot, settings);
  const auto inputs = platform->list_input_devices();
  if (std::ranges::find(inputs.devices, "Monitor of Speakers", &InputDeviceInfo::name) ==
      inputs.devices.end()) {
    GTEST_SKIP() << "no sound server with \"Monitor of Speakers\"";
  }

  std::mutex mutex;
  std::string err;
  RecorderEnv env;
  env.capture = platform;
  env.err = [&](std::string_view text) {
    std::lock_guard lock(mutex);
    err += text;
  };
  const RecordMode mode = GetParam();
  StartRequest request{.output_dir = path_to_text(dir.path()),
                       .devices = {"Monitor of Speakers"},
                       .record_system = true,
                       .record_mic = true,
                       .mode = mode};
  auto recorder = Recorder::start(request, env);
  ASSERT_TRUE(recorder.has_value()) << recorder.error().text;
  EXPECT_EQ(recorder->warnings(), std::vector<std::string>{});
  // Wine's first packets can come seconds late on a busy machine: record
  // until both tones have been heard, then three seconds more.
  std::vector<float> heard(recorder->source_count(), 0.0f);
  const auto give_up = std::chrono::steady_clock::now() + 15s;
  while (std::ranges::count_if(heard, [](float p) { return p > 0.1f; }) < 2 &&
         std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(50ms);
    const auto peaks = recorder->take_peaks();
    for (std::size_t i = 0; i < peaks.size() && i < heard.size(); ++i) {
      heard[i] = std::max(heard[i], peaks[i]);
    }
  }
  std::this_thread::sleep_for(3s);
  const StopResult result = std::move(*recorder).stop();
  EXPECT_EQ(result.error, std::nullopt);
  // Under Wine the system audio fails on its own thread and says so once.
  {
    std::lock_guard lock(mutex);
    EXPECT_TRUE(err.empty() || err == "Loopback capture error: GetService: 0x88890003\n") << err;
  }

  std::vector<std::pair<std::string, signal::Audio>> files;
  for (const auto& f : result.files) {
    if (f.extension() != ".recpart") continue;
    auto wav = repair_file(f);
    ASSERT_TRUE(wav.has_value()) << path_to_text(f);
    auto audio = signal::read_wav(*wav);
    ASSERT_TRUE(audio.has_value());
    files.emplace_back(path_to_text(wav->filename()), std::move(*audio));
  }
  // The first file of a source, by its label; the stems of the input
  // devices not recorded ("Monitor of MicFeed", ...) come in the order
  // Wine lists them.
  const auto find = [&](std::string_view label) -> const signal::Audio* {
    for (const auto& [name, audio] : files) {
      if (name.starts_with(label)) return &audio;
    }
    return nullptr;
  };

  if (mode == RecordMode::Single) {
    ASSERT_EQ(files.size(), 1u);
    // Each source at its share of full scale: half scale over the source count.
    const double share = 0.5 / double(result.source_count);
    const auto& mix = files[0].second;
    EXPECT_NEAR(hear(mix, 1000.0).level, share, 0.05 * share);
    EXPECT_NEAR(hear(mix, 440.0).level, share, 0.05 * share);
    return;
  }
  const signal::Audio* mic = find("mic");
  const signal::Audio* monitor = find("Monitor of Speakers");
  ASSERT_NE(mic, nullptr);
  ASSERT_NE(monitor, nullptr);
  const Heard from_mic = hear(*mic, 1000.0);
  const Heard from_monitor = hear(*monitor, 440.0);
  SCOPED_TRACE("mic " + std::to_string(mic->frames()) + " frames, peak " +
               std::to_string(signal::peak(mic->samples)) + "; monitor " +
               std::to_string(monitor->frames()) + " frames, peak " +
               std::to_string(signal::peak(monitor->samples)));
  // Wine's emulated endpoints deliver in bursts when the machine is busy,
  // every packet stamped when it was read; the audio is still contiguous,
  // without a gap that would lower its level or frequency.
  EXPECT_NEAR(from_mic.frequency, 1000.0, 1.0);
  EXPECT_NEAR(from_mic.level, 0.5, 0.02);
  EXPECT_NEAR(from_monitor.frequency, 440.0, 1.0);
  EXPECT_NEAR(from_monitor.level, 0.5, 0.02);
  // Each tone only in its own file.
  EXPECT_LT(hear(*mic, 440.0).level, 0.01);
  EXPECT_LT(hear(*monitor, 1000.0).level, 0.01);
  // At least the three seconds after both tones were heard.
  EXPECT_GT(double(mic->frames()) / mic->sample_rate, 3.0);
  if (mode == RecordMode::StemsInstructed) {
    ASSERT_FALSE(result.files.empty());
    EXPECT_TRUE(std::filesystem::exists(result.files[0].parent_path() / "instructions.txt"));
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, WasapiRecording,
                         ::testing::Values(RecordMode::Single, RecordMode::StemsSilence,
                                           RecordMode::StemsInstructed),
                         [](const auto& info) {
                           switch (info.param) {
                             case RecordMode::Single:
                               return std::string("Single");
                             case RecordMode::StemsSilence:
                               return std::string("StemsSilence");
                             default:
                               return std::string("StemsInstructed");
                           }
                         });

}  // namespace
}  // namespace quillbox::wasapi
