#pragma once

// The recording the crash-safety test's child process writes, reproducible
// from a seed: which samples, in which batch sizes, and the bytes they must
// become in the file. Shared by the child (quillbox_crash_child) and the test.

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "base/audio_format.h"

namespace quillbox::crash {

inline std::optional<AudioFormat> spec_named(std::string_view name) {
  if (name == "16") return AudioFormat{48000, 2, 16, false};
  if (name == "24") return AudioFormat{44100, 2, 24, false};
  if (name == "float") return AudioFormat{96000, 2, 32, true};
  return std::nullopt;
}

inline std::uint64_t mix(std::uint64_t seed, std::uint64_t i) {
  std::uint64_t z = seed * 0x9E3779B97F4A7C15u + i + 0x632BE59BD9B4E5Cu;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  return z ^ (z >> 31);
}

// Mostly in [-1.1, 1.1]; now and then NaN, an infinity or a far
// out-of-range value, so clamping and NaN handling are in the stream too.
inline float sample_at(std::uint64_t seed, std::uint64_t index) {
  const std::uint64_t h = mix(seed, index);
  switch (h % 1000) {
    case 0:
      return std::numeric_limits<float>::quiet_NaN();
    case 1:
      return -3.0f;
    case 2:
      return std::numeric_limits<float>::infinity();
    default:
      return static_cast<float>(h >> 40) / 16777216.0f * 2.2f - 1.1f;
  }
}

// Batch sizes from a single sample up to 6000, with many around a 5 ms block.
inline std::size_t batch_size(std::uint64_t seed, std::uint64_t batch) {
  const std::uint64_t h = mix(seed ^ 0x5A5A5A5A, batch);
  if (h % 4 == 0) return 1 + (h >> 8) % 7;
  return 1 + (h >> 8) % 6000;
}

// The file bytes of one sample, worked out independently of the writer.
inline void encode_reference(const AudioFormat& spec, float s, std::vector<std::byte>& out) {
  std::uint32_t bits = 0;
  std::size_t bytes = 4;
  if (spec.is_float) {
    bits = std::bit_cast<std::uint32_t>(s);
  } else {
    const bool wide = spec.bits_per_sample == 24;
    const float top = wide ? 8388607.0f : 32767.0f;
    const float v = s * top;
    std::int32_t i = 0;
    if (std::isnan(v)) {
      i = 0;
    } else if (v >= top) {
      i = static_cast<std::int32_t>(top);
    } else if (v <= -top - 1.0f) {
      i = -static_cast<std::int32_t>(top) - 1;
    } else {
      i = static_cast<std::int32_t>(std::trunc(v));
    }
    bits = static_cast<std::uint32_t>(i);
    bytes = wide ? 3 : 2;
  }
  for (std::size_t b = 0; b < bytes; ++b) out.push_back(static_cast<std::byte>(bits >> (8 * b)));
}

// The first `size` bytes of the sample data the child writes.
inline std::vector<std::byte> expected_stream(const AudioFormat& spec, std::uint64_t seed,
                                              std::size_t size) {
  std::vector<std::byte> out;
  out.reserve(size + 4);
  for (std::uint64_t i = 0; out.size() < size; ++i) encode_reference(spec, sample_at(seed, i), out);
  out.resize(size);
  return out;
}

}  // namespace quillbox::crash
