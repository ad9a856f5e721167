#include "engine/sample_format.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace quillbox {

std::size_t sample_bytes(SampleFormat format) {
  switch (format) {
    case SampleFormat::U8:
      return 1;
    case SampleFormat::I16:
    case SampleFormat::U16:
      return 2;
    case SampleFormat::F32:
    case SampleFormat::I32:
    case SampleFormat::I24:
      return 4;
  }
  return 4;
}

namespace {

template <typename T, typename F>
void convert_each(const void* data, std::size_t count, float* out, F convert) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < count; ++i) {
    T value;
    std::memcpy(&value, bytes + i * sizeof(T), sizeof(T));
    out[i] = convert(value);
  }
}

}  // namespace

void convert_samples(SampleFormat format, const void* data, std::size_t count, float* out) {
  switch (format) {
    case SampleFormat::F32:
      convert_each<float>(data, count, out,
                          [](float v) { return std::isnan(v) ? v : std::clamp(v, -1.0f, 1.0f); });
      return;
    case SampleFormat::I16:
      convert_each<std::int16_t>(data, count, out,
                                 [](std::int16_t v) { return float(v) / 32767.0f; });
      return;
    case SampleFormat::I32:
    case SampleFormat::I24:
      convert_each<std::int32_t>(data, count, out,
                                 [](std::int32_t v) { return float(v) * (1.0f / 2147483648.0f); });
      return;
    case SampleFormat::U8:
      convert_each<std::uint8_t>(data, count, out,
                                 [](std::uint8_t v) { return (float(v) - 128.0f) / 127.5f; });
      return;
    case SampleFormat::U16:
      convert_each<std::uint16_t>(data, count, out,
                                  [](std::uint16_t v) { return (float(v) - 32768.0f) / 32767.5f; });
      return;
  }
}

}  // namespace quillbox
