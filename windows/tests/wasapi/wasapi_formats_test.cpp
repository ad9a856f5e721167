// Pure rules of the Windows audio layer; built and run on every platform.
#include "wasapi/wasapi_formats.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace quillbox::wasapi {
namespace {

// A WAVEFORMATEX(TENSIBLE) of `size` bytes.
std::vector<unsigned char> wave_bytes(std::size_t size, std::uint16_t tag, std::uint16_t channels,
                                      std::uint32_t rate, std::uint16_t bits,
                                      std::uint16_t valid_bits = 0,
                                      std::uint16_t sub_tag = WAVE_FORMAT_IEEE_FLOAT_TAG) {
  std::vector<unsigned char> b(size, 0);
  auto put16 = [&](std::size_t at, std::uint16_t v) {
    if (at + 1 < size) b[at] = v & 0xFF, b[at + 1] = v >> 8;
  };
  put16(0, tag);
  put16(2, channels);
  put16(4, rate & 0xFFFF);
  put16(6, rate >> 16);
  put16(14, bits);
  put16(16, static_cast<std::uint16_t>(size >= 18 ? size - 18 : 0));
  put16(18, valid_bits);
  if (size >= 40) {
    put16(24, sub_tag);
    for (std::size_t i = 0; i < 14; ++i) b[26 + i] = SUBTYPE_TAIL[i];
  }
  return b;
}

TEST(WasapiFormats, DeviceFormatBlobRules) {
  struct Case {
    const char* what;
    std::vector<unsigned char> blob;
    std::optional<AudioFormat> expected;
  };
  const Case cases[] = {
      {"17 bytes is absent", wave_bytes(17, 1, 2, 48000, 16), std::nullopt},
      {"18-byte PCM", wave_bytes(18, 1, 2, 48000, 16), AudioFormat{48000, 2, 16, false}},
      {"18-byte float", wave_bytes(18, 3, 1, 44100, 32), AudioFormat{44100, 1, 32, true}},
      {"40-byte extensible float: valid bits and sub-format",
       wave_bytes(40, 0xFFFE, 2, 44100, 32, 32), AudioFormat{44100, 2, 32, true}},
      {"40-byte extensible PCM 24 in 32", wave_bytes(40, 0xFFFE, 6, 96000, 32, 24, 1),
       AudioFormat{96000, 6, 24, false}},
      {"extensible tag but only 22 bytes: plain fields", wave_bytes(22, 0xFFFE, 2, 48000, 24, 20),
       AudioFormat{48000, 2, 24, false}},
      {"40 bytes without the extensible tag: plain fields", wave_bytes(40, 3, 2, 48000, 32, 7),
       AudioFormat{48000, 2, 32, true}},
      {"extensible with a foreign sub-format is not float",
       wave_bytes(40, 0xFFFE, 2, 48000, 32, 32, 0x55), AudioFormat{48000, 2, 32, false}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(device_format_from_blob(c.blob), c.expected) << c.what;
  }
}

TEST(WasapiFormats, CaptureSampleFormatFollowsTheMixFormat) {
  const auto format = [](std::vector<unsigned char> bytes) {
    return capture_sample_format(*parse_wave_format(bytes));
  };
  using F = CaptureSampleFormat;
  EXPECT_EQ(format(wave_bytes(40, 0xFFFE, 2, 44100, 32, 32)), F(SampleFormat::F32));
  EXPECT_EQ(format(wave_bytes(18, 3, 2, 44100, 32)), F(SampleFormat::F32));
  EXPECT_EQ(format(wave_bytes(18, 1, 2, 44100, 16)), F(SampleFormat::I16));
  EXPECT_EQ(format(wave_bytes(40, 0xFFFE, 2, 48000, 32, 24, 1)), F(SampleFormat::I24));
  EXPECT_EQ(format(wave_bytes(40, 0xFFFE, 2, 48000, 32, 32, 1)), F(SampleFormat::I32));
  EXPECT_EQ(format(wave_bytes(18, 1, 1, 8000, 8)), F(SampleFormat::U8));
  EXPECT_EQ(format(wave_bytes(18, 3, 2, 48000, 64)), F(std::string("F64")));
  EXPECT_EQ(format(wave_bytes(18, 1, 2, 48000, 24)), F(std::string("I24 packed")));
  EXPECT_EQ(format(wave_bytes(18, 2, 2, 48000, 4)), F(std::string("format tag 0x0002")));
}

TEST(WasapiFormats, ErrorTextsAndKinds) {
  EXPECT_EQ(hr_text("GetService", 0x88890003u), "GetService: 0x88890003");
  EXPECT_EQ(hr_text("Activate", 0x5u), "Activate: 0x00000005");
  EXPECT_EQ(hr_text("CoCreateInstance", 0x800401F0u), "CoCreateInstance: 0x800401F0");

  EXPECT_EQ(stream_error_kind("Initialize", HR_UNSUPPORTED_FORMAT), "StreamConfigNotSupported");
  EXPECT_EQ(stream_error_kind("Initialize", HR_BUFFER_SIZE_ERROR), "StreamConfigNotSupported");
  EXPECT_EQ(stream_error_kind("GetDevice", HR_E_NOTFOUND), "DeviceNotAvailable");
  EXPECT_EQ(stream_error_kind("Activate", HR_DEVICE_INVALIDATED), "DeviceNotAvailable");
  EXPECT_EQ(stream_error_kind("Start", HR_DEVICE_IN_USE), "DeviceNotAvailable");
  EXPECT_EQ(stream_error_kind("Initialize", HR_E_INVALIDARG), "InvalidArgument");
  EXPECT_EQ(stream_error_kind("Start", 0x80004005u), "BackendSpecific: Start: 0x80004005");

  EXPECT_EQ(stream_failure_text("GetBuffer", HR_DEVICE_INVALIDATED),
            "DeviceNotAvailable (GetBuffer: 0x88890004)");
  EXPECT_TRUE(device_gone(HR_DEVICE_INVALIDATED));
  EXPECT_FALSE(device_gone(0x80004005u));
}

}  // namespace
}  // namespace quillbox::wasapi
