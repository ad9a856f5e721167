#include "engine/resampler.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>

namespace quillbox {
namespace {

// A created stream, or soxr's reason for refusing it.
std::expected<soxr_t, std::string> checked(soxr_t s, soxr_error_t e) {
  if (s != nullptr && e == nullptr) return s;
  if (s != nullptr) soxr_delete(s);
  return std::unexpected(std::string(e != nullptr ? e : "unknown error"));
}

}  // namespace

Resampler::Created Resampler::fixed(std::uint32_t in_rate, std::uint32_t out_rate,
                                    std::uint16_t channels) {
  if (channels == 0) return std::unexpected(std::string("no channels"));
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  soxr_error_t e = nullptr;
  const auto s = checked(soxr_create(in_rate, out_rate, channels, &e, &io, &quality, &runtime), e);
  if (!s) return std::unexpected(s.error());
  const double ratio = static_cast<double>(out_rate) / static_cast<double>(in_rate);
  return std::unique_ptr<Resampler>(new Resampler(*s, channels, ratio));
}

Resampler::Created Resampler::variable(double io_ratio, std::uint16_t channels) {
  if (channels == 0) return std::unexpected(std::string("no channels"));
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, SOXR_VR);
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  soxr_error_t e = nullptr;
  // The largest ratio it will be asked for, with room to follow a clock.
  soxr_t created =
      soxr_create(std::max(2.0, io_ratio * 1.1), 1.0, channels, &e, &io, &quality, &runtime);
  if (created != nullptr && e == nullptr) e = soxr_set_io_ratio(created, io_ratio, 0);
  const auto s = checked(created, e);
  if (!s) return std::unexpected(s.error());
  return std::unique_ptr<Resampler>(new Resampler(*s, channels, 1.0 / io_ratio));
}

Resampler::Resampler(soxr_t s, std::size_t channels, double ratio)
    : soxr_(s),
      channels_(channels),
      // Room for twice one chunk's share plus soxr's usual burst, so that one
      // call almost always takes the whole chunk and empties the burst.
      block_frames_(2 * static_cast<std::size_t>(
                            std::ceil(static_cast<double>(RESAMPLER_CHUNK_FRAMES) * ratio)) +
                    1024),
      block_(block_frames_ * channels),
      ratio_(ratio) {}

Resampler::~Resampler() {
  soxr_delete(soxr_);
}

void Resampler::set_io_ratio(double io_ratio) {
  soxr_set_io_ratio(soxr_, io_ratio, 0);
}

std::uint64_t Resampler::held() const {
  const auto due =
      static_cast<std::uint64_t>(std::llround(static_cast<double>(in_frames_) * ratio_));
  return due > out_frames_ ? due - out_frames_ : 0;
}

void Resampler::process(const float* in, std::size_t frames, std::vector<float>& out) {
  if (frames == 0) return;  // a null or empty input would read as the end of input
  std::size_t taken = 0;
  for (;;) {
    std::size_t idone = 0;
    std::size_t odone = 0;
    const soxr_error_t e = soxr_process(soxr_, in + taken * channels_, frames - taken, &idone,
                                        block_.data(), block_frames_, &odone);
    if (e != nullptr) return;  // only a failed creation sets it, and that is never kept
    taken += idone;
    in_frames_ += idone;
    out_frames_ += odone;
    out.insert(out.end(), block_.begin(),
               block_.begin() + static_cast<std::ptrdiff_t>(odone * channels_));
    if (taken >= frames && odone < block_frames_) return;
    if (idone == 0 && odone == 0) return;
  }
}

void Resampler::drain(std::vector<float>& out) {
  for (;;) {
    std::size_t odone = 0;
    if (soxr_process(soxr_, nullptr, 0, nullptr, block_.data(), block_frames_, &odone) != nullptr)
      return;
    if (odone == 0) return;
    out_frames_ += odone;
    out.insert(out.end(), block_.begin(),
               block_.begin() + static_cast<std::ptrdiff_t>(odone * channels_));
  }
}

}  // namespace quillbox
