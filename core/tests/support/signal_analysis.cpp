#include "signal_analysis.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

namespace quillbox::signal {

std::vector<float> Audio::channel(int c, std::size_t begin, std::size_t end) const {
  end = std::min(end, frames());
  std::vector<float> out;
  for (std::size_t f = begin; f < end; ++f) out.push_back(samples[f * channels + c]);
  return out;
}

std::optional<Audio> read_wav(const std::filesystem::path& path) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.string().c_str(), SFM_READ, &info);
  if (file == nullptr) return std::nullopt;
  Audio audio;
  audio.sample_rate = info.samplerate;
  audio.channels = info.channels;
  audio.samples.resize(static_cast<std::size_t>(info.frames) * info.channels);
  // Integer data read as float comes back at -1.0 ... 1.0 without clipping tricks.
  sf_command(file, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
  const sf_count_t read = sf_readf_float(file, audio.samples.data(), info.frames);
  sf_close(file);
  audio.samples.resize(static_cast<std::size_t>(read) * info.channels);
  return audio;
}

double tone_amplitude(std::span<const float> mono, double sample_rate, double frequency) {
  const std::size_t n = mono.size();
  if (n < 2) return 0.0;
  std::complex<double> sum{};
  double weight = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double w = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * double(i) / double(n - 1));
    const double phase = 2.0 * std::numbers::pi * frequency * double(i) / sample_rate;
    sum += w * double(mono[i]) * std::polar(1.0, -phase);
    weight += w;
  }
  return 2.0 * std::abs(sum) / weight;
}

double tone_frequency(std::span<const float> mono, double sample_rate) {
  double first = -1.0, last = -1.0;
  std::size_t crossings = 0;
  for (std::size_t i = 1; i < mono.size(); ++i) {
    if (mono[i - 1] < 0.0f && mono[i] >= 0.0f) {
      const double at = double(i - 1) + double(-mono[i - 1]) / double(mono[i] - mono[i - 1]);
      if (first < 0.0) first = at;
      last = at;
      ++crossings;
    }
  }
  if (crossings < 2) return 0.0;
  return double(crossings - 1) * sample_rate / (last - first);
}

float peak(std::span<const float> samples) {
  float p = 0.0f;
  for (float v : samples) p = std::max(p, std::abs(v));
  return p;
}

std::size_t first_above(std::span<const float> samples, float threshold) {
  for (std::size_t i = 0; i < samples.size(); ++i)
    if (std::abs(samples[i]) > threshold) return i;
  return samples.size();
}

double db(double ratio) {
  return 20.0 * std::log10(ratio);
}

}  // namespace quillbox::signal
