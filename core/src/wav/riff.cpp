#include "wav/riff.h"

#include <cstring>

namespace quillbox::riff {

std::uint16_t u16_at(std::span<const std::byte> bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(std::to_integer<unsigned>(bytes[offset]) |
                                    std::to_integer<unsigned>(bytes[offset + 1]) << 8);
}

std::uint32_t u32_at(std::span<const std::byte> bytes, std::size_t offset) {
  return std::uint32_t{u16_at(bytes, offset)} | std::uint32_t{u16_at(bytes, offset + 2)} << 16;
}

bool tag_at(std::span<const std::byte> bytes, std::size_t offset, const char (&tag)[5]) {
  return std::memcmp(bytes.data() + offset, tag, 4) == 0;
}

FmtFields fmt_fields(std::span<const std::byte> body) {
  return {
      .format = u16_at(body, 0),
      .channels = u16_at(body, 2),
      .sample_rate = u32_at(body, 4),
      .byte_rate = u32_at(body, 8),
      .block_align = u16_at(body, 12),
      .bits = u16_at(body, 14),
  };
}

void HeaderOut::tag(const char (&text)[5]) {
  std::memcpy(buffer_.data() + size_, text, 4);
  size_ += 4;
}

void HeaderOut::u16(std::uint16_t v) {
  buffer_[size_++] = static_cast<std::byte>(v & 0xFF);
  buffer_[size_++] = static_cast<std::byte>(v >> 8);
}

void HeaderOut::u32(std::uint32_t v) {
  u16(static_cast<std::uint16_t>(v & 0xFFFF));
  u16(static_cast<std::uint16_t>(v >> 16));
}

void HeaderOut::bytes(std::span<const std::byte> data) {
  if (data.empty()) return;
  std::memcpy(buffer_.data() + size_, data.data(), data.size());
  size_ += data.size();
}

void HeaderOut::fmt_fields(const FmtFields& fields) {
  u16(fields.format);
  u16(fields.channels);
  u32(fields.sample_rate);
  u32(fields.byte_rate);
  u16(fields.block_align);
  u16(fields.bits);
}

}  // namespace quillbox::riff
