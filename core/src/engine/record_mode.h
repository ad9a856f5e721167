#pragma once

// How a recording turns its sources into files, and the output quality
// choices: shared by the command line, the window and the recording engine.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "base/audio_format.h"

namespace quillbox {

// How sources become files. The numbers are shared by the command line, the
// window and the recording engine.
enum class RecordMode : std::uint8_t {
  Single = 0,           // all sources mixed into one file
  StemsSilence = 1,     // one file per source, silence while a source is off
  StemsInstructed = 2,  // one file per active stretch of a source, plus instructions
};

// An output quality choice of the command line and the window's quality list.
struct FormatPreset {
  std::optional<std::string_view> key;  // the word after --format; absent for "auto"
  std::string_view label;
  std::optional<AudioFormat> spec;  // absent: derived from the sources when recording starts
};

// In the order of the window's quality list and of the usage text. Every fixed
// preset is stereo. The labels hold U+2014 EM DASH.
inline constexpr std::array<FormatPreset, 5> FORMAT_PRESETS{{
    {std::nullopt, "Auto (match source)", std::nullopt},
    {"cd", "CD quality  \u2014  44.1 kHz / 16-bit", AudioFormat{44100, 2, 16, false}},
    {"studio", "Studio  \u2014  48 kHz / 24-bit", AudioFormat{48000, 2, 24, false}},
    {"hires", "High-res  \u2014  96 kHz / 24-bit", AudioFormat{96000, 2, 24, false}},
    {"hires-float", "High-res float  \u2014  96 kHz / 32-bit float",
     AudioFormat{96000, 2, 32, true}},
}};

// The preset whose key is exactly `key` (case-sensitive); presets without a
// key never match.
std::optional<FormatPreset> find_preset(std::string_view key);

}  // namespace quillbox
