#include "engine/source_lane.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "base/console.h"

namespace quillbox {
namespace {

// soxr's variable-rate mode leaves its output this many frames later than
// its delay compensation says (measured; the fixed-rate mode has none).
constexpr double VR_DELAY_FRAMES = 1.6;

}  // namespace

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

// ---- SourceLane ----------------------------------------------------------------

// The switch to a followed clock: for a few milliseconds both conversions
// run, and the output fades from the old one to the new, which starts a
// fraction of a frame off (the variable-rate filter's own delay is not a
// whole number of frames).
struct SourceLane::Handover {
  std::unique_ptr<Resampler> old;  // none: the old conversion passed frames through
  std::vector<float> old_out;      // output since the switch, not merged yet
  std::vector<float> new_out;
  std::size_t lead = 0;    // old output still due for frames before the switch
  std::size_t merged = 0;  // frames faded so far
};

SourceLane::SourceLane(std::uint32_t native_rate, std::uint16_t native_channels,
                       const AudioFormat& out, TextSink err)
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
    // A followed clock needs the variable-rate mode; it costs several times
    // the fixed one, so only such lanes use it.
    auto created = following_ ? Resampler::variable(io_ratio(), native_channels_)
                              : Resampler::fixed(native_rate_, out_rate_, native_channels_);
    if (created) {
      resampler_ = std::move(*created);
      return {};
    }
    reason = "resampler init failed (" + std::to_string(native_rate_) + "\u2192" +
             std::to_string(out_rate_) + " Hz, " + std::to_string(native_channels_) +
             "ch): " + created.error();
  }
  const std::string line = "Failed to create resampler for source " + std::to_string(source_index) +
                           ": " + reason + "\n";
  write_err(err_, line);
  return std::unexpected(std::move(reason));
}

std::expected<void, std::string> SourceLane::feed(std::size_t source_index,
                                                  std::span<const float> chunk) {
  if (native_rate_ == out_rate_ && !following_) {
    remember(chunk);
    map_channels(chunk, native_channels_, out_channels_, queue_);
    return {};
  }
  if (!resampler_) {
    if (auto created = create_resampler(source_index); !created) return created;
  }
  convert(chunk);
  return {};
}

void SourceLane::convert(std::span<const float> chunk) {
  const std::size_t ch = native_channels_;
  pending_.insert(pending_.end(), chunk.begin(), chunk.end());
  const std::size_t frames = pending_.size() / ch;
  const std::size_t whole = frames - frames % RESAMPLER_CHUNK_FRAMES;

  resampled_.clear();
  for (std::size_t offset = 0; offset < whole; offset += RESAMPLER_CHUNK_FRAMES)
    resampler_->process(pending_.data() + offset * ch, RESAMPLER_CHUNK_FRAMES, resampled_);
  remember(std::span<const float>(pending_.data(), whole * ch));
  if (handover_) {
    if (handover_->old) {
      for (std::size_t offset = 0; offset < whole; offset += RESAMPLER_CHUNK_FRAMES)
        handover_->old->process(pending_.data() + offset * ch, RESAMPLER_CHUNK_FRAMES,
                                handover_->old_out);
    } else {
      handover_->old_out.insert(handover_->old_out.end(), pending_.begin(),
                                pending_.begin() + static_cast<std::ptrdiff_t>(whole * ch));
    }
  }

  // The frames short of a whole chunk wait for the next one; a partial frame
  // at the end is dropped.
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(whole * ch));
  pending_.resize((frames - whole) * ch);

  emit(resampled_);
}

void SourceLane::emit(std::span<const float> resampled) {
  if (discard_frames_ > 0) {
    // Output of the priming frames, converted once already.
    const std::size_t skip = std::min(discard_frames_, resampled.size() / native_channels_);
    discard_frames_ -= skip;
    resampled = resampled.subspan(skip * native_channels_);
  }
  if (!handover_) {
    map_channels(resampled, native_channels_, out_channels_, queue_);
    return;
  }
  handover_->new_out.insert(handover_->new_out.end(), resampled.begin(), resampled.end());
  merge_handover(false);
}

void SourceLane::merge_handover(bool finish) {
  Handover& h = *handover_;
  const std::size_t ch = native_channels_;
  if (h.lead > 0) {
    // What the old filter still held for frames before the switch goes out first.
    const std::size_t n = std::min(h.lead, h.old_out.size() / ch);
    map_channels(std::span<const float>(h.old_out.data(), n * ch), native_channels_, out_channels_,
                 queue_);
    h.old_out.erase(h.old_out.begin(), h.old_out.begin() + static_cast<std::ptrdiff_t>(n * ch));
    h.lead -= n;
    if (h.lead > 0 && !finish) return;
  }
  const std::size_t frames =
      std::min({h.old_out.size() / ch, h.new_out.size() / ch, HANDOVER_FRAMES - h.merged});
  for (std::size_t f = 0; f < frames; ++f) {
    const float w = static_cast<float>(h.merged + f + 1) / static_cast<float>(HANDOVER_FRAMES + 1);
    for (std::size_t c = 0; c < ch; ++c) {
      float& out = h.new_out[f * ch + c];
      out = h.old_out[f * ch + c] * (1.0f - w) + out * w;
    }
  }
  h.merged += frames;
  h.old_out.erase(h.old_out.begin(), h.old_out.begin() + static_cast<std::ptrdiff_t>(frames * ch));
  const bool done = h.merged == HANDOVER_FRAMES || finish;
  // Merged frames go out; past the fade the new conversion goes out alone.
  const std::size_t ready = done ? h.new_out.size() / ch : frames;
  map_channels(std::span<const float>(h.new_out.data(), ready * ch), native_channels_,
               out_channels_, queue_);
  h.new_out.erase(h.new_out.begin(), h.new_out.begin() + static_cast<std::ptrdiff_t>(ready * ch));
  if (done) handover_.reset();
}

// The last frames fed, kept only for a lane that may start following its
// clock: a new resampler is primed with them.
void SourceLane::remember(std::span<const float> frames) {
  const std::size_t keep = PRIMING_FRAMES * native_channels_;
  if (frames.size() >= keep) {
    history_.assign(frames.end() - static_cast<std::ptrdiff_t>(keep), frames.end());
    return;
  }
  history_.insert(history_.end(), frames.begin(), frames.end());
  if (history_.size() > keep)
    history_.erase(history_.begin(), history_.end() - static_cast<std::ptrdiff_t>(keep));
}

std::expected<void, std::string> SourceLane::feed_silence(std::size_t source_index,
                                                          std::size_t frames) {
  silence_.assign(std::min<std::size_t>(frames, 4096) * native_channels_, 0.0f);
  while (frames > 0) {
    const std::size_t n = std::min<std::size_t>(frames, 4096);
    if (auto r = feed(source_index, std::span<const float>(silence_.data(), n * native_channels_));
        !r)
      return r;
    frames -= n;
  }
  return {};
}

void SourceLane::follow_rate(std::size_t source_index, double native_rate) {
  if (native_rate <= 0 || native_channels_ == 0) return;
  followed_rate_ = native_rate;
  if (following_) {
    if (resampler_) resampler_->set_io_ratio(io_ratio());
    return;
  }
  // Hand over without a seam: the new resampler is primed with the last
  // frames the old conversion took and its output for them is discarded, so
  // it continues where the old one is, with a filter already full of the
  // signal; then the output fades from the old conversion to the new.
  auto handover = std::make_unique<Handover>();
  handover->old = std::move(resampler_);
  if (handover->old) handover->lead = static_cast<std::size_t>(handover->old->held());
  following_ = true;
  if (!create_resampler(source_index)) {
    following_ = false;
    resampler_ = std::move(handover->old);
    return;
  }
  const std::size_t ch = native_channels_;
  const std::size_t primed =
      (history_.size() / ch) / RESAMPLER_CHUNK_FRAMES * RESAMPLER_CHUNK_FRAMES;
  const float* first = history_.data() + history_.size() - primed * ch;
  resampled_.clear();
  for (std::size_t offset = 0; offset < primed; offset += RESAMPLER_CHUNK_FRAMES)
    resampler_->process(first + offset * ch, RESAMPLER_CHUNK_FRAMES, resampled_);
  discard_frames_ = static_cast<std::size_t>(
      std::llround(static_cast<double>(primed) / io_ratio() + VR_DELAY_FRAMES));
  if (primed > 0) handover_ = std::move(handover);
  emit(resampled_);
}

void SourceLane::end_stretch() {
  flush_tail();
  resampler_.reset();
  handover_.reset();
  pending_.clear();
  history_.clear();
  discard_frames_ = 0;
}

void SourceLane::flush_tail() {
  if (!resampler_) return;
  resampled_.clear();
  resampler_->process(pending_.data(), pending_frames(), resampled_);
  if (handover_) {
    if (handover_->old) {
      handover_->old->process(pending_.data(), pending_frames(), handover_->old_out);
      handover_->old->drain(handover_->old_out);
    } else {
      handover_->old_out.insert(handover_->old_out.end(), pending_.begin(), pending_.end());
    }
  }
  pending_.clear();
  resampler_->drain(resampled_);
  emit(resampled_);
  if (handover_) merge_handover(true);
}

void SourceLane::clear() {
  queue_.clear();
  pending_.clear();
}

}  // namespace quillbox
