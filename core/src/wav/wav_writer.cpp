#include "wav/wav_writer.h"

#include <algorithm>
#include <bit>
#include <string>

#include "wav/riff.h"

namespace quillbox {
namespace {

constexpr std::size_t PLAIN_HEADER = 44;
constexpr std::size_t EXTENSIBLE_HEADER = 68;

std::size_t header_length(const AudioFormat& spec) {
  return uses_plain_header(spec) ? PLAIN_HEADER : EXTENSIBLE_HEADER;
}

// The largest data length whose RIFF size (data + header − 8) still fits 32 bits.
std::uint64_t max_data_length(const AudioFormat& spec) {
  return 0xFFFFFFFFull - (header_length(spec) - 8);
}

}  // namespace

bool uses_plain_header(const AudioFormat& spec) {
  return !spec.is_float && spec.channels <= 2 && spec.bits_per_sample <= 16;
}

std::vector<std::byte> wav_header(const AudioFormat& spec, std::uint32_t data_length) {
  const std::uint32_t bytes = static_cast<std::uint32_t>(bytes_per_sample(spec));
  const std::uint32_t block_align = bytes * spec.channels;
  const std::uint32_t byte_rate = spec.sample_rate * block_align;
  const bool plain = uses_plain_header(spec);

  std::vector<std::byte> header(header_length(spec));
  riff::HeaderOut out(header);
  out.chunk(riff::RIFF, data_length + (plain ? 36 : 60));
  out.tag(riff::WAVE);
  out.chunk(riff::FMT, plain ? 16 : 40);
  out.fmt_fields({
      .format = plain ? riff::FORMAT_PCM : riff::FORMAT_EXTENSIBLE,
      .channels = spec.channels,
      .sample_rate = spec.sample_rate,
      .byte_rate = byte_rate,
      .block_align = static_cast<std::uint16_t>(block_align),
      // The extensible chunk declares the container here, the valid bits below.
      .bits = plain ? spec.bits_per_sample : static_cast<std::uint16_t>(bytes * 8),
  });
  if (!plain) {
    out.u16(22);  // extension size
    out.u16(spec.bits_per_sample);
    const int speakers = std::min<int>(spec.channels, 18);
    out.u32(static_cast<std::uint32_t>((std::uint64_t{1} << speakers) - 1));
    out.u16(spec.is_float ? riff::FORMAT_FLOAT : riff::FORMAT_PCM);
    out.bytes(std::as_bytes(std::span(riff::SUBFORMAT_GUID_TAIL)));
  }
  out.chunk(riff::DATA, data_length);
  return header;
}

std::expected<void, Error> check_wav_format(const AudioFormat& spec) {
  const bool depth_ok = spec.is_float ? spec.bits_per_sample == 32
                                      : (spec.bits_per_sample == 8 || spec.bits_per_sample == 16 ||
                                         spec.bits_per_sample == 24 || spec.bits_per_sample == 32);
  if (!depth_ok)
    return std::unexpected(
        app_error("Unsupported bit depth: " + std::to_string(spec.bits_per_sample)));
  const std::uint64_t block_align = bytes_per_sample(spec) * spec.channels;
  if (spec.channels == 0 || spec.sample_rate == 0 || block_align > 0xFFFF ||
      block_align * spec.sample_rate > 0xFFFFFFFFull)
    return std::unexpected(app_error("Unsupported WAVE format: " + std::to_string(spec.channels) +
                                     " channel(s) at " + std::to_string(spec.sample_rate) +
                                     " Hz do not fit a WAVE header"));
  return {};
}

std::expected<WavWriter, Error> WavWriter::create(const std::filesystem::path& path,
                                                  const AudioFormat& spec) {
  if (auto r = check_wav_format(spec); !r) return std::unexpected(r.error());
  auto file = File::create(path);
  if (!file) return std::unexpected(file.error());
  WavWriter writer(std::move(*file), spec);
  if (auto r = writer.file_.write(wav_header(spec, 0)); !r) return std::unexpected(r.error());
  return writer;
}

template <typename T, typename Encode>
std::expected<void, Error> WavWriter::write_encoded(std::span<const T> samples, Encode encode) {
  const std::size_t width = bytes_per_sample(spec_);
  if (data_bytes_ + std::uint64_t{samples.size()} * width > max_data_length(spec_))
    return std::unexpected(app_error("Too much sample data for a WAVE file"));
  while (!samples.empty()) {
    if (file_.room() < width) {
      if (auto r = file_.flush(); !r) return r;
    }
    const std::size_t n = std::min(samples.size(), file_.room() / width);
    std::byte* out = file_.reserve();
    for (std::size_t i = 0; i < n; ++i, out += width) encode(samples[i], out);
    file_.commit(n * width);
    data_bytes_ += n * width;
    samples = samples.subspan(n);
  }
  return {};
}

std::expected<void, Error> WavWriter::write_ints(std::span<const std::int32_t> samples) {
  switch (spec_.bits_per_sample) {
    case 8:
      return write_encoded(samples, [](std::int32_t v, std::byte* out) {
        out[0] = static_cast<std::byte>(static_cast<std::uint32_t>(v + 128) & 0xFF);
      });
    case 16:
      return write_encoded(samples, [](std::int32_t v, std::byte* out) {
        const auto u = static_cast<std::uint32_t>(v);
        out[0] = static_cast<std::byte>(u & 0xFF);
        out[1] = static_cast<std::byte>((u >> 8) & 0xFF);
      });
    case 24:
      return write_encoded(samples, [](std::int32_t v, std::byte* out) {
        const auto u = static_cast<std::uint32_t>(v);
        out[0] = static_cast<std::byte>(u & 0xFF);
        out[1] = static_cast<std::byte>((u >> 8) & 0xFF);
        out[2] = static_cast<std::byte>((u >> 16) & 0xFF);
      });
    default:
      return write_encoded(samples, [](std::int32_t v, std::byte* out) {
        const auto u = static_cast<std::uint32_t>(v);
        out[0] = static_cast<std::byte>(u & 0xFF);
        out[1] = static_cast<std::byte>((u >> 8) & 0xFF);
        out[2] = static_cast<std::byte>((u >> 16) & 0xFF);
        out[3] = static_cast<std::byte>(u >> 24);
      });
  }
}

std::expected<void, Error> WavWriter::write_floats(std::span<const float> samples) {
  return write_encoded(samples, [](float v, std::byte* out) {
    const auto u = std::bit_cast<std::uint32_t>(v);
    out[0] = static_cast<std::byte>(u & 0xFF);
    out[1] = static_cast<std::byte>((u >> 8) & 0xFF);
    out[2] = static_cast<std::byte>((u >> 16) & 0xFF);
    out[3] = static_cast<std::byte>(u >> 24);
  });
}

std::expected<void, Error> WavWriter::finalize() {
  if (auto r = file_.flush(); !r) return r;
  File& file = file_.file();
  if (auto r = file.seek(0); !r) return r;
  const auto header = wav_header(spec_, static_cast<std::uint32_t>(data_bytes_));
  if (auto r = write_all(file, header); !r) return r;
  file_.close();
  return {};
}

}  // namespace quillbox
