#include "wav/recpart_writer.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>

#include "base/file.h"

namespace quillbox {
namespace {

// Scales, maps NaN to 0, clamps and truncates toward zero. Written without
// branches on the data so the loops below vectorise.
inline std::int32_t to_integer(float sample, float scale, float lo, float hi) {
  float v = sample * scale;
  v = v == v ? v : 0.0f;
  v = v < lo ? lo : v;
  v = v > hi ? hi : v;
  return static_cast<std::int32_t>(v);
}

// Samples are converted in groups of GROUP into a local array and copied
// out, so the compiler sees fixed-length loops without aliasing and
// vectorises them; the last few samples go one by one.
constexpr std::size_t GROUP = 16;

// Little-endian bytes of `values`, `width` bytes each (the low bytes).
template <typename Int>
void store_le(const Int* values, std::size_t n, std::size_t width, std::byte* dst) {
  if constexpr (std::endian::native == std::endian::little) {
    if (width == sizeof(Int)) {
      std::memcpy(dst, values, n * width);
      return;
    }
    if (width == 3 && sizeof(Int) == 4 && n > 0) {
      // Overlapping 4-byte stores: each value's top byte is overwritten by
      // the next value; the last one writes exactly 3 bytes.
      for (std::size_t i = 0; i + 1 < n; ++i) std::memcpy(dst + 3 * i, values + i, 4);
      std::memcpy(dst + 3 * (n - 1), values + n - 1, 3);
      return;
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    const auto v = static_cast<std::uint32_t>(values[i]);
    for (std::size_t b = 0; b < width; ++b)
      dst[width * i + b] = static_cast<std::byte>(v >> (8 * b));
  }
}

// Every encoding returns the loudest sample it stored as a fraction of full
// scale, as a reader of the finished file would find it, so a recording's
// peak is known without reading its files back.
template <typename Int, std::size_t WIDTH, int TOP>
struct EncodeInteger {
  static constexpr std::size_t BYTES = WIDTH;
  static float run(const float* src, std::size_t n, std::byte* dst) {
    constexpr float top = float(TOP);
    constexpr float bottom = -float(TOP) - 1.0f;
    Int group[GROUP];
    std::int32_t loudest = 0;
    auto encode = [&](float sample) {
      const std::int32_t v = to_integer(sample, top, bottom, top);
      loudest = std::max(loudest, v < 0 ? -v : v);
      return static_cast<Int>(v);
    };
    std::size_t i = 0;
    for (; i + GROUP <= n; i += GROUP) {
      for (std::size_t k = 0; k < GROUP; ++k) group[k] = encode(src[i + k]);
      store_le(group, GROUP, WIDTH, dst + WIDTH * i);
    }
    for (; i < n; ++i) {
      group[0] = encode(src[i]);
      store_le(group, 1, WIDTH, dst + WIDTH * i);
    }
    return static_cast<float>(loudest) / top;
  }
};

using Encode16 = EncodeInteger<std::int16_t, 2, 32767>;
using Encode24 = EncodeInteger<std::int32_t, 3, 8388607>;

// NaN and infinite samples are stored but left out of the peak, which
// scales the finite ones.
struct EncodeFloat {
  static constexpr std::size_t BYTES = 4;
  static float run(const float* src, std::size_t n, std::byte* dst) {
    float loudest = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
      const float a = std::fabs(src[i]);
      if (std::isfinite(a) && a > loudest) loudest = a;
    }
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(dst, src, n * BYTES);
    } else {
      for (std::size_t i = 0; i < n; ++i) {
        const auto v = std::bit_cast<std::uint32_t>(src[i]);
        for (std::size_t b = 0; b < BYTES; ++b)
          dst[4 * i + b] = static_cast<std::byte>(v >> (8 * b));
      }
    }
    return loudest;
  }
};

// Encodes straight into the file's buffer, flushing whenever a whole sample
// no longer fits. The file receives the bytes in order, in buffer-sized
// writes; `peak` rises to the loudest sample stored.
template <typename Encoding>
std::expected<void, Error> encode_into(BufferedFile& out, std::span<const float> samples,
                                       float& peak) {
  const float* src = samples.data();
  std::size_t left = samples.size();
  while (left > 0) {
    if (out.room() < Encoding::BYTES) {
      if (auto r = out.flush(); !r) return r;
    }
    const std::size_t n = std::min(left, out.room() / Encoding::BYTES);
    peak = std::max(peak, Encoding::run(src, n, out.reserve()));
    out.commit(n * Encoding::BYTES);
    src += n;
    left -= n;
  }
  return {};
}

// "{dir}/{stem}[_{segment}][_part{part}].recpart" next to `base_path`.
std::filesystem::path part_file_path(const std::filesystem::path& base_path, std::uint32_t segment,
                                     std::uint64_t part) {
  const NameParts parts = name_parts(base_path);
  std::filesystem::path name = parts.stem.empty() ? std::filesystem::path("source") : parts.stem;
  if (segment != 1) name += "_" + std::to_string(segment);
  if (part != 1) name += "_part" + std::to_string(part);
  name += ".recpart";
  return (parts.dir.empty() ? std::filesystem::path(".") : parts.dir) / name;
}

// The current file is full: finish it and continue in a new part.
std::expected<void, Error> roll_over(RecpartWriter& writer, const std::filesystem::path& next_part,
                                     std::vector<std::filesystem::path>& files) {
  BufferedFile& old = *writer.file;
  if (auto r = old.flush(); !r) return r;
  if (auto r = patch_header(old.file(), writer.spec); !r) return r;
  ++writer.part;
  // The next part's name is derived, not reserved; never truncate a file
  // that is already there (another writer's part, or an unrepaired leftover).
  const std::filesystem::path path = unique_path(next_part);
  auto created = create_recpart_file(path, writer.spec);
  if (!created) return std::unexpected(created.error());
  set_aside(writer);
  writer.file.emplace(std::move(*created));
  writer.path = path;
  files.push_back(path);
  writer.data_bytes = 0;
  return {};
}

}  // namespace

std::expected<BufferedFile, Error> create_recpart_file(const std::filesystem::path& path,
                                                       const AudioFormat& spec) {
  auto file = File::create(path);
  if (!file) return std::unexpected(file.error());
  BufferedFile buffered(std::move(*file));
  // The header is far smaller than the empty buffer, so this only copies.
  if (auto r = buffered.write(build_header(spec, 0).view()); !r) return std::unexpected(r.error());
  return buffered;
}

std::expected<void, Error> write_samples(RecpartWriter& writer, std::span<const float> samples,
                                         const std::filesystem::path& next_part,
                                         std::vector<std::filesystem::path>& files,
                                         std::uint64_t part_size_limit) {
  if (!writer.file) return {};
  const AudioFormat& spec = writer.spec;
  std::expected<void, Error> written;
  if (spec.is_float) {
    written = encode_into<EncodeFloat>(*writer.file, samples, writer.peak);
  } else if (spec.bits_per_sample == 16) {
    written = encode_into<Encode16>(*writer.file, samples, writer.peak);
  } else if (spec.bits_per_sample == 24) {
    written = encode_into<Encode24>(*writer.file, samples, writer.peak);
  } else {
    return std::unexpected(
        app_error("Unsupported integer bit depth: " + std::to_string(spec.bits_per_sample)));
  }
  if (!written) return written;

  writer.data_bytes += samples.size() * bytes_per_sample(spec);
  if (writer.data_bytes >= part_size_limit) return roll_over(writer, next_part, files);
  return {};
}

std::expected<void, Error> finish_writer(RecpartWriter& writer) {
  if (!writer.file) return {};
  if (auto r = writer.file->flush(); !r) return r;
  return patch_header(writer.file->file(), writer.spec);
}

void set_aside(RecpartWriter& writer) {
  if (!writer.file) return;
  (void)writer.file->flush();
  writer.held.push_back({std::move(writer.path), std::move(writer.file->file())});
  writer.file.reset();
  writer.path.clear();
}

void close_writer(RecpartWriter& writer) {
  if (writer.file) writer.file->close();
  writer.file.reset();
  writer.path.clear();
  writer.held.clear();
}

std::filesystem::path segment_file_path(const RecpartWriter& writer, std::uint32_t part) {
  return part_file_path(writer.base_path, writer.segment, part);
}

std::filesystem::path next_part_path(const RecpartWriter& writer, PartNaming naming) {
  // 64 bits, so the number never wraps to "_part0".
  const std::uint64_t next = std::uint64_t{writer.part} + 1;
  return part_file_path(writer.base_path, naming == PartNaming::PerSource ? writer.segment : 1,
                        next);
}

}  // namespace quillbox
