#pragma once

// What the tests hear in a finished recording: the samples of a WAV file
// (read with libsndfile, independently of our writer), and the frequency
// and level of the tones in them.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

namespace quillbox::signal {

struct Audio {
  int sample_rate = 0;
  int channels = 0;
  std::vector<float> samples;  // interleaved
  std::size_t frames() const { return channels > 0 ? samples.size() / channels : 0; }
  // One channel's samples, frames [begin, end) (end clipped to the length).
  std::vector<float> channel(int c, std::size_t begin = 0, std::size_t end = SIZE_MAX) const;
};

std::optional<Audio> read_wav(const std::filesystem::path& path);

// The amplitude of the sine at `frequency` (a Hann-windowed single-bin DFT).
double tone_amplitude(std::span<const float> mono, double sample_rate, double frequency);
// The frequency of the dominant tone, from the rising zero crossings.
double tone_frequency(std::span<const float> mono, double sample_rate);
float peak(std::span<const float> samples);
// Index of the first sample whose magnitude exceeds `threshold`, or the size.
std::size_t first_above(std::span<const float> samples, float threshold);
// Decibels of a ratio of amplitudes.
double db(double ratio);

}  // namespace quillbox::signal
