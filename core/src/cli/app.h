#pragma once

// The program's start, shared by the Windows and the Linux program: help,
// command-line errors and the console repair, or the request for the window.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/console.h"
#include "cli/cli.h"
#include "engine/capture.h"
#include "wav/repair.h"

namespace quillbox {

inline constexpr int EXIT_STATUS_OK = 0;
inline constexpr int EXIT_STATUS_FAILURE = 1;

// Where recordings go when no folder is given: "quillbox" in the current
// directory, or "./quillbox" when the current directory cannot be read.
// Nothing is created here.
std::filesystem::path default_output_dir();

// What the start needs of the outside world; tests replace any of it.
struct ConsoleEnv {
  std::function<void(std::string_view)> out = write_stdout;
  std::function<void(std::string_view)> err = write_stderr;
  std::function<std::vector<RepairOutcome>(const std::filesystem::path&)> repair =
      [](const std::filesystem::path& dir) { return repair_directory(dir); };
  std::function<std::filesystem::path()> default_dir = default_output_dir;
  // The devices for `--list-devices` and `--device`; none: there are none.
  std::shared_ptr<CapturePlatform> capture;
};

// The console did all there was to do; the process ends with this status.
struct Finished {
  int exit_status = EXIT_STATUS_OK;
  friend bool operator==(const Finished&, const Finished&) = default;
};

// No console mode applies: the caller opens the window with these options.
struct OpenWindow {
  Options options;
  friend bool operator==(const OpenWindow&, const OpenWindow&) = default;
};

using EntryOutcome = std::variant<Finished, OpenWindow>;

// Parses `args` (UTF-8, without the program path) and runs the console modes:
// help (usage on standard error, status 0), `--version` ("quillbox X.Y.Z" on
// standard output, status 0), a command-line error (message, usage, status
// 1; a `--device` name that is no entry of the device list is one),
// `--list-devices` (the listing on standard output, status 0) or `--repair`
// (one line per file, status 0 whatever the files' fate). The last two
// ignore every other option, `--list-devices` coming first.
EntryOutcome run_console_modes(const std::vector<std::string>& args, const ConsoleEnv& env = {});

// The moment a `--duration` recording stops: `now` plus `seconds` on the
// monotonic clock, capped at the clock's last representable moment when the
// sum does not fit.
std::chrono::steady_clock::time_point auto_stop_deadline(std::chrono::steady_clock::time_point now,
                                                         std::uint64_t seconds);

}  // namespace quillbox
