// The Linux console front end: a whole recording through the window's
// flows, against synthetic tone devices in real time.

#include "console/console_front.h"

#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <thread>

#include "base/text.h"
#include "signal_analysis.h"
#include "synthetic_capture.h"
#include "test_support.h"

namespace quillbox {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::optional<fs::path> nowhere() {
  return std::nullopt;
}

struct Console {
  Console() {
    synthetic::SyntheticConfig c;
    c.outputs.push_back(synthetic::SyntheticDevice::output("Speakers", "spk", 48000, 2, 440.0));
    c.inputs.push_back(synthetic::SyntheticDevice::input("VirtualMic", 48000, 1, 1000.0));
    c.default_input = 0;
    env.capture = std::make_shared<synthetic::SyntheticCapture>(c, synthetic::Timing::RealTime);
    env.paths = PlatformPaths{nowhere, nowhere, nowhere};
    env.default_dir = dir / "default";
    env.out = [this](std::string_view t) {
      std::lock_guard lock(mutex);
      out += t;
    };
    env.err = [this](std::string_view t) {
      std::lock_guard lock(mutex);
      err += t;
    };
    env.stop_requested = &stop;
    env.tick = 20ms;
  }
  int run(Options options) { return run_console_recording(options, env); }

  test_support::ScratchDir dir;
  ConsoleFrontEnv env;
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::string out, err;
};

TEST(ConsoleFront, TimedStemsRecordingSavesAndPrintsWhere) {
  Console console;
  const fs::path folder = console.dir / "out";
  const int status = console.run({.duration = 1,
                                  .output = path_to_text(folder),
                                  .mic = true,
                                  .mode = RecordMode::StemsSilence});
  EXPECT_EQ(status, 0) << console.err;
  EXPECT_EQ(console.err, "");
  ASSERT_TRUE(console.out.starts_with("Saved 2 stems: " + path_to_text(folder)));
  const fs::path first = path_from_utf8(console.out.substr(15, console.out.size() - 16));
  EXPECT_EQ(first.filename(), "loopback.wav");
  for (const char* name : {"loopback.wav", "mic.wav"}) {
    const auto audio = signal::read_wav(first.parent_path() / name);
    ASSERT_TRUE(audio.has_value()) << name;
    EXPECT_NEAR(double(audio->frames()) / 48000.0, 1.0, 0.25) << name;
  }
}

// Whether a recording file under `dir` holds more than its header.
bool holds_audio(const fs::path& dir) {
  std::error_code ec;
  for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    if (it->path().extension() == ".recpart" && it->file_size(ec) > 1024) return true;
  return false;
}

// Without a deadline the recording runs until a stop is requested; the
// quiet mix's normalize offer is answered on the terminal.
TEST(ConsoleFront, StopRequestEndsTheRecordingAndTheOfferIsAsked) {
  for (bool terminal : {false, true}) {
    Console console;
    int asked = 0;
    if (terminal)
      console.env.ask = [&] {
        ++asked;
        return std::optional<std::string>("y");
      };
    console.env.live_line = terminal;
    // Speakers and the microphone both play at 0.5; only system audio is on.
    const std::string second_line = "\rRecording 0:01  system [#####     ]\x1b[K";
    // Stopped once the live line has shown its first second, or without a
    // terminal once the recording file holds audio.
    std::thread stopper([&] {
      test_support::eventually([&] {
        if (terminal) {
          std::lock_guard lock(console.mutex);
          return console.err.find(second_line) != std::string::npos;
        }
        return holds_audio(console.env.default_dir);
      });
      console.stop = true;
    });
    const int status = console.run({});
    stopper.join();
    EXPECT_EQ(status, 0);
    const std::string question =
        "Normalize recording?: Recording used 1 of 2 sources and the file is quiet (headroom from "
        "unused sources).\n\nNormalize to peak volume now?";
    ASSERT_TRUE(console.out.starts_with("Saved: " + path_to_text(console.env.default_dir)))
        << console.out;
    const fs::path saved = path_from_utf8(console.out.substr(7, console.out.size() - 8));
    if (terminal) {
      EXPECT_EQ(asked, 1);
      EXPECT_NE(console.err.find(second_line), std::string::npos) << console.err;
      EXPECT_NE(console.err.find(question + " [y/N] Normalize complete: Normalized 1 file(s).\n"),
                std::string::npos)
          << console.err;
      EXPECT_NEAR(signal::peak(signal::read_wav(saved)->samples), 1.0, 0.01);
    } else {
      EXPECT_EQ(console.err, question + "\n");
      EXPECT_NEAR(signal::peak(signal::read_wav(saved)->samples), 0.25, 0.01);
    }
  }
}

TEST(ConsoleFront, StartFailureIsStatusOne) {
  Console console;
  std::ofstream(console.dir / "blocker") << "x";
  const int status = console.run({.output = path_to_text(console.dir / "blocker" / "sub")});
  EXPECT_EQ(status, 1);
  EXPECT_TRUE(console.err.starts_with(
      "Cannot start recording: Recording couldn't be started because no writeable directory"))
      << console.err;
  EXPECT_EQ(console.out, "");
}

// Every source failing leaves nothing to record: status 1 and no files.
TEST(ConsoleFront, NoSourceStartedIsStatusOne) {
  Console console;
  synthetic::SyntheticConfig c;
  c.outputs.push_back(synthetic::SyntheticDevice::output("Speakers", "spk", 48000, 2, 440.0));
  c.outputs[0].start_error = "PulseAudio: Connection refused";
  console.env.capture =
      std::make_shared<synthetic::SyntheticCapture>(c, synthetic::Timing::RealTime);
  const int status = console.run({.mode = RecordMode::StemsSilence});
  EXPECT_EQ(status, 1);
  EXPECT_EQ(console.err,
            "System audio (loopback) failed to start: PulseAudio: Connection refused\n"
            "Recording started with problems: Recording is running, but:\n\nSystem audio "
            "(loopback) failed to start: PulseAudio: Connection refused\n"
            "Cannot start recording: no source could be started.\n");
  EXPECT_FALSE(fs::exists(console.env.default_dir));
  EXPECT_EQ(console.out, "");
}

// The sound server goes away 300 ms into a 30 s recording: both sources
// fail, the recording stops at once and saves what came before, and the
// exit status says so.
TEST(ConsoleFront, EverySourceFailingStopsTheRecordingSavesAndIsStatusOne) {
  Console console;
  synthetic::SyntheticConfig c;
  c.outputs.push_back(synthetic::SyntheticDevice::output("Speakers", "spk", 48000, 2, 440.0));
  c.outputs[0].fail_after = {{300ms, "spk.monitor: Connection terminated"}};
  c.inputs.push_back(synthetic::SyntheticDevice::input("VirtualMic", 48000, 1, 1000.0));
  c.inputs[0].fail_after = {{300ms, "Connection terminated"}};
  c.default_input = 0;
  c.exe_dir = console.dir.path();
  console.env.capture =
      std::make_shared<synthetic::SyntheticCapture>(c, synthetic::Timing::RealTime);
  const auto began = std::chrono::steady_clock::now();
  const int status = console.run({.duration = 30, .mic = true});
  EXPECT_LT(std::chrono::steady_clock::now() - began, 5s);
  EXPECT_EQ(status, 1);
  // The failures as they happen (in either order), then the end's report.
  const std::string system = "Loopback capture error: spk.monitor: Connection terminated\n";
  const std::string mic = "Mic stream error: Connection terminated\n";
  EXPECT_TRUE(console.err.starts_with(system + mic) || console.err.starts_with(mic + system))
      << console.err;
  EXPECT_TRUE(console.err.ends_with("Recording stopped: Every source of the recording failed:\n" +
                                    system + mic +
                                    "\nWhatever was captured before this has been saved.\n"))
      << console.err;
  ASSERT_TRUE(console.out.starts_with("Saved: " + path_to_text(console.env.default_dir)))
      << console.out;
  const auto audio =
      signal::read_wav(path_from_utf8(console.out.substr(7, console.out.size() - 8)));
  ASSERT_TRUE(audio.has_value());
  EXPECT_NEAR(signal::tone_amplitude(audio->channel(0, 2400, 12000), 48000, 440.0), 0.25, 0.02);
}

TEST(ConsoleFront, LiveLineShowsElapsedTime) {
  EXPECT_EQ(live_line_text(0s, {}), "\rRecording 0:00\x1b[K");
  EXPECT_EQ(live_line_text(3599s, {{"system", 0.5f}, {"mic", 2.0f}}),
            "\rRecording 59:59  system [#####     ]  mic [##########]\x1b[K");
  EXPECT_EQ(live_line_text(3661s, {{"mic", 0.04f}}), "\rRecording 1:01:01  mic [          ]\x1b[K");
}

}  // namespace
}  // namespace quillbox
