#pragma once

#include <cstdint>

namespace quillbox {

// The format of an output file or a capture device.
struct OutputSpec {
  std::uint32_t sample_rate = 0;
  std::uint16_t channels = 0;
  std::uint16_t bits_per_sample = 0;  // 32 whenever is_float is set
  bool is_float = false;

  friend bool operator==(const OutputSpec&, const OutputSpec&) = default;
};

}  // namespace quillbox
