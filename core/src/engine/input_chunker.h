#pragma once

// The input path's gathering of device buffers into chunks of at least 5 ms,
// shared by every platform's input streams.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "engine/audio_buf.h"
#include "engine/sample_format.h"

namespace quillbox {

// Samples per input chunk: 5 ms of whole frames (48 kHz stereo: 480).
std::size_t input_chunk_samples(std::uint32_t sample_rate, std::uint16_t channels);

// Gathers an input device's buffers into chunks of at least 5 ms and pushes
// them into the source's buffer. A chunk holds everything gathered, so it is
// never split; its capture time is that of the first buffer in it.
// `stop_accepting` makes further buffers vanish; `finish` pushes what is
// left. Safe to call from the device's callback thread and the stream's own
// thread.
class InputChunker {
 public:
  InputChunker(std::shared_ptr<AudioBuf> buffer, std::uint32_t sample_rate, std::uint16_t channels);

  // One device buffer of `count` samples in `format`, converted as it is
  // appended; `time` is the capture time of its first frame.
  void accept(SampleFormat format, const void* data, std::size_t count, CaptureTime time);
  void accept(const float* samples, std::size_t count, CaptureTime time) {
    accept(SampleFormat::F32, samples, count, time);
  }
  void stop_accepting();
  bool accepting() const { return accepting_.load(); }
  void finish();

  std::size_t chunk_samples() const { return chunk_samples_; }

 private:
  std::shared_ptr<AudioBuf> buffer_;
  std::size_t chunk_samples_;
  std::atomic<bool> accepting_{true};
  std::mutex mutex_;
  Chunk pending_;
};

}  // namespace quillbox
