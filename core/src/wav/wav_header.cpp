#include "wav/wav_header.h"

#include <algorithm>

#include "wav/riff.h"

namespace quillbox {
namespace {

constexpr std::uint32_t MAX_U32 = 0xFFFFFFFFu;

std::uint32_t saturating_add(std::uint32_t a, std::uint32_t b) {
  return a > MAX_U32 - b ? MAX_U32 : a + b;
}

}  // namespace

std::uint32_t whole_frames(const AudioFormat& spec, std::uint64_t data_bytes) {
  const auto fits = static_cast<std::uint32_t>(std::min<std::uint64_t>(data_bytes, MAX_U32));
  const std::uint16_t block_align = header_block_align(spec);
  return block_align == 0 ? fits : fits - fits % block_align;
}

WavHeader build_header(const AudioFormat& spec, std::uint32_t data_length) {
  WavHeader header;
  riff::HeaderOut out(std::span(header.bytes).first(header_size(spec)));
  const std::uint16_t block_align = header_block_align(spec);
  // Unsigned 32-bit arithmetic throughout: absurd values wrap, never overflow.
  const std::uint32_t byte_rate = spec.sample_rate * std::uint32_t{block_align};

  out.chunk(riff::RIFF,
            saturating_add(data_length, static_cast<std::uint32_t>(header_size(spec) - 8)));
  out.tag(riff::WAVE);
  out.chunk(riff::FMT, spec.is_float ? 18 : 16);
  out.fmt_fields({
      .format = spec.is_float ? riff::FORMAT_FLOAT : riff::FORMAT_PCM,
      .channels = spec.channels,
      .sample_rate = spec.sample_rate,
      .byte_rate = byte_rate,
      .block_align = block_align,
      .bits = spec.is_float ? std::uint16_t{32} : spec.bits_per_sample,
  });
  if (spec.is_float) {
    out.u16(0);  // extension size
    out.chunk(riff::FACT, 4);
    out.u32(block_align == 0 ? 0 : data_length / block_align);
  }
  out.chunk(riff::DATA, data_length);
  header.size = out.size();
  return header;
}

std::expected<void, Error> patch_header(File& file, const AudioFormat& spec) {
  const auto length = file.length();
  if (!length) return std::unexpected(length.error());
  if (auto r = file.seek(0); !r) return r;

  const std::uint64_t header_length = header_size(spec);
  const std::uint64_t data = *length > header_length ? *length - header_length : 0;
  const WavHeader header = build_header(spec, whole_frames(spec, data));
  if (auto r = write_all(file, header.view()); !r) return r;
  // Back to the end: a later append must never land inside the sample data.
  return file.seek(std::max(*length, header_length));
}

}  // namespace quillbox
