#pragma once

// The sample formats a capture device may deliver, and their conversion to
// the engine's 32-bit floats.

#include <cstddef>
#include <cstdint>

namespace quillbox {

// I24 is 24 valid bits in the upper bytes of a 32-bit container, which
// converts exactly like I32.
enum class SampleFormat : std::uint8_t { F32, I16, I32, U8, U16, I24 };

// Bytes one sample of the format takes.
std::size_t sample_bytes(SampleFormat format);

// Converts `count` samples in place order, keeping the interleaving:
//   F32 clamped to -1..1 (a NaN stays NaN); I16 / 32767; I32 and I24 * 2^-31;
//   U8 (v - 128) / 127.5; U16 (v - 32768) / 32767.5. Only F32 clamps.
// `data` holds samples in the machine's byte order; it need not be aligned.
void convert_samples(SampleFormat format, const void* data, std::size_t count, float* out);

}  // namespace quillbox
