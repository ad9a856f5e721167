#pragma once

// The byte level of RIFF/WAVE files: little-endian fields, chunk tags and the
// common fields of the format chunk. Every WAV header the program writes or
// reads goes through these, so the layouts differ only in what they put.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace quillbox::riff {

inline constexpr char RIFF[5] = "RIFF";
inline constexpr char WAVE[5] = "WAVE";
inline constexpr char FMT[5] = "fmt ";
inline constexpr char FACT[5] = "fact";
inline constexpr char DATA[5] = "data";

// Format tags of the format chunk.
inline constexpr std::uint16_t FORMAT_PCM = 1;
inline constexpr std::uint16_t FORMAT_FLOAT = 3;
inline constexpr std::uint16_t FORMAT_EXTENSIBLE = 0xFFFE;

// The sub-format GUID of an extensible format chunk after its first two bytes,
// which hold the format tag; the same for PCM and float.
inline constexpr std::array<std::uint8_t, 14> SUBFORMAT_GUID_TAIL = {
    0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

// A chunk header: its tag and the size of its body.
inline constexpr std::size_t CHUNK_HEADER_SIZE = 8;
// The first 16 bytes of every format chunk's body.
inline constexpr std::size_t FMT_FIELDS_SIZE = 16;

// Fields of `bytes` at `offset`, which the caller has checked to lie inside.
std::uint16_t u16_at(std::span<const std::byte> bytes, std::size_t offset);
std::uint32_t u32_at(std::span<const std::byte> bytes, std::size_t offset);
bool tag_at(std::span<const std::byte> bytes, std::size_t offset, const char (&tag)[5]);

// The fields every format chunk starts with, as the file declares them.
struct FmtFields {
  std::uint16_t format = 0;
  std::uint16_t channels = 0;
  std::uint32_t sample_rate = 0;
  std::uint32_t byte_rate = 0;
  std::uint16_t block_align = 0;
  std::uint16_t bits = 0;  // bits per sample; the container's in an extensible chunk
};

// The fields at the start of a format chunk's body of at least 16 bytes.
FmtFields fmt_fields(std::span<const std::byte> body);

// Writes fields one after another into a buffer the caller has sized for
// exactly what it writes.
class HeaderOut {
 public:
  explicit HeaderOut(std::span<std::byte> buffer) : buffer_(buffer) {}

  void tag(const char (&text)[5]);
  void u16(std::uint16_t v);
  void u32(std::uint32_t v);
  void bytes(std::span<const std::byte> data);
  // A chunk's tag and body size.
  void chunk(const char (&text)[5], std::uint32_t size) {
    tag(text);
    u32(size);
  }
  void fmt_fields(const FmtFields& fields);

  // Bytes written so far.
  std::size_t size() const { return size_; }

 private:
  std::span<std::byte> buffer_;
  std::size_t size_ = 0;
};

}  // namespace quillbox::riff
