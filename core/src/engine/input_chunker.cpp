#include "engine/input_chunker.h"

#include <utility>

namespace quillbox {

std::size_t input_chunk_samples(std::uint32_t sample_rate, std::uint16_t channels) {
  // Whole frames of 5 ms: the division comes last so 44.1 kHz keeps its 220.5 -> 220.
  const std::uint64_t frames = (std::uint64_t{sample_rate} * 5) / 1000;
  return static_cast<std::size_t>(frames * channels);
}

InputChunker::InputChunker(std::shared_ptr<AudioBuf> buffer, std::uint32_t sample_rate,
                           std::uint16_t channels)
    : buffer_(std::move(buffer)), chunk_samples_(input_chunk_samples(sample_rate, channels)) {
  pending_.samples.reserve(2 * chunk_samples_);
}

void InputChunker::accept(SampleFormat format, const void* data, std::size_t count,
                          CaptureTime time) {
  if (!accepting_.load()) return;
  Chunk chunk;
  {
    std::lock_guard lock(mutex_);
    auto& pending = pending_.samples;
    if (pending.empty()) pending_.time = time;
    const std::size_t at = pending.size();
    pending.resize(at + count);
    convert_samples(format, data, count, pending.data() + at);
    if (!pending.empty() && pending.size() >= chunk_samples_) {
      // Everything gathered goes as one chunk; splitting would only add pushes.
      chunk = std::exchange(pending_, Chunk{});
      pending_.samples.reserve(2 * chunk_samples_);
    }
  }
  // The buffer's lock is taken only after ours is released.
  if (!chunk.empty()) buffer_->push(std::move(chunk));
}

void InputChunker::stop_accepting() {
  accepting_.store(false);
}

void InputChunker::finish() {
  Chunk rest;
  {
    std::lock_guard lock(mutex_);
    rest = std::exchange(pending_, Chunk{});
  }
  if (!rest.empty()) buffer_->push(std::move(rest));
}

}  // namespace quillbox
