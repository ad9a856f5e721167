#include "engine/audio_buf.h"

#include <algorithm>
#include <utility>

namespace quillbox {

AudioBuf::AudioBuf(std::uint32_t rate, std::uint16_t channels) {
  set_format(rate, channels);
}

void AudioBuf::set_format(std::uint32_t rate, std::uint16_t channels) {
  std::lock_guard lock(mutex_);
  rate_ = std::max<std::uint32_t>(rate, 1);
  channels_ = std::max<std::uint16_t>(channels, 1);
  limit_samples_ = static_cast<std::size_t>(MAX_QUEUED_TIME.count()) * rate_ * channels_;
}

void AudioBuf::push(Chunk chunk) {
  Chunk dropped;  // released after the lock, so the callback never frees under it
  {
    std::lock_guard lock(mutex_);
    if (failed()) {
      dropped = std::move(chunk);
    } else if (!full_ && (chunks_.empty() || queued_samples_ + chunk.size() <= limit_samples_)) {
      queued_samples_ += chunk.size();
      chunks_.push_back(std::move(chunk));
      return;
    } else {
      const std::uint64_t frames = chunk.size() / channels_;
      const std::chrono::nanoseconds length(
          static_cast<std::int64_t>(frames * 1'000'000'000ULL / rate_));
      if (!full_) dropped_.push_back(DroppedAudio{chunk.time, {}});
      full_ = true;
      dropped_.back().length += length;
      dropped = std::move(chunk);
    }
  }
}

std::vector<Chunk> AudioBuf::take_all() {
  std::vector<Chunk> out;
  {
    std::lock_guard lock(mutex_);
    out.swap(chunks_);
    queued_samples_ = 0;
    full_ = false;
  }
  return out;
}

std::vector<DroppedAudio> AudioBuf::dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

void AudioBuf::fail(CaptureFailure failure) {
  std::lock_guard lock(mutex_);
  if (failed()) return;
  failed_.store(true, std::memory_order_release);
  // A failure not yet told stays the one told.
  if (untold_.load(std::memory_order_acquire)) return;
  failure_ = std::move(failure);
  untold_.store(true, std::memory_order_release);
}

std::optional<CaptureFailure> AudioBuf::take_failure() {
  if (!untold_.load(std::memory_order_acquire)) return std::nullopt;
  std::lock_guard lock(mutex_);
  if (!untold_.exchange(false)) return std::nullopt;
  return failure_;
}

std::optional<std::string> AudioBuf::failure_line() const {
  std::lock_guard lock(mutex_);
  if (!failure_) return std::nullopt;
  return failure_->line;
}

void AudioBuf::restart() {
  std::lock_guard lock(mutex_);
  failed_.store(false, std::memory_order_release);
}

}  // namespace quillbox
