#pragma once

// Reading the samples of a WAV file (PCM 8, 16, 24 or 32 bits, or 32-bit
// float; plain or extensible format chunk). The chunks are walked and checked
// here; libsndfile decodes the samples, reading through the file seam and
// seeing only a header built here and the data chunk's bytes.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <span>

#include "base/audio_format.h"
#include "base/error.h"

namespace quillbox {

// A WAV file opened for reading: the format chunk checked against what
// libsndfile decodes, samples delivered exactly as stored.
class WavReader {
 public:
  // Opens `path` and checks it. The format is one `WavWriter` can write back:
  // "Ill-formed WAVE file: {reason}", "Unsupported WAVE format: ...",
  // "Unsupported bit depth: {bits}" or the system's error otherwise.
  static std::expected<WavReader, Error> open(const std::filesystem::path& path);

  WavReader(WavReader&&) noexcept;
  WavReader& operator=(WavReader&&) noexcept;
  ~WavReader();

  // The declared format; for an extensible chunk the valid bits.
  const AudioFormat& spec() const { return spec_; }

  // Samples per read call: whole frames, about 64 KiB.
  std::size_t block_samples() const;

  // Reads whole frames of integer samples at the declared depth (8-bit ones
  // signed); 0 at the end. Only for integer formats.
  std::expected<std::size_t, Error> read_ints(std::span<std::int32_t> out);
  // Reads whole frames of float samples, unchanged; 0 at the end. Only for
  // float formats.
  std::expected<std::size_t, Error> read_floats(std::span<float> out);

  // Back to the first sample.
  std::expected<void, Error> rewind();

  // Closes the file.
  void close();

 private:
  struct Source;  // the file and libsndfile's handle on it

  WavReader(std::unique_ptr<Source> source, const AudioFormat& spec, int shift);

  std::unique_ptr<Source> source_;
  AudioFormat spec_;
  int shift_ = 0;  // libsndfile left-justifies integer samples in 32 bits
};

}  // namespace quillbox
