#pragma once

// The window's flows against the real recorder: synthetic tone devices in
// virtual time, a scripted user interface, and a scratch folder.

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "base/text.h"
#include "fake_ui.h"
#include "flows/app_state.h"
#include "flows/recording_control.h"
#include "stepped_clock.h"
#include "synthetic_capture.h"
#include "test_support.h"

namespace quillbox::test_support {

// Speakers (the default output, 440 Hz at 0.6) and the default microphone
// (1000 Hz at 0.5), both 48 kHz float.
inline synthetic::SyntheticConfig speakers_and_mic() {
  synthetic::SyntheticConfig c;
  c.outputs.push_back(synthetic::SyntheticDevice::output("Speakers", "spk", 48000, 2, 440.0));
  c.outputs.back().amplitude = 0.6f;
  c.inputs.push_back(synthetic::SyntheticDevice::input("VirtualMic", 48000, 1, 1000.0));
  c.inputs.back().native = AudioFormat{48000, 1, 32, true};
  c.inputs.back().amplitude = 0.5f;
  c.default_input = 0;
  return c;
}

inline std::optional<std::filesystem::path> no_place() {
  return std::nullopt;
}

struct FlowRig {
  explicit FlowRig(synthetic::SyntheticConfig config = speakers_and_mic())
      : capture(std::make_shared<synthetic::SyntheticCapture>(std::move(config),
                                                              synthetic::Timing::Stepped)),
        clock(std::make_shared<synthetic::SteppedClock>(capture)),
        app{AppState{}, ui, RecorderEnv{}} {
    app.recorder_env.capture = capture;
    app.recorder_env.clock = clock;
    app.recorder_env.paths = PlatformPaths{no_place, no_place, no_place};
    app.recorder_env.err = [this](std::string_view text) {
      std::lock_guard lock(mutex);
      err += text;
    };
    app.err = [this](std::string_view text) {
      std::lock_guard lock(mutex);
      err += text;
    };
    ui.texts[Control::FolderEdit] = path_to_text(dir.path());
  }

  // The controls as a user sets them before pressing Start.
  StartRequest request(RecordMode mode, bool system = true, bool mic = false) {
    ui.ticks[Control::SystemBox] = system;
    ui.ticks[Control::MicBox] = mic;
    ui.ticks[Control::SingleRadio] = mode == RecordMode::Single;
    ui.ticks[Control::SilenceRadio] = mode == RecordMode::StemsSilence;
    ui.ticks[Control::InstructedRadio] = mode == RecordMode::StemsInstructed;
    return collect_start_request(app);
  }

  // Starts from the controls and lets `length` of virtual time pass.
  bool record(RecordMode mode, std::chrono::milliseconds length, bool system = true,
              bool mic = false) {
    if (!start_recording(app, request(mode, system, mic), std::nullopt)) return false;
    return clock->run_to(length);
  }

  ScratchDir dir;
  std::shared_ptr<synthetic::SyntheticCapture> capture;
  std::shared_ptr<synthetic::SteppedClock> clock;
  FakeUi ui;
  AppContext app;
  std::mutex mutex;
  std::string err;
};

}  // namespace quillbox::test_support
