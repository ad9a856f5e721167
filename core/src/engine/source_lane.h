#pragma once

// Per-source conversion to the session format: resampling to the session rate
// (a `Resampler`, fed whole 64-frame chunks), following a drifting clock
// without a seam, and channel mapping into the queue of samples waiting to
// be written. A lane belongs to the processor thread alone.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/audio_format.h"
#include "base/console.h"
#include "engine/resampler.h"

namespace quillbox {

// Frames a lane that starts following its source's clock primes its new
// resampler with.
inline constexpr std::size_t PRIMING_FRAMES = 256;
// Output frames over which it fades from its old conversion to the new one.
inline constexpr std::size_t HANDOVER_FRAMES = 256;

// A first-in-first-out run of interleaved samples. Samples leave from the
// front in blocks; storage is reused, not shifted on every removal.
class SampleQueue {
 public:
  std::size_t size() const { return data_.size() - head_; }
  bool empty() const { return size() == 0; }
  void append(std::span<const float> samples);
  // Appends `n` samples (zero) and returns them for the caller to fill.
  std::span<float> grow(std::size_t n);
  // The first `n` samples (n <= size()); valid until the queue changes.
  std::span<const float> front(std::size_t n) const { return {data_.data() + head_, n}; }
  void pop(std::size_t n);
  void clear();

 private:
  std::vector<float> data_;
  std::size_t head_ = 0;
};

class SourceLane {
 public:
  // An empty lane without resampler. `err` receives the resampler-creation
  // message (standard error by default).
  SourceLane(std::uint32_t native_rate, std::uint16_t native_channels, const AudioFormat& out,
             TextSink err = {});
  ~SourceLane();
  SourceLane(SourceLane&&) noexcept;
  SourceLane& operator=(SourceLane&&) noexcept;

  // Converts one chunk of native audio and appends it to `queue()`. The
  // resampler is created at the first chunk that needs it; when that fails
  // the chunk is dropped and the reason returned ("source sample rate is
  // zero", "resampler init failed (...)"). `source_index` only names the
  // source in the message.
  std::expected<void, std::string> feed(std::size_t source_index, std::span<const float> chunk);

  // Pushes what the resampler still holds (frames waiting for a whole chunk
  // and the filter's own delay) through to the queue. Used once, when the
  // recording stops, so the last milliseconds of a resampled source are kept.
  void flush_tail();

  // Empties the queue and the frames waiting for the resampler; the
  // resampler keeps its history.
  void clear();

  // Appends `frames` frames of silence as if the source had delivered them.
  std::expected<void, std::string> feed_silence(std::size_t source_index, std::size_t frames);

  // Converts from now on as if the source ran at `native_rate` (its clock as
  // the session's clock measures it) rather than its nominal rate. The first
  // call switches the lane to a variable-rate resampler, primed with the
  // last frames it converted so the audio runs on without a seam; a lane
  // never called keeps converting bit for bit as before.
  void follow_rate(std::size_t source_index, double native_rate);
  bool following() const { return following_; }
  double followed_rate() const { return followed_rate_; }

  // Ends an active stretch: what the resampler holds is flushed into the
  // queue and the lane starts the next stretch without any of this one's
  // history.
  void end_stretch();

  SampleQueue& queue() { return queue_; }
  const SampleQueue& queue() const { return queue_; }

  // Native frames waiting for a whole resampler chunk.
  std::size_t pending_frames() const {
    return native_channels_ == 0 ? 0 : pending_.size() / native_channels_;
  }

 private:
  std::expected<void, std::string> create_resampler(std::size_t source_index);
  void convert(std::span<const float> chunk);
  void remember(std::span<const float> frames);
  // Maps the resampler's output into the queue, less what priming produced,
  // faded in over the old conversion's output while a handover runs.
  void emit(std::span<const float> resampled);
  void merge_handover(bool finish);
  struct Handover;
  double io_ratio() const { return followed_rate_ / static_cast<double>(out_rate_); }

  std::uint32_t native_rate_;
  std::uint16_t native_channels_;
  std::uint32_t out_rate_;
  std::uint16_t out_channels_;
  TextSink err_;
  std::unique_ptr<Resampler> resampler_;
  std::vector<float> pending_;
  std::vector<float> resampled_;  // scratch: one feed's resampler output, interleaved
  SampleQueue queue_;
  // Following a measured clock: the rate it runs at, the last frames fed
  // (to prime a new resampler), and the primed output still to discard.
  bool following_ = false;
  double followed_rate_ = 0;
  std::vector<float> history_;
  std::size_t discard_frames_ = 0;
  std::vector<float> silence_;
  std::unique_ptr<Handover> handover_;
};

// Maps interleaved frames from `from` to `to` channels and appends them to
// `out`: mono doubles, stereo folds to mono at half gain each, more channels
// average to mono or keep their first two for stereo, any other pair copies
// the channels both have and fills the rest with silence. Equal or zero
// counts pass the data unchanged.
void map_channels(std::span<const float> in, std::uint16_t from, std::uint16_t to,
                  SampleQueue& out);

}  // namespace quillbox
