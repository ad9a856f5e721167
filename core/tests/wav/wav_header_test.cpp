#include "wav/wav_header.h"

#include <gtest/gtest.h>

#include "base/file.h"
#include "test_support.h"

namespace quillbox {
namespace {

using namespace test_support;

constexpr AudioFormat STEREO_48K_16{48000, 2, 16, false};
constexpr AudioFormat STEREO_44K_FLOAT{44100, 2, 32, true};

std::vector<std::byte> header_bytes(const AudioFormat& spec, std::uint32_t data_length) {
  const WavHeader h = build_header(spec, data_length);
  return {h.view().begin(), h.view().end()};
}

// clang-format off
TEST(BuildHeader, IntegerPlaceholderIsTheExact44BytePcmHeader) {
  EXPECT_EQ(header_bytes(STEREO_48K_16, 0),
            bytes_of({'R', 'I', 'F', 'F',  36, 0, 0, 0,  'W', 'A', 'V', 'E',
                      'f', 'm', 't', ' ',  16, 0, 0, 0,
                      1, 0,                    // PCM
                      2, 0,                    // channels
                      0x80, 0xBB, 0, 0,        // 48000 Hz
                      0x00, 0xEE, 0x02, 0x00,  // 192000 bytes/s
                      4, 0,  16, 0,            // block align, bits
                      'd', 'a', 't', 'a',  0, 0, 0, 0}));
}

TEST(BuildHeader, FloatHeaderHasAFactChunkCountingFrames) {
  // 800 bytes of stereo float are 100 frames.
  EXPECT_EQ(header_bytes(STEREO_44K_FLOAT, 800),
            bytes_of({'R', 'I', 'F', 'F',  0x52, 0x03, 0, 0,  'W', 'A', 'V', 'E',
                      'f', 'm', 't', ' ',  18, 0, 0, 0,
                      3, 0,                    // IEEE float
                      2, 0,                    // channels
                      0x44, 0xAC, 0, 0,        // 44100 Hz
                      0x20, 0x62, 0x05, 0,     // 352800 bytes/s
                      8, 0,  32, 0,            // block align, bits
                      0, 0,                    // extension size
                      'f', 'a', 'c', 't',  4, 0, 0, 0,  100, 0, 0, 0,
                      'd', 'a', 't', 'a',  0x20, 0x03, 0, 0}));
}
// clang-format on

TEST(BuildHeader, FieldsFollowTheFormat) {
  // Integer files always use the plain PCM chunk, also for 24 bits and six channels.
  const auto pcm = header_bytes({96000, 6, 24, false}, 1800);
  ASSERT_EQ(pcm.size(), INT_HEADER_SIZE);
  EXPECT_EQ(le32(pcm, 4), 1836u);
  EXPECT_EQ(le16(pcm, 20), 1);
  EXPECT_EQ(le32(pcm, 28), 96000u * 18);
  EXPECT_EQ(le16(pcm, 32), 18);
  EXPECT_EQ(le16(pcm, 34), 24);
  EXPECT_EQ(le32(pcm, 40), 1800u);

  // A float file is 32 bits whatever bits_per_sample says; placeholder values.
  const auto flt = header_bytes({48000, 1, 16, true}, 0);
  ASSERT_EQ(flt.size(), FLOAT_HEADER_SIZE);
  EXPECT_EQ(le32(flt, 4), 50u);
  EXPECT_EQ(le16(flt, 32), 4);
  EXPECT_EQ(le16(flt, 34), 32);
  EXPECT_EQ(le32(flt, 46), 0u);
  EXPECT_EQ(le32(flt, 54), 0u);
}

TEST(BuildHeader, AbsurdFieldsFromForeignHeadersNeitherCrashNorDivideByZero) {
  // No channels: block align 0, so no frames.
  EXPECT_EQ(le32(header_bytes({48000, 0, 32, true}, 800), 46), 0u);
  // 16384 float channels make a block align of 65536, which the field holds as 0.
  const auto wrapped = header_bytes({48000, 16384, 32, true}, 800);
  EXPECT_EQ(le16(wrapped, 32), 0);
  EXPECT_EQ(le32(wrapped, 46), 0u);
  // Largest values everywhere: fields wrap, nothing traps.
  const auto huge = header_bytes({0xFFFFFFFF, 0xFFFF, 0xFFFF, false}, 0xFFFFFFFF);
  EXPECT_EQ(le16(huge, 32), static_cast<std::uint16_t>(0xFFFFu * (0xFFFFu / 8)));
  EXPECT_EQ(le16(header_bytes({48000, 2, 0, false}, 10), 32), 0);
}

TEST(BuildHeader, RiffSizeSaturatesInsteadOfWrapping) {
  EXPECT_EQ(le32(header_bytes(STEREO_48K_16, 0xFFFFFFFF - 36), 4), 0xFFFFFFFFu);
  EXPECT_EQ(le32(header_bytes(STEREO_48K_16, 0xFFFFFFF0), 4), 0xFFFFFFFFu);
  EXPECT_EQ(le32(header_bytes(STEREO_44K_FLOAT, 0xFFFFFFFF), 4), 0xFFFFFFFFu);
  EXPECT_EQ(le32(header_bytes(STEREO_44K_FLOAT, 0xFFFFFFFF), 54), 0xFFFFFFFFu);
}

// The header is rebuilt from the file's length and the data kept. After a
// failed flush the writer's buffer still holds samples that belong after the
// data, so whatever is written after a patch must land at the end; a file
// shorter than the header gets data length zero.
TEST(PatchHeader, RebuildsTheHeaderFromTheLengthKeepsTheDataAndAppendsAtTheEnd) {
  ScratchDir dir;
  const struct {
    std::size_t size;
    AudioFormat spec;
    std::uint32_t data_length;
  } cases[] = {
      {100, STEREO_48K_16, 56}, {30, STEREO_48K_16, 0}, {58 + 8000, STEREO_44K_FLOAT, 8000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    const auto path = dir / "f.recpart";
    const auto original = pattern(c.size);
    write_bytes(path, original);
    auto file = File::open_existing(path);
    ASSERT_TRUE(file.has_value());
    ASSERT_TRUE(patch_header(*file, c.spec).has_value());
    const auto tail = bytes_of({1, 2, 3});
    ASSERT_TRUE(write_all(*file, tail).has_value());
    file->close();

    const auto bytes = read_bytes(path);
    const std::size_t h = header_size(c.spec);
    const std::size_t end = std::max(c.size, h);
    ASSERT_EQ(bytes.size(), end + 3);
    EXPECT_TRUE(
        std::ranges::equal(std::span(bytes).first(h), build_header(c.spec, c.data_length).view()));
    if (c.size > h) {
      EXPECT_TRUE(std::equal(original.begin() + static_cast<std::ptrdiff_t>(h), original.end(),
                             bytes.begin() + static_cast<std::ptrdiff_t>(h)));
    }
    EXPECT_TRUE(std::ranges::equal(std::span(bytes).last(3), tail));
  }
}

TEST(PatchHeader, DataBeyondFourGigabytesSaturatesTheLengths) {
#ifdef _WIN32
  GTEST_SKIP() << "needs a sparse 5 GB file, which only the Linux build makes cheaply";
#else
  ScratchDir dir;
  const auto path = dir / "big.recpart";
  {
    auto file = File::create(path);
    ASSERT_TRUE(file.has_value());
    ASSERT_TRUE(file->seek(5'000'000'000).has_value());
    ASSERT_TRUE(write_all(*file, bytes_of({7})).has_value());
    ASSERT_TRUE(patch_header(*file, STEREO_44K_FLOAT).has_value());
  }
  auto file = File::open_read(path);
  ASSERT_TRUE(file.has_value());
  std::vector<std::byte> head(FLOAT_HEADER_SIZE);
  ASSERT_TRUE(read_exact(*file, head).has_value());
  EXPECT_EQ(le32(head, 4), 0xFFFFFFFFu);
  // Whole frames of 8 bytes.
  EXPECT_EQ(le32(head, 54), 0xFFFFFFF8u);
  EXPECT_EQ(le32(head, 46), 0xFFFFFFFFu / 8);
  EXPECT_EQ(*file->length(), 5'000'000'001u);
#endif
}

}  // namespace
}  // namespace quillbox
