#pragma once

#include <cstddef>
#include <cstdint>

namespace quillbox {

// The format of audio: a capture device's or stream's, a recording file's,
// a WAV file's.
struct AudioFormat {
  std::uint32_t sample_rate = 0;
  std::uint16_t channels = 0;
  std::uint16_t bits_per_sample = 0;  // 32 whenever is_float is set
  bool is_float = false;

  friend bool operator==(const AudioFormat&, const AudioFormat&) = default;
};

// Bytes one sample takes in a file: 4 for floats, else (bits + 7) / 8.
constexpr std::size_t bytes_per_sample(const AudioFormat& format) {
  return format.is_float ? 4 : (std::size_t{format.bits_per_sample} + 7) / 8;
}

// Whether two formats deliver the same frames once converted to floats:
// the same rate and channel count, whatever the sample encoding.
constexpr bool same_frames(const AudioFormat& a, const AudioFormat& b) {
  return a.sample_rate == b.sample_rate && a.channels == b.channels;
}

}  // namespace quillbox
