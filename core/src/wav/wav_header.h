#pragma once

// The WAV header of the recorder's own files: a 44-byte PCM header for integer
// samples, a 58-byte IEEE-float header with a "fact" chunk for float samples.
// The same builder serves the writer, the part rollover and the repair tool.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "base/audio_format.h"
#include "base/error.h"
#include "base/file.h"

namespace quillbox {

inline constexpr std::size_t INT_HEADER_SIZE = 44;
inline constexpr std::size_t FLOAT_HEADER_SIZE = 58;
inline constexpr std::size_t MAX_HEADER_SIZE = FLOAT_HEADER_SIZE;

// Header bytes for one data length; `size` is 44 or 58.
struct WavHeader {
  std::array<std::byte, MAX_HEADER_SIZE> bytes{};
  std::size_t size = 0;

  std::span<const std::byte> view() const { return std::span(bytes).first(size); }
};

// 58 for float files, 44 for every integer file.
constexpr std::size_t header_size(const AudioFormat& spec) {
  return spec.is_float ? FLOAT_HEADER_SIZE : INT_HEADER_SIZE;
}

// The block align field: channels x (bits / 8), kept to the field's 16 bits.
// Values from a foreign header may be absurd; the result then simply wraps.
constexpr std::uint16_t header_block_align(const AudioFormat& spec) {
  const std::uint32_t bytes = spec.is_float ? 4u : spec.bits_per_sample / 8u;
  return static_cast<std::uint16_t>(std::uint32_t{spec.channels} * bytes);
}

// The header describing `data_length` bytes of samples. The RIFF size
// saturates at 0xFFFFFFFF instead of wrapping for lengths near the 32-bit limit.
WavHeader build_header(const AudioFormat& spec, std::uint32_t data_length);

// The data length a header gives `data_bytes` of samples: at most
// 0xFFFFFFFF, and whole frames only (a block align of 0 has no frames to
// keep whole). A crash can cut the last frame; readers must never see half
// of one.
std::uint32_t whole_frames(const AudioFormat& spec, std::uint64_t data_bytes);

// Rewrites the whole header of `file` from its current length L: data length
// L minus the header length (0 when shorter), kept to `whole_frames`; bytes of
// a cut frame stay in the file behind the data chunk. Every byte past the
// header stays as it is. Afterwards the file position is at the end
// of the file again, so bytes appended later (for instance a buffer whose
// flush failed before) follow the data instead of overwriting it.
std::expected<void, Error> patch_header(File& file, const AudioFormat& spec);

}  // namespace quillbox
