#pragma once

// The WAV writer of the normalize tool. Its layout differs from the recorder's
// own files: integer files with at most two channels and at most 16 bits get
// the plain 44-byte header, everything else (more channels, deeper integers,
// floats) the 68-byte extensible header.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <vector>

#include "base/audio_format.h"
#include "base/buffered_file.h"
#include "base/error.h"

namespace quillbox {

// Whether the writer can produce a file of this format: integer depths 8, 16,
// 24 or 32, float depth 32 ("Unsupported bit depth: {bits}" otherwise), and a
// block align and byte rate that fit their header fields.
std::expected<void, Error> check_wav_format(const AudioFormat& spec);

// True when the format gets the 44-byte header, false for the 68-byte one.
bool uses_plain_header(const AudioFormat& spec);

// The complete header for `data_length` bytes of samples.
std::vector<std::byte> wav_header(const AudioFormat& spec, std::uint32_t data_length);

// Streams samples into a new WAV file through an 8192-byte buffer. The header
// goes out first with zero lengths; `finalize` sets both lengths.
class WavWriter {
 public:
  // Creates (or truncates) `path` and buffers the header; the format must pass
  // `check_wav_format`.
  static std::expected<WavWriter, Error> create(const std::filesystem::path& path,
                                                const AudioFormat& spec);

  // Integer samples at the format's depth (8-bit values are signed here and
  // stored as value + 128). Only for integer formats.
  std::expected<void, Error> write_ints(std::span<const std::int32_t> samples);
  // 32-bit float samples, stored unchanged. Only for float formats.
  std::expected<void, Error> write_floats(std::span<const float> samples);

  // Flushes, writes the final lengths into the header and closes the file.
  // An odd data length gets no pad byte.
  std::expected<void, Error> finalize();

  // Closes the file without finishing it (after a failure).
  void close() { file_.close(); }

  std::uint64_t data_bytes() const { return data_bytes_; }

 private:
  WavWriter(File file, const AudioFormat& spec) : file_(std::move(file)), spec_(spec) {}

  template <typename T, typename Encode>
  std::expected<void, Error> write_encoded(std::span<const T> samples, Encode encode);

  BufferedFile file_;
  AudioFormat spec_;
  std::uint64_t data_bytes_ = 0;
};

}  // namespace quillbox
