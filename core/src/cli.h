#pragma once

// The command line: options, the quality presets and the usage text.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "console.h"
#include "output_spec.h"

namespace quillbox {

// How sources become files. The numbers are shared by the command line, the
// window and the recording engine.
enum class RecordMode : std::uint8_t {
  Single = 0,           // all sources mixed into one file
  StemsSilence = 1,     // one file per source, silence while a source is off
  StemsInstructed = 2,  // one file per active stretch of a source, plus instructions
};

// The parsed command line.
struct Options {
  std::optional<std::uint64_t> duration;  // seconds
  std::optional<std::string> output;      // a folder, verbatim
  bool mic = false;
  bool repair = false;
  RecordMode mode = RecordMode::Single;
  std::optional<OutputSpec> format;  // absent: "auto", the sources' own format

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
  struct Error {
    std::string message;  // shown to the user as it is
    friend bool operator==(const Error&, const Error&) = default;
  };

  std::variant<Run, Help, Error> value;

  friend bool operator==(const CliAction&, const CliAction&) = default;
};

// An output quality choice of the command line and the window's quality list.
struct FormatPreset {
  std::optional<std::string_view> key;  // the word after --format; absent for "auto"
  std::string_view label;
  std::optional<OutputSpec> spec;  // absent: derived from the sources when recording starts
};

// In the order of the window's quality list and of the usage text. Every fixed
// preset is stereo. The labels hold U+2014 EM DASH.
inline constexpr std::array<FormatPreset, 5> FORMAT_PRESETS{{
    {std::nullopt, "Auto (match source)", std::nullopt},
    {"cd", "CD quality  \u2014  44.1 kHz / 16-bit", OutputSpec{44100, 2, 16, false}},
    {"studio", "Studio  \u2014  48 kHz / 24-bit", OutputSpec{48000, 2, 24, false}},
    {"hires", "High-res  \u2014  96 kHz / 24-bit", OutputSpec{96000, 2, 24, false}},
    {"hires-float", "High-res float  \u2014  96 kHz / 32-bit float",
     OutputSpec{96000, 2, 32, true}},
}};

// The preset whose key is exactly `key` (case-sensitive); presets without a
// key never match.
std::optional<FormatPreset> find_preset(std::string_view key);

// Parses the arguments (UTF-8, without the program path). Never prints and
// never exits: errors come back as CliAction::Error.
CliAction parse_args(const std::vector<std::string>& args);

// The usage text, every line ending in a line feed.
std::string usage_text();

// Writes the usage text to standard error.
inline void print_usage() {
  write_stderr(usage_text());
}

}  // namespace quillbox
