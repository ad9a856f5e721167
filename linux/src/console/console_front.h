#pragma once

// The Linux program's front end until it has a window: it records in the
// console through the window's own flows. Recording starts at once (system
// audio, the microphone with --mic, the --device entries of the device list,
// the chosen mode and format, into the --output folder or the default one)
// and ends at the --duration deadline or when a stop is requested (Ctrl-C,
// SIGTERM, SIGHUP). Message boxes become "{caption}: {text}" lines on
// standard error; the final status line goes to standard output.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/platform_paths.h"
#include "cli/cli.h"
#include "engine/capture.h"

namespace quillbox {

struct ConsoleFrontEnv {
  std::shared_ptr<CapturePlatform> capture;
  PlatformPaths paths;
  std::filesystem::path default_dir;
  std::function<void(std::string_view)> out;
  std::function<void(std::string_view)> err;
  // Standard error is a terminal: one status line is rewritten in place.
  bool live_line = false;
  // Asks a yes/no question on the terminal; absent when standard input is
  // not one (the answer is then No). Returns the line typed, or nothing when
  // the question was cut short.
  std::function<std::optional<std::string>()> ask;
  // Set by the signal handlers; read by the loop only.
  const std::atomic<bool>* stop_requested = nullptr;
  // How often the loop looks at the recording: its sources, the deadline
  // and the live line (four updates a second).
  std::chrono::milliseconds tick{250};
  // Waits out one tick, returning early once a stop is requested; a plain
  // sleep when absent.
  std::function<void(std::chrono::milliseconds)> wait_tick;
};

// Records until the deadline, a stop request or every source failing, then
// finishes and saves. Returns 0 after a normal end (also when nothing was
// recorded, or some audio was lost and told), 1 when the recording could not
// start, ended with a write or save error, or stopped because every source
// failed.
int run_console_recording(const Options& options, const ConsoleFrontEnv& env);

// One source's level on the live line.
struct SourceLevel {
  std::string label;
  float peak = 0.0f;  // since the last line, 0 to 1
};

// The live line: "\rRecording {elapsed}" with the elapsed time as m:ss
// (h:mm:ss from an hour on), then "  {label} [{bar}]" per source, the bar
// 10 cells filled in proportion to the peak, and the rest of the terminal
// line cleared.
std::string live_line_text(std::chrono::seconds elapsed, const std::vector<SourceLevel>& levels);

}  // namespace quillbox
