#pragma once

// The command line: options and the usage text.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/audio_format.h"
#include "base/console.h"
#include "engine/record_mode.h"

namespace quillbox {

// The parsed command line.
struct Options {
  std::optional<std::uint64_t> duration;  // seconds
  std::optional<std::string> output;      // a folder, verbatim
  bool mic = false;
  bool repair = false;
  bool window = false;  // open the window whatever else is given
  RecordMode mode = RecordMode::Single;
  std::optional<AudioFormat> format;  // absent: "auto", the sources' own format
  std::vector<std::string> devices;   // device list entries to tick, in the order given
  bool list_devices = false;

  friend bool operator==(const Options&, const Options&) = default;
};

// What the command line asks for.
struct CliAction {
  struct Run {
    Options options;
    friend bool operator==(const Run&, const Run&) = default;
  };
  struct Help {
    friend bool operator==(const Help&, const Help&) = default;
  };
  struct Version {
    friend bool operator==(const Version&, const Version&) = default;
  };
  struct Error {
    std::string message;  // shown to the user as it is
    friend bool operator==(const Error&, const Error&) = default;
  };

  std::variant<Run, Help, Version, Error> value;

  friend bool operator==(const CliAction&, const CliAction&) = default;
};

// Parses the arguments (UTF-8, without the program path). Never prints and
// never exits: errors come back as CliAction::Error.
CliAction parse_args(const std::vector<std::string>& args);

// The program's version, "X.Y.Z", as the build names it.
std::string_view version_text();

// The usage text, every line ending in a line feed.
std::string usage_text();

// Writes the usage text to standard error.
inline void print_usage() {
  write_stderr(usage_text());
}

}  // namespace quillbox
