#include "wav/wav_header.h"

#include <algorithm>
#include <cstring>

namespace quillbox {
namespace {

constexpr std::uint32_t MAX_U32 = 0xFFFFFFFFu;

class HeaderOut {
 public:
  explicit HeaderOut(WavHeader& header) : header_(header) {}

  void tag(const char (&text)[5]) {
    std::memcpy(header_.bytes.data() + header_.size, text, 4);
    header_.size += 4;
  }
  void u16(std::uint16_t v) {
    put(static_cast<std::uint8_t>(v));
    put(static_cast<std::uint8_t>(v >> 8));
  }
  void u32(std::uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) put(static_cast<std::uint8_t>(v >> shift));
  }

 private:
  void put(std::uint8_t b) { header_.bytes[header_.size++] = std::byte{b}; }
  WavHeader& header_;
};

std::uint32_t saturating_add(std::uint32_t a, std::uint32_t b) {
  return a > MAX_U32 - b ? MAX_U32 : a + b;
}

}  // namespace

WavHeader build_header(const AudioFormat& spec, std::uint32_t data_length) {
  WavHeader header;
  HeaderOut out(header);
  const std::uint16_t block_align = header_block_align(spec);
  const std::uint16_t bits = spec.is_float ? 32 : spec.bits_per_sample;
  // Unsigned 32-bit arithmetic throughout: absurd values wrap, never overflow.
  const std::uint32_t byte_rate = spec.sample_rate * std::uint32_t{block_align};

  out.tag("RIFF");
  out.u32(saturating_add(data_length, static_cast<std::uint32_t>(header_size(spec) - 8)));
  out.tag("WAVE");
  out.tag("fmt ");
  out.u32(spec.is_float ? 18 : 16);
  out.u16(spec.is_float ? 3 : 1);
  out.u16(spec.channels);
  out.u32(spec.sample_rate);
  out.u32(byte_rate);
  out.u16(block_align);
  out.u16(bits);
  if (spec.is_float) {
    out.u16(0);  // extension size
    out.tag("fact");
    out.u32(4);
    out.u32(block_align == 0 ? 0 : data_length / block_align);
  }
  out.tag("data");
  out.u32(data_length);
  return header;
}

std::expected<void, Error> patch_header(File& file, const AudioFormat& spec) {
  const auto length = file.length();
  if (!length) return std::unexpected(length.error());
  if (auto r = file.seek(0); !r) return r;

  const std::uint64_t header_length = header_size(spec);
  const std::uint64_t data = *length > header_length ? *length - header_length : 0;
  const WavHeader header =
      build_header(spec, static_cast<std::uint32_t>(std::min<std::uint64_t>(data, MAX_U32)));
  if (auto r = write_all(file, header.view()); !r) return r;
  // Back to the end: a later append must never land inside the sample data.
  return file.seek(std::max(*length, header_length));
}

}  // namespace quillbox
