#pragma once

// The recorder tests' rig: the real recorder and processor against
// synthetic tone devices, in virtual time or in real time, writing real
// files into a scratch folder.

#include <chrono>
#include <expected>
#include <filesystem>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/text.h"
#include "engine/recorder.h"
#include "repaired_audio.h"
#include "signal_analysis.h"
#include "stepped_clock.h"
#include "synthetic_capture.h"
#include "test_support.h"

namespace quillbox::recorder_rig {

using namespace std::chrono_literals;
using synthetic::SteppedClock;
using synthetic::SyntheticCapture;
using synthetic::SyntheticConfig;
using synthetic::SyntheticDevice;
using synthetic::Timing;
using test_support::ScratchDir;

constexpr AudioFormat STUDIO{48000, 2, 24, false};
inline const SourceKey SYSTEM{SourceKind::SystemLoopback, {}};
inline const SourceKey MIC{SourceKind::DefaultMic, {}};

// Speakers (the default output, 440 Hz), Headset (660 Hz) and the default
// microphone (1000 Hz), all at 48 kHz.
inline SyntheticConfig desk() {
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
inline std::filesystem::path g_places;
inline std::optional<std::filesystem::path> place(const char* name) {
  if (g_places.empty()) return std::nullopt;
  return g_places / name;
}
inline const PlatformPaths FAKE_PLACES{[] { return place("cwd"); }, [] { return place("exe"); },
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
    env.part_size_limit = part_size_limit;
    return Recorder::start(request, env);
  }

  ScratchDir dir;
  std::shared_ptr<SyntheticCapture> capture;
  std::shared_ptr<SteppedClock> clock;
  WorkerStarter start_worker;
  std::uint64_t part_size_limit = PART_SIZE_LIMIT;
  std::mutex mutex;
  std::string err;
};

// Switches a source on as the window does: the outcome comes back from a
// worker and is attached on this thread.
inline std::optional<std::string> switch_on(Recorder& recorder, const SourceKey& key) {
  std::promise<SourceStartResult> outcome;
  const SwitchOutcome how = recorder.set_source_enabled(
      key, true, [&outcome](SourceStartResult r) { outcome.set_value(std::move(r)); });
  if (how != SwitchOutcome::Starting) return "no start: " + std::to_string(int(how));
  return recorder.attach_stream(outcome.get_future().get());
}

using test_support::repaired;

inline std::vector<std::string> names(const std::vector<std::filesystem::path>& files) {
  std::vector<std::string> out;
  for (const auto& f : files) out.push_back(path_to_text(f.filename()));
  return out;
}

// The amplitude of `frequency` in channel 0 between two times in seconds.
inline double level(const signal::Audio& a, double frequency, double from, double to) {
  const auto ch = a.channel(0, std::size_t(from * a.sample_rate), std::size_t(to * a.sample_rate));
  return signal::tone_amplitude(ch, a.sample_rate, frequency);
}

}  // namespace quillbox::recorder_rig
