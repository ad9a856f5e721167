#pragma once

// The normalize tool: scales every sample of a WAV file by one gain so that
// its loudest sample reaches full scale, and replaces the file with the result.

#include <expected>
#include <filesystem>
#include <optional>

#include "base/error.h"

namespace quillbox {

// Peaks below this count as silence: nothing to scale.
inline constexpr float SILENCE_THRESHOLD = 0.000001f;
// Peaks within this distance of full scale are left as they are.
inline constexpr float PEAK_TOLERANCE = 0.001f;

// Normalizes a WAV file (PCM 8, 16, 24 or 32 bits, or 32-bit float; plain or
// extensible format chunk). Returns true when the file was rewritten, false
// when it was left unchanged (silent, or already at full scale), or an error.
// The result is written to the path with its extension replaced by "wav.tmp"
// and renamed over the input in one step; on any failure the input file keeps
// its bytes and the temporary file is removed.
std::expected<bool, Error> normalize_file(const std::filesystem::path& path);

// The loudest sample of a WAV file as a fraction of full scale, or nothing when
// the file cannot be read as a WAV file of a supported depth. A read error part
// way through yields the peak of what could be read.
std::optional<float> wav_peak(const std::filesystem::path& path);

}  // namespace quillbox
