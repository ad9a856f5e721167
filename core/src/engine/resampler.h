#pragma once

// One libsoxr stream: high-quality resampling of interleaved float frames,
// at a fixed ratio or at one that may change while it runs. soxr buffers
// about 20 ms internally, so most calls return nothing and then a burst:
// output is taken as it comes.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <vector>

struct soxr;

namespace quillbox {

// Frames per resampler call.
inline constexpr std::size_t RESAMPLER_CHUNK_FRAMES = 64;

class Resampler {
 public:
  using Created = std::expected<std::unique_ptr<Resampler>, std::string>;

  // From `in_rate` to `out_rate`. The error is soxr's own text, or "no
  // channels" (soxr would accept that and wait for a count set later).
  static Created fixed(std::uint32_t in_rate, std::uint32_t out_rate, std::uint16_t channels);
  // Taking `io_ratio` input frames per output frame until `set_io_ratio`
  // changes it; several times the cost of a fixed one.
  static Created variable(double io_ratio, std::uint16_t channels);

  ~Resampler();
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;

  // A variable resampler's new ratio, from the next output frame on. The
  // change is immediate: soxr's gradual change (its slew) loses a fraction
  // of a frame each time (measured), which a clock followed for hours
  // accumulates into milliseconds; an immediate step of a few ppm is
  // inaudible, since the phase runs on.
  void set_io_ratio(double io_ratio);

  // Resamples `frames` frames and appends the output to `out`. Should the
  // output room fill up, the call repeats until soxr has taken all input and
  // has nothing more ready.
  void process(const float* in, std::size_t frames, std::vector<float>& out);
  // Signals the end of input and appends everything soxr still holds.
  void drain(std::vector<float>& out);

  // Output frames the filter holds back for input it has taken.
  std::uint64_t held() const;

 private:
  Resampler(soxr* s, std::size_t channels, double ratio);

  soxr* soxr_;
  std::size_t channels_;
  std::size_t block_frames_;  // output room per call
  std::vector<float> block_;
  double ratio_;                 // output frames per input frame
  std::uint64_t in_frames_ = 0;  // taken and given out so far
  std::uint64_t out_frames_ = 0;
};

}  // namespace quillbox
