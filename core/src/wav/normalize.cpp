#include "wav/normalize.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <system_error>
#include <vector>

#include "base/file.h"
#include "wav/wav_reader.h"
#include "wav/wav_writer.h"

namespace quillbox {
namespace {

// Full scale of an integer file; 32-bit files use 2^31 so that the most
// negative sample is exactly −1.0.
float full_scale(unsigned bits) {
  switch (bits) {
    case 8:
      return 127.0f;
    case 16:
      return 32767.0f;
    case 24:
      return 8388607.0f;
    default:
      return 2147483648.0f;
  }
}

struct PeakScan {
  float peak = 0.0f;
  std::optional<Error> error;  // a read error ended the scan early
};

// The loudest sample as a fraction of full scale. NaN and infinite float
// samples are left out: an infinite peak would scale every finite sample to 0.
PeakScan scan_peak(WavReader& in) {
  PeakScan scan;
  const AudioFormat& spec = in.spec();
  if (spec.is_float) {
    std::vector<float> block(in.block_samples());
    for (;;) {
      auto n = in.read_floats(block);
      if (!n) {
        scan.error = n.error();
        break;
      }
      if (*n == 0) break;
      for (std::size_t i = 0; i < *n; ++i) {
        const float a = std::fabs(block[i]);
        if (std::isfinite(a) && a > scan.peak) scan.peak = a;
      }
    }
    return scan;
  }
  // |s| / F grows with |s|, so the largest magnitude gives the peak.
  std::vector<std::int32_t> block(in.block_samples());
  std::int64_t loudest = 0;
  for (;;) {
    auto n = in.read_ints(block);
    if (!n) {
      scan.error = n.error();
      break;
    }
    if (*n == 0) break;
    for (std::size_t i = 0; i < *n; ++i) {
      const std::int64_t s = block[i];
      loudest = std::max(loudest, s < 0 ? -s : s);
    }
  }
  scan.peak = static_cast<float>(loudest) / full_scale(spec.bits_per_sample);
  return scan;
}

// y truncated toward zero; values from 2^31 up saturate, NaN becomes 0.
std::int32_t to_sample(float y) {
  if (std::isnan(y)) return 0;
  if (y > 2147483520.0f) return std::numeric_limits<std::int32_t>::max();
  if (y < -2147483648.0f) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(y);
}

std::expected<void, Error> write_scaled(WavReader& in, WavWriter& out, float gain) {
  if (in.spec().is_float) {
    std::vector<float> block(in.block_samples());
    for (;;) {
      auto n = in.read_floats(block);
      if (!n) return std::unexpected(n.error());
      if (*n == 0) return {};
      for (std::size_t i = 0; i < *n; ++i) block[i] = std::clamp(block[i] * gain, -1.0f, 1.0f);
      if (auto r = out.write_floats(std::span(block).first(*n)); !r) return r;
    }
  }
  const float full = full_scale(in.spec().bits_per_sample);
  std::vector<std::int32_t> block(in.block_samples());
  for (;;) {
    auto n = in.read_ints(block);
    if (!n) return std::unexpected(n.error());
    if (*n == 0) return {};
    for (std::size_t i = 0; i < *n; ++i) {
      const float x = std::clamp(static_cast<float>(block[i]) / full * gain, -1.0f, 1.0f);
      block[i] = to_sample(x * full);
    }
    if (auto r = out.write_ints(std::span(block).first(*n)); !r) return r;
  }
}

std::filesystem::path temp_path_for(std::filesystem::path path) {
  path.replace_extension("wav.tmp");
  return path;
}

void discard(WavWriter& writer, const std::filesystem::path& temp) {
  writer.close();
  std::error_code ignored;
  std::filesystem::remove(temp, ignored);
}

}  // namespace

std::expected<bool, Error> normalize_file(const std::filesystem::path& path) {
  auto in = WavReader::open(path);
  if (!in) return std::unexpected(in.error());

  const PeakScan scan = scan_peak(*in);
  if (scan.error) return std::unexpected(*scan.error);
  if (scan.peak < SILENCE_THRESHOLD || std::fabs(1.0f - scan.peak) < PEAK_TOLERANCE) return false;
  const float gain = 1.0f / scan.peak;

  if (auto r = in->rewind(); !r) return std::unexpected(r.error());
  const std::filesystem::path temp = temp_path_for(path);
  auto out = WavWriter::create(temp, in->spec());
  if (!out) return std::unexpected(out.error());

  auto done = write_scaled(*in, *out, gain);
  if (done) done = out->finalize();
  in->close();
  if (done) done = rename_replace(temp, path);
  if (!done) {
    discard(*out, temp);
    return std::unexpected(done.error());
  }
  return true;
}

std::optional<float> wav_peak(const std::filesystem::path& path) {
  auto in = WavReader::open(path);
  if (!in) return std::nullopt;
  return scan_peak(*in).peak;
}

}  // namespace quillbox
