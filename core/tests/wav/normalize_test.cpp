#include "wav/normalize.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace quillbox {
namespace {

using namespace test_support;
namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
constexpr float INF = std::numeric_limits<float>::infinity();

void put_le(Bytes& b, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void put_tag(Bytes& b, const char* tag) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(tag[i]));
}
// 8-bit WAV samples are unsigned, the others signed.
void put_sample(Bytes& b, std::int32_t v, int bytes) {
  put_le(b, static_cast<std::uint32_t>(bytes == 1 ? v + 128 : v), bytes);
}
void put_chunk(Bytes& b, const char* tag, const Bytes& body) {
  put_tag(b, tag);
  put_le(b, static_cast<std::uint32_t>(body.size()), 4);
  b.insert(b.end(), body.begin(), body.end());
}

Bytes riff(const Bytes& chunks) {
  Bytes b;
  put_tag(b, "RIFF");
  put_le(b, static_cast<std::uint32_t>(chunks.size() + 4), 4);
  put_tag(b, "WAVE");
  b.insert(b.end(), chunks.begin(), chunks.end());
  return b;
}

Bytes fmt_body(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
               std::uint16_t block_align) {
  Bytes f;
  put_le(f, tag, 2);
  put_le(f, channels, 2);
  put_le(f, rate, 4);
  put_le(f, rate * block_align, 4);
  put_le(f, block_align, 2);
  put_le(f, bits, 2);
  return f;
}

Bytes int_data(const std::vector<std::int32_t>& samples, int bytes) {
  Bytes d;
  for (auto s : samples) put_sample(d, s, bytes);
  return d;
}

// The recorder's integer layout: a 44-byte header with a 16-byte PCM fmt chunk.
Bytes pcm_wav(std::uint16_t channels, std::uint16_t bits, const std::vector<std::int32_t>& samples,
              std::uint32_t rate = 48000) {
  const int bytes = (bits + 7) / 8;
  Bytes chunks;
  put_chunk(chunks, "fmt ",
            fmt_body(1, channels, rate, bits, static_cast<std::uint16_t>(bytes * channels)));
  put_chunk(chunks, "data", int_data(samples, bytes));
  return riff(chunks);
}

// The recorder's float layout: 18-byte fmt chunk and a fact chunk, 58 bytes.
Bytes float_wav(std::uint16_t channels, const std::vector<float>& samples) {
  Bytes fmt = fmt_body(3, channels, 48000, 32, static_cast<std::uint16_t>(4 * channels));
  put_le(fmt, 0, 2);
  Bytes fact;
  put_le(fact, static_cast<std::uint32_t>(samples.size() / channels), 4);
  Bytes chunks;
  put_chunk(chunks, "fmt ", fmt);
  put_chunk(chunks, "fact", fact);
  Bytes data;
  for (float v : samples) put_le(data, std::bit_cast<std::uint32_t>(v), 4);
  put_chunk(chunks, "data", data);
  return riff(chunks);
}

Bytes extensible_wav(std::uint16_t channels, std::uint16_t container, std::uint16_t valid,
                     const Bytes& data) {
  Bytes fmt = fmt_body(0xFFFE, channels, 44100, container,
                       static_cast<std::uint16_t>(container / 8 * channels));
  put_le(fmt, 22, 2);
  put_le(fmt, valid, 2);
  put_le(fmt, 3, 4);
  const Bytes guid = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                      0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  fmt.insert(fmt.end(), guid.begin(), guid.end());
  Bytes chunks;
  put_chunk(chunks, "fmt ", fmt);
  put_chunk(chunks, "data", data);
  return riff(chunks);
}

std::int32_t sample_at(const Bytes& file, std::size_t offset, int bytes) {
  std::uint32_t u = 0;
  for (int i = 0; i < bytes; ++i) u |= std::uint32_t{file[offset + i]} << (8 * i);
  if (bytes == 1) return static_cast<std::int32_t>(u) - 128;
  const int unused = 32 - 8 * bytes;
  return static_cast<std::int32_t>(u << unused) >> unused;
}

std::vector<std::int32_t> int_samples(const Bytes& file, std::size_t header, int bytes) {
  std::vector<std::int32_t> out;
  for (std::size_t at = header; at + bytes <= file.size(); at += bytes)
    out.push_back(sample_at(file, at, bytes));
  return out;
}

std::vector<float> float_samples(const Bytes& file, std::size_t header) {
  std::vector<float> out;
  for (std::size_t at = header; at + 4 <= file.size(); at += 4)
    out.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(sample_at(file, at, 4))));
  return out;
}

auto u32_at(const Bytes& b, std::size_t at) {
  return std::uint32_t(sample_at(b, at, 4));
}

// What a call came to, readable in a failure message.
std::string outcome(const std::expected<bool, Error>& r) {
  if (!r) return "error: " + r.error().text;
  return *r ? "normalized" : "unchanged";
}

class NormalizeFile : public ::testing::Test {
 protected:
  ScratchDir dir;
  const fs::path path = dir / "x.wav";
};

// ---- Integer files ---------------------------------------------------------

TEST_F(NormalizeFile, ScalesA16BitFileToFullScaleTruncatingTowardZero) {
  write_bytes(path, pcm_wav(1, 16, {16384, -16384, 1000, 0, -1000}));

  ASSERT_EQ(outcome(normalize_file(path)), "normalized");
  const Bytes out = read_bytes<std::uint8_t>(path);
  ASSERT_EQ(out.size(), 44u + 10u);
  EXPECT_EQ(int_samples(out, 44, 2), (std::vector<std::int32_t>{32767, -32767, 1999, 0, -1999}));
  EXPECT_EQ(dir.names(), std::vector<std::string>{"x.wav"});
}

// A float file just above full scale counts as at full scale too; silent and
// empty files have nothing to scale.
TEST_F(NormalizeFile, LeavesFilesAtFullScaleOrSilentUntouched) {
  for (const Bytes& original : {pcm_wav(2, 16, {32767, 5, -7, 100}), pcm_wav(1, 16, {-32767, 1}),
                                pcm_wav(1, 16, {32740, 1}), pcm_wav(1, 16, {-32768, 1}),
                                float_wav(1, {1.0005f, -0.3f}), pcm_wav(2, 16, {0, 0, 0, 0}),
                                pcm_wav(1, 16, {}), float_wav(1, {0.0f, 1e-7f, -1e-7f, NaN})}) {
    write_bytes(path, original);
    ASSERT_EQ(outcome(normalize_file(path)), "unchanged");
    EXPECT_EQ(read_bytes<std::uint8_t>(path), original);
    EXPECT_EQ(dir.names(), std::vector<std::string>{"x.wav"});
  }
  EXPECT_LT(wav_peak(path).value_or(1.0f), SILENCE_THRESHOLD);
  // Just outside the tolerance.
  write_bytes(path, pcm_wav(1, 16, {32700, -100}));
  ASSERT_EQ(outcome(normalize_file(path)), "normalized");
  EXPECT_EQ(int_samples(read_bytes<std::uint8_t>(path), 44, 2),
            (std::vector<std::int32_t>{32767, -100}));
}

TEST_F(NormalizeFile, EightBitSamplesAreUnsignedAndScaledAgainst127) {
  // Stored bytes 192, 64, 160, 128.
  write_bytes(path, pcm_wav(1, 8, {64, -64, 32, 0, 1}));
  ASSERT_EQ(outcome(normalize_file(path)), "normalized");
  const Bytes out = read_bytes<std::uint8_t>(path);
  ASSERT_EQ(out.size(), 44u + 5u);  // odd data length, no pad byte
  EXPECT_EQ(u32_at(out, 40), 5u);
  EXPECT_EQ(u32_at(out, 4), 41u);
  EXPECT_EQ(Bytes(out.begin() + 44, out.end()), (Bytes{255, 1, 191, 128, 129}));

  // The lowest 8-bit value lies beyond full scale (128 / 127) and is pulled back.
  write_bytes(path, pcm_wav(1, 8, {-128, 127}));
  ASSERT_EQ(outcome(normalize_file(path)), "normalized");
  EXPECT_EQ(int_samples(read_bytes<std::uint8_t>(path), 44, 1),
            (std::vector<std::int32_t>{-127, 126}));
}

TEST_F(NormalizeFile, ThirtyTwoBitSamplesUseTwoToThe31AsFullScaleAndSaturate) {
  write_bytes(path, pcm_wav(1, 32, {1 << 30, -(1 << 30), 1000, -3}));
  EXPECT_EQ(wav_peak(path), 0.5f);
  ASSERT_EQ(outcome(normalize_file(path)), "normalized");
  const Bytes out = read_bytes<std::uint8_t>(path);
  ASSERT_EQ(out.size(), 68u + 16u);  // more than 16 bits: extensible header
  EXPECT_EQ(int_samples(out, 68, 4),
            (std::vector<std::int32_t>{2147483647, -2147483647 - 1, 2000, -6}));

  // The most negative sample is exactly full scale: nothing to do.
  write_bytes(path, pcm_wav(1, 32, {-2147483647 - 1, 12345}));
  EXPECT_EQ(wav_peak(path), 1.0f);
  EXPECT_EQ(outcome(normalize_file(path)), "unchanged");
}

TEST_F(NormalizeFile, ReadsTheValidBitsOfAnExtensibleFileWithAWiderContainer) {
  // 24 valid bits, left-justified in 32-bit containers.
  Bytes data;
  for (std::int32_t v : {4194304, -2097152, 1000}) put_sample(data, v * 256, 4);
  write_bytes(path, extensible_wav(1, 32, 24, data));
  EXPECT_EQ(wav_peak(path), 4194304.0f / 8388607.0f);
  ASSERT_EQ(outcome(normalize_file(path)), "normalized");
  const Bytes out = read_bytes<std::uint8_t>(path);
  ASSERT_EQ(out.size(), 68u + 9u);
  EXPECT_EQ(out[34], 24);  // container bits follow the valid bits: 3 bytes
  EXPECT_EQ(out[38], 24);
  const auto samples = int_samples(out, 68, 3);
  ASSERT_EQ(samples.size(), 3u);
  EXPECT_NEAR(samples[0], 8388607, 1);
  EXPECT_NEAR(samples[1], -4194303, 1);
  EXPECT_NEAR(samples[2], 2000, 1);
}

// A long file crosses many read and write buffers; 3-byte samples straddle
// the 8192-byte write buffer's edges.
TEST_F(NormalizeFile, StreamsLongFilesWithoutLosingOrShiftingSamples) {
  std::vector<std::int32_t> in;
  for (int i = 0; i < 3 * 40000; ++i) in.push_back(((i * 7919) % 8388608) - 4194304);
  write_bytes(path, pcm_wav(3, 24, in));
  ASSERT_EQ(outcome(normalize_file(path)), "normalized");
  const auto out = int_samples(read_bytes<std::uint8_t>(path), 68, 3);
  ASSERT_EQ(out.size(), in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    ASSERT_NEAR(out[i], 2.0 * in[i], 2.0) << "sample " << i;
  }

  // 32-bit samples with a peak of exactly one half double without rounding.
  std::vector<std::int32_t> exact;
  for (int i = 0; i < 50000; ++i) exact.push_back((i % 2 ? -1 : 1) * (i * 64 % (1 << 29)));
  exact.insert(exact.end(), {1 << 30, 0});
  write_bytes(path, pcm_wav(2, 32, exact));
  ASSERT_EQ(outcome(normalize_file(path)), "normalized");
  const auto doubled = int_samples(read_bytes<std::uint8_t>(path), 68, 4);
  ASSERT_EQ(doubled.size(), exact.size());
  for (std::size_t i = 0; i + 2 < exact.size(); ++i) ASSERT_EQ(doubled[i], 2 * exact[i]) << i;
  EXPECT_EQ(doubled[exact.size() - 2], 2147483647);
}

// ---- Float files -----------------------------------------------------------

TEST_F(NormalizeFile, ScalesAFloatFileByTheInverseOfItsPeak) {
  write_bytes(path, float_wav(2, {2.0f, -1.0f, 0.5f, -2.0f, NaN, 0.0f}));
  EXPECT_EQ(wav_peak(path), 2.0f);
  ASSERT_EQ(outcome(normalize_file(path)), "normalized");
  const Bytes out = read_bytes<std::uint8_t>(path);
  ASSERT_EQ(out.size(), 68u + 24u);
  auto s = float_samples(out, 68);
  ASSERT_EQ(s.size(), 6u);
  EXPECT_TRUE(std::isnan(s[4]));  // NaN stays NaN
  s[4] = 0.0f;
  EXPECT_EQ(s, (std::vector<float>{1.0f, -0.5f, 0.25f, -1.0f, 0.0f, 0.0f}));
}

// An infinite sample would make the gain 0 and silence the whole file; the
// peak is taken over the finite samples and infinities clamp to full scale.
TEST_F(NormalizeFile, InfiniteFloatSamplesDoNotSilenceTheFile) {
  write_bytes(path, float_wav(1, {0.25f, INF, -INF, -0.125f}));
  EXPECT_EQ(wav_peak(path), 0.25f);
  ASSERT_EQ(outcome(normalize_file(path)), "normalized");
  EXPECT_EQ(float_samples(read_bytes<std::uint8_t>(path), 68),
            (std::vector<float>{1.0f, 1.0f, -1.0f, -0.5f}));
}

// ---- Output header ---------------------------------------------------------

TEST_F(NormalizeFile, SixteenBitStereoGetsThe44ByteHeader) {
  write_bytes(path, pcm_wav(2, 16, {8000, -8000, 0, 100}, 44100));
  ASSERT_EQ(outcome(normalize_file(path)), "normalized");
  const Bytes out = read_bytes<std::uint8_t>(path);
  // clang-format off
  const Bytes header = {'R', 'I', 'F', 'F', 44, 0, 0, 0, 'W', 'A', 'V', 'E',
                        'f', 'm', 't', ' ', 16, 0, 0, 0,
                        1, 0, 2, 0,                 // PCM, 2 channels
                        0x44, 0xAC, 0, 0,           // 44100 Hz
                        0x10, 0xB1, 2, 0,           // 176400 bytes per second
                        4, 0, 16, 0,                // block align, bits
                        'd', 'a', 't', 'a', 8, 0, 0, 0};
  // clang-format on
  ASSERT_EQ(out.size(), 52u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 44), header);
}

TEST_F(NormalizeFile, TwentyFourBitStereoGetsThe68ByteExtensibleHeader) {
  write_bytes(path, pcm_wav(2, 24, {4194304, -4194304, 1, 2}));
  ASSERT_EQ(outcome(normalize_file(path)), "normalized");
  const Bytes out = read_bytes<std::uint8_t>(path);
  // clang-format off
  const Bytes header = {'R', 'I', 'F', 'F', 72, 0, 0, 0, 'W', 'A', 'V', 'E',
                        'f', 'm', 't', ' ', 40, 0, 0, 0,
                        0xFE, 0xFF, 2, 0,           // extensible, 2 channels
                        0x80, 0xBB, 0, 0,           // 48000 Hz
                        0x00, 0x65, 0x04, 0,        // 288000 bytes per second
                        6, 0, 24, 0,                // block align, container bits
                        22, 0, 24, 0,               // extension size, valid bits
                        3, 0, 0, 0,                 // channel mask
                        0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                        0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71,
                        'd', 'a', 't', 'a', 12, 0, 0, 0};
  // clang-format on
  ASSERT_EQ(out.size(), 80u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 68), header);
  const auto samples = int_samples(out, 68, 3);
  EXPECT_NEAR(samples[0], 8388607, 1);
  EXPECT_NEAR(samples[1], -8388607, 1);
}

TEST_F(NormalizeFile, FloatFilesGetThe68ByteExtensibleHeaderWithTheFloatSubFormat) {
  write_bytes(path, float_wav(2, {0.25f, -0.125f}));
  ASSERT_EQ(outcome(normalize_file(path)), "normalized");
  const Bytes out = read_bytes<std::uint8_t>(path);
  // clang-format off
  const Bytes header = {'R', 'I', 'F', 'F', 68, 0, 0, 0, 'W', 'A', 'V', 'E',
                        'f', 'm', 't', ' ', 40, 0, 0, 0,
                        0xFE, 0xFF, 2, 0,           // extensible, 2 channels
                        0x80, 0xBB, 0, 0,           // 48000 Hz
                        0x00, 0xDC, 0x05, 0,        // 384000 bytes per second
                        8, 0, 32, 0,                // block align, container bits
                        22, 0, 32, 0,               // extension size, valid bits
                        3, 0, 0, 0,                 // channel mask
                        0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                        0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71,
                        'd', 'a', 't', 'a', 8, 0, 0, 0};
  // clang-format on
  ASSERT_EQ(out.size(), 76u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 68), header);
  EXPECT_EQ(float_samples(out, 68), (std::vector<float>{1.0f, -0.5f}));
}

TEST_F(NormalizeFile, MoreThanTwoChannelsGetTheExtensibleHeaderWithAChannelMask) {
  write_bytes(path, pcm_wav(3, 16, {16384, 0, -1}));
  ASSERT_EQ(outcome(normalize_file(path)), "normalized");
  const Bytes out = read_bytes<std::uint8_t>(path);
  ASSERT_EQ(out.size(), 68u + 6u);
  EXPECT_EQ(u32_at(out, 4), 66u);
  EXPECT_EQ(out[20], 0xFE);
  EXPECT_EQ(out[32], 6);   // block align
  EXPECT_EQ(out[34], 16);  // container bits
  EXPECT_EQ(out[38], 16);  // valid bits
  EXPECT_EQ(u32_at(out, 40), 7u);
  EXPECT_EQ(out[44], 1);  // integer sub-format
  EXPECT_EQ(u32_at(out, 64), 6u);
  EXPECT_EQ(int_samples(out, 68, 2), (std::vector<std::int32_t>{32767, 0, -1}));
}

// Both layouts the recorder writes, byte for byte.
TEST_F(NormalizeFile, ReadsTheRecordersOwnLayouts) {
  // clang-format off
  const Bytes pcm = {'R', 'I', 'F', 'F', 44, 0, 0, 0, 'W', 'A', 'V', 'E',
                     'f', 'm', 't', ' ', 16, 0, 0, 0,
                     1, 0, 2, 0, 0x80, 0xBB, 0, 0, 0x00, 0xEE, 0x02, 0, 4, 0, 16, 0,
                     'd', 'a', 't', 'a', 8, 0, 0, 0,
                     0x00, 0x20, 0x00, 0xE0, 0x10, 0x00, 0xF0, 0xFF};  // 8192, -8192, 16, -16
  // clang-format on
  write_bytes(path, pcm);
  EXPECT_EQ(wav_peak(path), 8192.0f / 32767.0f);
  ASSERT_EQ(outcome(normalize_file(path)), "normalized");
  EXPECT_EQ(int_samples(read_bytes<std::uint8_t>(path), 44, 2),
            (std::vector<std::int32_t>{32767, -32767, 63, -63}));

  // clang-format off
  const Bytes flt = {'R', 'I', 'F', 'F', 58, 0, 0, 0, 'W', 'A', 'V', 'E',
                     'f', 'm', 't', ' ', 18, 0, 0, 0,
                     3, 0, 2, 0, 0x80, 0xBB, 0, 0, 0x00, 0xDC, 0x05, 0, 8, 0, 32, 0, 0, 0,
                     'f', 'a', 'c', 't', 4, 0, 0, 0, 1, 0, 0, 0,
                     'd', 'a', 't', 'a', 8, 0, 0, 0,
                     0x00, 0x00, 0x80, 0x3E, 0x00, 0x00, 0x00, 0xBE};  // 0.25, -0.125
  // clang-format on
  write_bytes(path, flt);
  EXPECT_EQ(wav_peak(path), 0.25f);
  ASSERT_EQ(outcome(normalize_file(path)), "normalized");
  const Bytes out = read_bytes<std::uint8_t>(path);
  ASSERT_EQ(out.size(), 68u + 8u);
  EXPECT_EQ(out[44], 3);  // float sub-format
  EXPECT_EQ(float_samples(out, 68), (std::vector<float>{1.0f, -0.5f}));
}

TEST_F(NormalizeFile, SkipsUnknownChunksAroundFmtAndData) {
  Bytes chunks;
  put_chunk(chunks, "LIST", Bytes{'I', 'N', 'F', 'O', 'x'});  // odd size: one pad byte follows
  chunks.push_back(0);
  put_chunk(chunks, "fmt ", fmt_body(1, 1, 8000, 16, 2));
  put_chunk(chunks, "data", int_data({100, -50}, 2));
  put_chunk(chunks, "junk", Bytes(10, 0xEE));
  write_bytes(path, riff(chunks));
  ASSERT_EQ(outcome(normalize_file(path)), "normalized");
  const Bytes out = read_bytes<std::uint8_t>(path);
  ASSERT_EQ(out.size(), 48u);
  EXPECT_EQ(int_samples(out, 44, 2), (std::vector<std::int32_t>{32767, -16383}));
}

// libsndfile's own chunk parser never returns from this file (a LIST chunk
// claiming 67 KiB of 0xFF bytes); only the checked fmt and data chunks may
// reach it.
TEST_F(NormalizeFile, IsNotHeldUpByAMalformedListChunk) {
  Bytes chunks;
  put_chunk(chunks, "fmt ", fmt_body(1, 1, 8000, 16, 2));
  put_chunk(chunks, "data", int_data({16384, -16384}, 2));
  put_tag(chunks, "LIST");
  put_le(chunks, 0x10846, 4);
  chunks.insert(chunks.end(), 76, 0xFF);
  chunks.insert(chunks.end(), {0xBF, 0xFF, 0xFF, 0xFF});
  write_bytes(path, riff(chunks));
  EXPECT_EQ(wav_peak(path), 16384.0f / 32767.0f);
  ASSERT_EQ(outcome(normalize_file(path)), "normalized");
  EXPECT_EQ(int_samples(read_bytes<std::uint8_t>(path), 44, 2),
            (std::vector<std::int32_t>{32767, -32767}));
}

// ---- Temporary file --------------------------------------------------------

TEST_F(NormalizeFile, WritesThroughTheInputPathWithExtensionWavTmp) {
  const std::pair<const char*, const char*> cases[] = {
      {"x.wav", "x.wav.tmp"}, {"x", "x.wav.tmp"}, {"take.one.WAV", "take.one.wav.tmp"}};
  for (const auto& [name, temp_name] : cases) {
    SCOPED_TRACE(name);
    ScratchDir case_dir;
    const auto input = case_dir / name;
    const auto temp = case_dir / temp_name;
    const Bytes original = pcm_wav(1, 16, {100, 200});
    write_bytes(input, original);
    // A directory in the way of the temporary file makes creating it fail.
    fs::create_directory(temp);
    auto r = normalize_file(input);
    ASSERT_FALSE(r.has_value());
    EXPECT_NE(r.error().text.find("(os error "), std::string::npos) << r.error().text;
    EXPECT_EQ(read_bytes<std::uint8_t>(input), original);
    EXPECT_TRUE(fs::is_directory(temp));

    fs::remove(temp);
    ASSERT_EQ(outcome(normalize_file(input)), "normalized");
    EXPECT_EQ(case_dir.names(), std::vector<std::string>{name});
  }
}

TEST_F(NormalizeFile, ReplacesAStaleTemporaryFile) {
  write_bytes(path, pcm_wav(1, 16, {100, 200}));
  write_bytes(dir / "x.wav.tmp", Bytes(100000, 0x55));
  ASSERT_EQ(outcome(normalize_file(path)), "normalized");
  EXPECT_EQ(read_bytes<std::uint8_t>(path).size(), 48u);
  EXPECT_EQ(dir.names(), std::vector<std::string>{"x.wav"});
}

// ---- Rejected input --------------------------------------------------------

struct BadInput {
  const char* what;
  Bytes bytes;
  std::string error;  // the whole text, or a prefix when it ends with "..."
};

std::vector<BadInput> bad_inputs() {
  const Bytes good = pcm_wav(1, 16, {1000, -1000, 5, 6});
  auto patched = [&](std::size_t at, std::uint32_t value, int bytes) {
    Bytes b = good;
    for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    return b;
  };
  const Bytes
      aiff = {'F', 'O', 'R',  'M',  0,    0,    0,  46, 'A', 'I', 'F', 'F', 'C',
              'O', 'M', 'M',  0,    0,    0,    18, 0,  1,   0,   0,   0,   2,
              0,   16,  0x40, 0x0E, 0xAC, 0x44, 0,  0,  0,   0,   0,   0,  // 44100 Hz, 80-bit float
              'S', 'S', 'N',  'D',  0,    0,    0,  12, 0,   0,   0,   0,   0,
              0,   0,   0,    1,    2,    3,    4};
  Bytes list_absurd;
  put_chunk(list_absurd, "LIST", Bytes{1, 2, 3, 4});
  list_absurd[7] = 0x7F;  // claims about 2 GiB
  list_absurd.insert(list_absurd.end(), good.begin() + 12, good.end());
  Bytes f64;
  put_chunk(f64, "fmt ", fmt_body(3, 1, 8000, 64, 8));
  put_chunk(f64, "data", Bytes(16, 0));
  Bytes alaw;
  put_chunk(alaw, "fmt ", fmt_body(6, 1, 8000, 8, 1));
  put_chunk(alaw, "data", Bytes(4, 0x55));
  Bytes only_fmt;
  put_chunk(only_fmt, "fmt ", fmt_body(1, 1, 8000, 16, 2));

  return {
      {"empty file", {}, "Ill-formed WAVE file: no RIFF tag found"},
      {"AIFF file", aiff, "Ill-formed WAVE file: no RIFF tag found"},
      {"RIFX tag", patched(0, 0x58464952, 4), "Ill-formed WAVE file: no RIFF tag found"},
      {"wrong form type", patched(8, 0x45564157 + 1, 4), "Ill-formed WAVE file: no WAVE tag found"},
      {"header cut inside fmt", Bytes(good.begin(), good.begin() + 30),
       "Ill-formed WAVE file: the file ends inside the fmt chunk"},
      {"header cut before data", Bytes(good.begin(), good.begin() + 36),
       "Ill-formed WAVE file: missing data chunk"},
      {"data cut off", Bytes(good.begin(), good.end() - 3),
       "Ill-formed WAVE file: the data chunk is cut off (5 of 8 bytes present)"},
      {"absurd data size", patched(40, 0xFFFFFFF0, 4),
       "Ill-formed WAVE file: the data chunk is cut off..."},
      {"absurd chunk before fmt", riff(list_absurd), "Ill-formed WAVE file: missing fmt chunk"},
      {"no fmt chunk", riff({'d', 'a', 't', 'a', 0, 0, 0, 0}),
       "Ill-formed WAVE file: missing fmt chunk"},
      {"fmt chunk too short", patched(16, 14, 4), "Ill-formed WAVE file: fmt chunk is too short"},
      {"zero channels", patched(22, 0, 2), "Ill-formed WAVE file: channel count is 0"},
      {"zero sample rate", patched(24, 0, 4), "Ill-formed WAVE file: sample rate is 0"},
      {"byte rate beyond 32 bits", patched(24, 0xF0000000, 4),
       "Unsupported WAVE format: 1 channel(s) at 4026531840 Hz do not fit a WAVE header"},
      {"12-bit samples", patched(34, 12, 2), "Unsupported bit depth: 12"},
      {"20-bit samples", patched(34, 20, 2), "Unsupported bit depth: 20"},
      {"12 valid bits in 16", extensible_wav(1, 16, 12, Bytes(8, 0)), "Unsupported bit depth: 12"},
      {"64-bit float", riff(f64), "Unsupported bit depth: 64"},
      {"A-law", riff(alaw), "Unsupported WAVE format: format tag 0x0006"},
      {"block align too wide", patched(32, 4, 2),
       "Ill-formed WAVE file: block align 4 does not fit..."},
      {"only a fmt chunk", riff(only_fmt), "Ill-formed WAVE file: missing data chunk"},
  };
}

void expect_error(const std::expected<bool, Error>& r, const std::string& expected) {
  ASSERT_FALSE(r.has_value());
  if (expected.ends_with("...")) {
    EXPECT_TRUE(r.error().text.starts_with(expected.substr(0, expected.size() - 3)))
        << r.error().text;
  } else {
    EXPECT_EQ(r.error().text, expected);
  }
}

TEST_F(NormalizeFile, RejectsMalformedAndUnsupportedFilesWithoutTouchingThem) {
  for (const auto& bad : bad_inputs()) {
    SCOPED_TRACE(bad.what);
    write_bytes(path, bad.bytes);
    expect_error(normalize_file(path), bad.error);
    EXPECT_EQ(read_bytes<std::uint8_t>(path), bad.bytes);
    EXPECT_EQ(dir.names(), std::vector<std::string>{"x.wav"});
    EXPECT_EQ(wav_peak(path), std::nullopt);
  }
}

TEST_F(NormalizeFile, ReportsSystemErrorsForMissingFilesAndDirectories) {
  for (const auto& target : {path, dir.path()}) {
    auto r = normalize_file(target);
    ASSERT_FALSE(r.has_value());
    EXPECT_NE(r.error().text.find("(os error "), std::string::npos) << r.error().text;
    EXPECT_NE(r.error().os_code, 0);
    EXPECT_EQ(wav_peak(target), std::nullopt);
  }
  EXPECT_TRUE(dir.names().empty());
}

// ---- wav_peak --------------------------------------------------------------

using WavPeak = NormalizeFile;

TEST_F(WavPeak, IsAFractionOfFullScaleForEveryDepth) {
  write_bytes(path, pcm_wav(2, 16, {16384, -3, 0, 2}));
  EXPECT_EQ(wav_peak(path), 16384.0f / 32767.0f);
  write_bytes(path, pcm_wav(1, 24, {-8388608, 3}));
  EXPECT_EQ(wav_peak(path), 8388608.0f / 8388607.0f);
  write_bytes(path, pcm_wav(1, 8, {-128, 0}));
  EXPECT_EQ(wav_peak(path), 128.0f / 127.0f);
  write_bytes(path, float_wav(2, {0.3f, -0.4f, NaN, 0.1f}));
  EXPECT_EQ(wav_peak(path), 0.4f);
  write_bytes(path, pcm_wav(1, 16, {}));
  EXPECT_EQ(wav_peak(path), 0.0f);
}

}  // namespace
}  // namespace quillbox
