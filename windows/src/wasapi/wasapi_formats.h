#pragma once

// The pure part of the Windows audio layer: reading WAVEFORMATEX bytes (a
// device-format property blob or a mix format), the sample format a capture
// converts from, the "{step}: 0x{hr}" texts and the mapping of audio
// failures onto the error kinds the input path reports. No Win32 header is
// needed here, so the rules are tested on every build.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "base/audio_format.h"
#include "engine/sample_format.h"

namespace quillbox::wasapi {

// HRESULTs the layer tells apart (their values, so no Win32 header is needed).
inline constexpr std::uint32_t HR_E_NOTFOUND = 0x80070490;  // no such element
inline constexpr std::uint32_t HR_E_INVALIDARG = 0x80070057;
inline constexpr std::uint32_t HR_E_POINTER = 0x80004003;
inline constexpr std::uint32_t HR_E_OUTOFMEMORY = 0x8007000E;
inline constexpr std::uint32_t HR_WRONG_ENDPOINT_TYPE = 0x88890003;
inline constexpr std::uint32_t HR_DEVICE_INVALIDATED = 0x88890004;
inline constexpr std::uint32_t HR_UNSUPPORTED_FORMAT = 0x88890008;
inline constexpr std::uint32_t HR_DEVICE_IN_USE = 0x8889000A;
inline constexpr std::uint32_t HR_BUFFER_OPERATION_PENDING = 0x8889000B;
inline constexpr std::uint32_t HR_SERVICE_NOT_RUNNING = 0x88890010;
inline constexpr std::uint32_t HR_EXCLUSIVE_MODE_NOT_ALLOWED = 0x8889000E;
inline constexpr std::uint32_t HR_ENDPOINT_CREATE_FAILED = 0x8889000F;
inline constexpr std::uint32_t HR_BUFFER_SIZE_ERROR = 0x88890016;
inline constexpr std::uint32_t HR_BUFFER_SIZE_NOT_ALIGNED = 0x88890019;
inline constexpr std::uint32_t HR_INVALID_DEVICE_PERIOD = 0x88890020;
inline constexpr std::uint32_t HR_RESOURCES_INVALIDATED = 0x88890026;

// "{step}: 0x{hr}" with the HRESULT as eight upper-case hexadecimal digits.
inline std::string hr_text(std::string_view step, std::uint32_t hr) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "0x%08X", static_cast<unsigned>(hr));
  std::string text(step);
  text += ": ";
  text += digits;
  return text;
}

// The error kind an input stream that cannot be built or started reports.
// The device gone or unusable: "DeviceNotAvailable"; a format or buffer the
// device refuses: "StreamConfigNotSupported"; a bad argument:
// "InvalidArgument"; anything else is "BackendSpecific: {step}: 0x{hr}",
// which keeps the failing call for the user.
inline std::string stream_error_kind(std::string_view step, std::uint32_t hr) {
  switch (hr) {
    case HR_E_NOTFOUND:
    case HR_DEVICE_INVALIDATED:
    case HR_DEVICE_IN_USE:
    case HR_SERVICE_NOT_RUNNING:
    case HR_ENDPOINT_CREATE_FAILED:
    case HR_RESOURCES_INVALIDATED:
      return "DeviceNotAvailable";
    case HR_UNSUPPORTED_FORMAT:
    case HR_EXCLUSIVE_MODE_NOT_ALLOWED:
    case HR_BUFFER_SIZE_ERROR:
    case HR_BUFFER_SIZE_NOT_ALIGNED:
    case HR_INVALID_DEVICE_PERIOD:
      return "StreamConfigNotSupported";
    case HR_E_INVALIDARG:
    case HR_E_POINTER:
      return "InvalidArgument";
    default:
      return "BackendSpecific: " + hr_text(step, hr);
  }
}

// Whether a failing packet call means the device is gone for good (so the
// stream ends), rather than a hiccup worth polling past.
inline bool device_gone(std::uint32_t hr) {
  return hr == HR_DEVICE_INVALIDATED || hr == HR_RESOURCES_INVALIDATED ||
         hr == HR_SERVICE_NOT_RUNNING;
}

// The text of a stream that ended after its start: the error kind and the
// failing call, e.g. "DeviceNotAvailable (GetBuffer: 0x88890004)".
inline std::string stream_failure_text(std::string_view step, std::uint32_t hr) {
  std::string kind = stream_error_kind(step, hr);
  if (kind.starts_with("BackendSpecific")) return kind;
  return kind + " (" + hr_text(step, hr) + ")";
}

// --- WAVEFORMATEX ---------------------------------------------------------

inline constexpr std::uint16_t WAVE_FORMAT_PCM_TAG = 1;
inline constexpr std::uint16_t WAVE_FORMAT_IEEE_FLOAT_TAG = 3;
inline constexpr std::uint16_t WAVE_FORMAT_EXTENSIBLE_TAG = 0xFFFE;

// The sub-format GUIDs of KSDATAFORMAT_SUBTYPE_PCM and _IEEE_FLOAT as they lie
// in memory: the format tag in the first two bytes, then the common tail.
inline constexpr unsigned char SUBTYPE_TAIL[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                   0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

// The fields of a WAVEFORMATEX (and of its extensible form) that matter here.
struct WaveFormat {
  std::uint16_t tag = 0;  // the effective tag: an extensible format's sub-format tag, or 0
  bool extensible = false;
  std::uint16_t channels = 0;
  std::uint32_t sample_rate = 0;
  std::uint16_t container_bits = 0;  // wBitsPerSample
  std::uint16_t valid_bits = 0;      // wValidBitsPerSample, or wBitsPerSample
};

namespace detail {
inline std::uint16_t le16(std::span<const unsigned char> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}
inline std::uint32_t le32(std::span<const unsigned char> b, std::size_t at) {
  return std::uint32_t{le16(b, at)} | std::uint32_t{le16(b, at + 2)} << 16;
}
// PCM or IEEE float as the sub-format GUID at `at` names it; 0 for any other.
inline std::uint16_t subtype_tag(std::span<const unsigned char> b, std::size_t at) {
  if (std::memcmp(b.data() + at + 2, SUBTYPE_TAIL, sizeof SUBTYPE_TAIL) != 0) return 0;
  const std::uint16_t tag = le16(b, at);
  return tag == WAVE_FORMAT_PCM_TAG || tag == WAVE_FORMAT_IEEE_FLOAT_TAG ? tag : 0;
}
}  // namespace detail

// Reads a WAVEFORMATEX of `bytes.size()` bytes; absent below 18 bytes. The
// extensible fields count from 40 bytes on.
inline std::optional<WaveFormat> parse_wave_format(std::span<const unsigned char> bytes) {
  if (bytes.size() < 18) return std::nullopt;
  WaveFormat f;
  const std::uint16_t raw_tag = detail::le16(bytes, 0);
  f.channels = detail::le16(bytes, 2);
  f.sample_rate = detail::le32(bytes, 4);
  f.container_bits = detail::le16(bytes, 14);
  f.valid_bits = f.container_bits;
  if (raw_tag == WAVE_FORMAT_EXTENSIBLE_TAG && bytes.size() >= 40) {
    f.extensible = true;
    f.valid_bits = detail::le16(bytes, 18);
    f.tag = detail::subtype_tag(bytes, 24);
  } else {
    f.tag = raw_tag;
  }
  return f;
}

// The native format a device-format property blob describes: rate and
// channels, and bits and float flag from the extensible fields when the
// blob has them (40 bytes and the extensible tag), else from the plain ones.
// Absent for a blob shorter than 18 bytes.
inline std::optional<AudioFormat> device_format_from_blob(std::span<const unsigned char> blob) {
  const auto f = parse_wave_format(blob);
  if (!f) return std::nullopt;
  AudioFormat spec;
  spec.sample_rate = f->sample_rate;
  spec.channels = f->channels;
  spec.bits_per_sample = f->valid_bits;
  spec.is_float = f->tag == WAVE_FORMAT_IEEE_FLOAT_TAG;
  return spec;
}

// A capture's sample format as the stream's own format decides it, or the
// name of a format the capture cannot convert ("F64", "I24 packed", ...).
using CaptureSampleFormat = std::variant<SampleFormat, std::string>;

inline CaptureSampleFormat capture_sample_format(const WaveFormat& f) {
  if (f.tag == WAVE_FORMAT_IEEE_FLOAT_TAG) {
    if (f.container_bits == 32) return SampleFormat::F32;
    return "F" + std::to_string(f.container_bits);
  }
  if (f.tag == WAVE_FORMAT_PCM_TAG) {
    switch (f.container_bits) {
      case 8:
        return SampleFormat::U8;
      case 16:
        return SampleFormat::I16;
      case 32:
        // 24 valid bits sit in the upper bytes of the container.
        return f.valid_bits == 24 ? SampleFormat::I24 : SampleFormat::I32;
      case 24:
        return std::string("I24 packed");
      default:
        return "I" + std::to_string(f.container_bits);
    }
  }
  char text[32];
  std::snprintf(text, sizeof text, "format tag 0x%04X", static_cast<unsigned>(f.tag));
  return std::string(text);
}

}  // namespace quillbox::wasapi
