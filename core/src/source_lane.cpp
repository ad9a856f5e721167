#include "source_lane.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include "console.h"

namespace quillbox {

// ---- SampleQueue -----------------------------------------------------------

void SampleQueue::append(std::span<const float> samples) {
  data_.insert(data_.end(), samples.begin(), samples.end());
}

std::span<float> SampleQueue::grow(std::size_t n) {
  const std::size_t old = data_.size();
  data_.resize(old + n);
  return {data_.data() + old, n};
}

void SampleQueue::pop(std::size_t n) {
  head_ += std::min(n, size());
  if (head_ == data_.size()) {
    clear();
  } else if (head_ > data_.size() / 2) {
    // What remains is smaller than what was consumed, so moving it costs no
    // more than the pops that freed the room.
    data_.erase(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
}

void SampleQueue::clear() {
  data_.clear();  // keeps the capacity
  head_ = 0;
}

// ---- Channel mapping ---------------------------------------------------------

void map_channels(std::span<const float> in, std::uint16_t from, std::uint16_t to,
                  SampleQueue& out) {
  if (from == 0 || to == 0 || from == to) {
    out.append(in);
    return;
  }
  const std::size_t frames = in.size() / from;
  const std::span<float> dst = out.grow(frames * to);
  const float* src = in.data();
  float* o = dst.data();
  if (from == 1 && to == 2) {
    for (std::size_t f = 0; f < frames; ++f, src += 1, o += 2) o[0] = o[1] = src[0];
  } else if (from == 2 && to == 1) {
    for (std::size_t f = 0; f < frames; ++f, src += 2, o += 1) o[0] = (src[0] + src[1]) * 0.5f;
  } else if (to == 1) {
    const float n = static_cast<float>(from);
    for (std::size_t f = 0; f < frames; ++f, src += from, o += 1) {
      float sum = 0.0f;
      for (std::uint16_t c = 0; c < from; ++c) sum += src[c];
      o[0] = sum / n;
    }
  } else if (to == 2) {  // from >= 3: the first two channels are front left and right
    for (std::size_t f = 0; f < frames; ++f, src += from, o += 2) {
      o[0] = src[0];
      o[1] = src[1];
    }
  } else {
    const std::uint16_t shared = std::min(from, to);
    for (std::size_t f = 0; f < frames; ++f, src += from, o += to) {
      std::copy_n(src, shared, o);
      std::fill(o + shared, o + to, 0.0f);
    }
  }
}

// ---- Resampler -----------------------------------------------------------------

// One soxr stream, float32 interleaved in and out. soxr buffers about 20 ms
// internally, so most calls return nothing and then a burst: output is taken
// as it comes.
struct SourceLane::Resampler {
  soxr_t soxr = nullptr;
  std::size_t channels = 0;
  std::size_t block_frames = 0;  // output room per call
  std::vector<float> block;

  Resampler(soxr_t s, std::size_t ch, double ratio)
      : soxr(s),
        channels(ch),
        // Room for twice one chunk's share plus soxr's usual burst, so that one
        // call almost always takes the whole chunk and empties the burst.
        block_frames(2 * static_cast<std::size_t>(
                             std::ceil(static_cast<double>(RESAMPLER_CHUNK_FRAMES) * ratio)) +
                     1024),
        block(block_frames * ch) {}
  ~Resampler() { soxr_delete(soxr); }
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;

  // Resamples `frames` frames and appends the output to `out`. Should the
  // output room fill up, the call repeats until soxr has taken all input and
  // has nothing more ready.
  void process(const float* in, std::size_t frames, std::vector<float>& out) {
    if (frames == 0) return;  // a null or empty input would read as the end of input
    std::size_t taken = 0;
    for (;;) {
      std::size_t idone = 0;
      std::size_t odone = 0;
      const soxr_error_t e = soxr_process(soxr, in + taken * channels, frames - taken, &idone,
                                          block.data(), block_frames, &odone);
      if (e != nullptr) return;  // only a failed creation sets it, and that is never kept
      taken += idone;
      out.insert(out.end(), block.begin(),
                 block.begin() + static_cast<std::ptrdiff_t>(odone * channels));
      if (taken >= frames && odone < block_frames) return;
      if (idone == 0 && odone == 0) return;
    }
  }

  // Signals the end of input and appends everything soxr still holds.
  void drain(std::vector<float>& out) {
    for (;;) {
      std::size_t odone = 0;
      if (soxr_process(soxr, nullptr, 0, nullptr, block.data(), block_frames, &odone) != nullptr)
        return;
      if (odone == 0) return;
      out.insert(out.end(), block.begin(),
                 block.begin() + static_cast<std::ptrdiff_t>(odone * channels));
    }
  }
};

// ---- SourceLane ----------------------------------------------------------------

SourceLane::SourceLane(std::uint32_t native_rate, std::uint16_t native_channels,
                       const OutputSpec& out, ErrorSink err)
    : native_rate_(native_rate),
      native_channels_(native_channels),
      out_rate_(out.sample_rate),
      out_channels_(out.channels),
      err_(std::move(err)) {}

SourceLane::~SourceLane() = default;
SourceLane::SourceLane(SourceLane&&) noexcept = default;
SourceLane& SourceLane::operator=(SourceLane&&) noexcept = default;

std::expected<void, std::string> SourceLane::create_resampler(std::size_t source_index) {
  std::string reason;
  if (native_rate_ == 0) {
    reason = "source sample rate is zero";
  } else {
    const char* failure = nullptr;
    soxr_t s = nullptr;
    if (native_channels_ == 0) {
      // soxr would accept it and wait for a channel count set later.
      failure = "no channels";
    } else {
      const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
      const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
      const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
      soxr_error_t e = nullptr;
      s = soxr_create(native_rate_, out_rate_, native_channels_, &e, &io, &quality, &runtime);
      if (s == nullptr || e != nullptr) {
        failure = e != nullptr ? e : "unknown error";
        if (s != nullptr) soxr_delete(s);
        s = nullptr;
      }
    }
    if (s != nullptr) {
      const double ratio = static_cast<double>(out_rate_) / static_cast<double>(native_rate_);
      resampler_ = std::make_unique<Resampler>(s, native_channels_, ratio);
      return {};
    }
    reason = "resampler init failed (" + std::to_string(native_rate_) + "\u2192" +
             std::to_string(out_rate_) + " Hz, " + std::to_string(native_channels_) +
             "ch): " + failure;
  }
  const std::string line = "Failed to create resampler for source " + std::to_string(source_index) +
                           ": " + reason + "\n";
  if (err_) {
    err_(line);
  } else {
    write_stderr(line);
  }
  return std::unexpected(std::move(reason));
}

std::expected<void, std::string> SourceLane::feed(std::size_t source_index,
                                                  std::span<const float> chunk) {
  if (native_rate_ == out_rate_) {
    map_channels(chunk, native_channels_, out_channels_, queue_);
    return {};
  }
  if (!resampler_) {
    if (auto created = create_resampler(source_index); !created) return created;
  }

  const std::size_t ch = native_channels_;
  pending_.insert(pending_.end(), chunk.begin(), chunk.end());
  const std::size_t frames = pending_.size() / ch;
  const std::size_t whole = frames - frames % RESAMPLER_CHUNK_FRAMES;

  resampled_.clear();
  for (std::size_t offset = 0; offset < whole; offset += RESAMPLER_CHUNK_FRAMES)
    resampler_->process(pending_.data() + offset * ch, RESAMPLER_CHUNK_FRAMES, resampled_);

  // The frames short of a whole chunk wait for the next one; a partial frame
  // at the end is dropped.
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(whole * ch));
  pending_.resize((frames - whole) * ch);

  map_channels(resampled_, native_channels_, out_channels_, queue_);
  return {};
}

void SourceLane::flush_tail() {
  if (!resampler_) return;
  resampled_.clear();
  resampler_->process(pending_.data(), pending_frames(), resampled_);
  pending_.clear();
  resampler_->drain(resampled_);
  map_channels(resampled_, native_channels_, out_channels_, queue_);
}

void SourceLane::clear() {
  queue_.clear();
  pending_.clear();
}

}  // namespace quillbox
