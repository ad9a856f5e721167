#pragma once

// The window thread's state and what the window's flows work with: the
// running recording, its start time and deadline, the start values, the
// "Other devices:" model, and the services the flows call.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "base/file.h"
#include "base/file_moves.h"
#include "cli/app.h"
#include "engine/recorder.h"
#include "flows/ui_services.h"

namespace quillbox {

struct AppState {
  using time_point = std::chrono::steady_clock::time_point;

  std::optional<Recorder> recorder;  // a recording is running exactly when present
  std::optional<time_point> started_at;
  std::optional<time_point> deadline;  // auto-stop of a `--duration` run
  StartRequest defaults;               // the values the controls start with
  std::vector<std::string> device_names;
  std::vector<bool> device_checked;  // same length as device_names
};

// The start values of the window: with `--duration` the `--output` folder
// when given, else `default_dir`; without it always `default_dir`. System
// audio on; the `--device` entries, the microphone, mode and format as given.
StartRequest start_values(const Options& options, const std::filesystem::path& default_dir);

// The quality list's entry of a format: the last preset of equal format
// ("Auto (match source)" for none), entry 0 when nothing matches.
std::size_t preset_index(const std::optional<AudioFormat>& format);

// Ticks the boxes and the mode's button as the start values say.
void tick_start_values(UiServices& ui, const StartRequest& values);

// The state together with the services the flows call. Everything here is
// used on the UI thread only.
struct AppContext {
  AppState state;
  UiServices& ui;
  RecorderEnv recorder_env;
  std::function<void(std::string_view)> err = write_stderr;
  // Renames files when saving; tests inject failures (a move across file systems).
  RenameFn rename = rename_replace;
};

}  // namespace quillbox
