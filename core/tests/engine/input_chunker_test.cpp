#include "engine/input_chunker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "engine/capture.h"

namespace quillbox {
namespace {

using std::chrono::milliseconds;

std::vector<std::size_t> chunk_sizes(AudioBuf& buf) {
  std::vector<std::size_t> sizes;
  for (const auto& chunk : buf.take_all()) sizes.push_back(chunk.size());
  return sizes;
}

TEST(InputChunker, ChunkIsFiveMillisecondsOfWholeFrames) {
  EXPECT_EQ(input_chunk_samples(48000, 2), 480u);
  EXPECT_EQ(input_chunk_samples(44100, 1), 220u);
  EXPECT_EQ(input_chunk_samples(44100, 2), 440u);  // not 441: frames first
}

TEST(InputChunker, PushesWholeBuffersOnceFiveMillisecondsAreGatheredStampedByTheirFirstBuffer) {
  const std::vector<float> ten_ms(960, 0.25f);
  const std::vector<float> two_ms(192, 0.5f);
  auto buf = std::make_shared<AudioBuf>();
  InputChunker chunker(buf, 48000, 2);
  const CaptureTime t0{milliseconds(1000)};

  for (int i = 0; i < 3; ++i)
    chunker.accept(ten_ms.data(), ten_ms.size(), t0 + milliseconds(10 * i));
  const auto whole = buf->take_all();
  ASSERT_EQ(whole.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(whole[i].size(), 960u);
    EXPECT_EQ(whole[i].time, t0 + milliseconds(10 * i));
  }

  for (int i = 0; i < 6; ++i) {
    chunker.accept(two_ms.data(), two_ms.size(), t0 + milliseconds(30 + 2 * i));
    const auto taken = buf->take_all();
    ASSERT_EQ(taken.size(), i % 3 == 2 ? 1u : 0u) << "buffer " << i;
    // Three 2 ms buffers make one chunk of 576 samples, timed by the first.
    if (!taken.empty()) {
      EXPECT_EQ(taken[0].size(), 576u);
      EXPECT_EQ(taken[0].time, t0 + milliseconds(30 + 2 * (i - 2)));
    }
  }
  chunker.accept(two_ms.data(), two_ms.size(), t0 + milliseconds(50));
  chunker.finish();
  const auto last = buf->take_all();
  ASSERT_EQ(last.size(), 1u);
  EXPECT_EQ(last[0].samples, std::vector<float>(192, 0.5f));
  EXPECT_EQ(last[0].time, t0 + milliseconds(50));
}

TEST(InputChunker, StopAcceptingKeepsOnlyWhatCameBefore) {
  const std::vector<float> samples(100, 0.125f);
  auto buf = std::make_shared<AudioBuf>();
  InputChunker chunker(buf, 48000, 2);
  chunker.accept(samples.data(), samples.size(), {});
  chunker.stop_accepting();
  // Enough to fill a chunk had they been taken.
  for (int i = 0; i < 5; ++i) chunker.accept(samples.data(), samples.size(), {});
  EXPECT_TRUE(buf->take_all().empty());
  chunker.finish();
  EXPECT_EQ(chunk_sizes(*buf), (std::vector<std::size_t>{100}));
  chunker.finish();
  EXPECT_TRUE(buf->take_all().empty());
}

// Every device sample format lands as the documented float, integers unclamped.
TEST(SampleConversion, EachFormatMapsItsExtremesAndMidpoint) {
  auto one = [](SampleFormat f, auto v) {
    float out = 0;
    convert_samples(f, &v, 1, &out);
    return out;
  };
  EXPECT_FLOAT_EQ(one(SampleFormat::I16, std::int16_t{-32768}), -32768.0f / 32767.0f);
  EXPECT_FLOAT_EQ(one(SampleFormat::I16, std::int16_t{32767}), 1.0f);
  EXPECT_FLOAT_EQ(one(SampleFormat::I32, std::numeric_limits<std::int32_t>::min()), -1.0f);
  EXPECT_FLOAT_EQ(one(SampleFormat::I24, std::int32_t{0x40000000}), 0.5f);
  EXPECT_FLOAT_EQ(one(SampleFormat::U8, std::uint8_t{128}), 0.0f);
  EXPECT_FLOAT_EQ(one(SampleFormat::U8, std::uint8_t{0}), -128.0f / 127.5f);
  EXPECT_FLOAT_EQ(one(SampleFormat::U16, std::uint16_t{0}), -32768.0f / 32767.5f);
  EXPECT_FLOAT_EQ(one(SampleFormat::F32, 1.5f), 1.0f);
  EXPECT_FLOAT_EQ(one(SampleFormat::F32, -3.0f), -1.0f);
  EXPECT_TRUE(std::isnan(one(SampleFormat::F32, std::numeric_limits<float>::quiet_NaN())));

  // Through the chunker, 16-bit buffers arrive converted.
  auto buf = std::make_shared<AudioBuf>();
  InputChunker chunker(buf, 1000, 1);  // 5 samples make a chunk
  const std::int16_t pcm[5] = {0, 32767, -32767, 16384, 0};
  chunker.accept(SampleFormat::I16, pcm, 5, {});
  const auto taken = buf->take_all();
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_FLOAT_EQ(taken[0].samples[1], 1.0f);
  EXPECT_FLOAT_EQ(taken[0].samples[2], -1.0f);
}

TEST(AudioBufFailure, FirstLineWinsIsHandedOutOnceAndLaterChunksAreRefused) {
  AudioBuf buf;
  buf.push(Chunk{{0.1f}, {}});
  EXPECT_FALSE(take_capture_failure(buf));
  buf.fail("Mic stream error: gone");
  buf.fail("Mic stream error: again");
  buf.push(Chunk{{0.2f}, {}});
  EXPECT_TRUE(buf.failed());
  EXPECT_EQ(buf.take_all().size(), 1u);  // what came before the failure stays
  EXPECT_EQ(take_capture_failure(buf), "Mic stream error: gone");
  EXPECT_FALSE(take_capture_failure(buf));
}

}  // namespace
}  // namespace quillbox
