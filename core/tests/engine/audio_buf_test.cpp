#include "engine/audio_buf.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace quillbox {
namespace {

Chunk chunk_of(float value, std::size_t length = 1) {
  return Chunk{std::vector<float>(length, value), {}};
}

// 48 kHz stereo chunks of `frames` frames, numbered by their first sample,
// captured one after another from `start`.
void push_run(AudioBuf& buf, std::size_t frames, std::size_t count, CaptureTime start,
              std::size_t first = 0) {
  const auto length = std::chrono::nanoseconds(frames * 1'000'000'000 / 48000);
  for (std::size_t i = first; i < first + count; ++i)
    buf.push(Chunk{std::vector<float>(frames * 2, float(i)), start + length * i});
}

// However small or large its chunks, a buffer holds 40 s of audio at its
// format. Once full it keeps the oldest chunks and refuses the newest until
// they are taken, and counts what it refused as one stretch from the first
// refused chunk's capture time; afterwards it accepts again, and a second
// overflow is a second stretch.
TEST(AudioBuf, HoldsFortySecondsWhateverTheChunkSizeAndCountsWhatItDrops) {
  using namespace std::chrono_literals;
  const CaptureTime t0 = CaptureTime{} + 1h;
  for (std::size_t frames : {48, 240, 480, 4800}) {  // 1, 5, 10 and 100 ms
    SCOPED_TRACE(frames);
    AudioBuf buf(48000, 2);
    const auto length = std::chrono::nanoseconds(frames * 1'000'000'000 / 48000);
    const std::size_t fit = 40s / length;
    push_run(buf, frames, 60s / length, t0);
    auto taken = buf.take_all();
    ASSERT_EQ(taken.size(), fit);
    for (std::size_t i = 0; i < taken.size(); ++i) ASSERT_EQ(taken[i].samples[0], float(i));
    EXPECT_EQ(buf.dropped(), (std::vector<DroppedAudio>{{t0 + 40s, 20s}}));

    EXPECT_TRUE(buf.take_all().empty());
    push_run(buf, frames, 1, t0 + 60s);
    ASSERT_EQ(buf.take_all().size(), 1u);
    push_run(buf, frames, 50s / length, t0 + 70s);
    EXPECT_EQ(buf.dropped(), (std::vector<DroppedAudio>{{t0 + 40s, 20s}, {t0 + 110s, 10s}}));
  }
}

// A capture of another format bounds the buffer by its own rate and
// channels: what is queued stays, and chunks beyond the new bound are
// refused until it is taken, timed at the new format.
TEST(AudioBuf, FollowsAFormatChangeWithoutLosingWhatIsQueued) {
  using namespace std::chrono_literals;
  const CaptureTime t0 = CaptureTime{} + 1h;
  AudioBuf buf(48000, 2);
  push_run(buf, 480, 3000, t0);  // 30 s
  buf.set_format(8000, 1);       // 40 s is now a tenth of those samples
  buf.push(Chunk{std::vector<float>(80, 0.5f), t0 + 30s});
  EXPECT_EQ(buf.take_all().size(), 3000u);
  EXPECT_EQ(buf.dropped(), (std::vector<DroppedAudio>{{t0 + 30s, 10ms}}));

  for (int i = 0; i < 4001; ++i) buf.push(Chunk{std::vector<float>(80, 0.5f), t0 + 40s + i * 10ms});
  EXPECT_EQ(buf.take_all().size(), 4000u);
  EXPECT_EQ(buf.dropped().back(), (DroppedAudio{t0 + 80s, 10ms}));
}

// A failed capture's chunks are refused (not counted as lost to a full
// buffer) and its failure is handed out once; a capture started afterwards
// into the same buffer is accepted again.
TEST(AudioBuf, AFailureRefusesItsCaptureUntilANewOneStarts) {
  AudioBuf buf;
  buf.push(chunk_of(1.0f));
  buf.fail("Mic stream error: Connection terminated");
  buf.push(chunk_of(2.0f));
  EXPECT_TRUE(buf.failed());
  EXPECT_EQ(buf.take_all().size(), 1u);
  EXPECT_TRUE(buf.dropped().empty());
  buf.fail("a second report of the same capture");
  ASSERT_TRUE(buf.take_failure().has_value());
  EXPECT_FALSE(buf.take_failure().has_value());

  buf.restart();
  EXPECT_FALSE(buf.failed());
  buf.push(chunk_of(3.0f));
  EXPECT_EQ(buf.take_all().size(), 1u);
  EXPECT_EQ(buf.failure_line(), "Mic stream error: Connection terminated");
  buf.fail("Mic stream error: Device unplugged");
  EXPECT_EQ(buf.take_failure()->line, "Mic stream error: Device unplugged");
}

TEST(AudioBuf, ChunksOfDifferentLengthsComeOutAsTheyWentIn) {
  AudioBuf buf;
  buf.push(Chunk{{0.5f, -0.5f, 1.0f}, {}});
  buf.push(Chunk{});
  buf.push(Chunk{{0.25f}, {}});
  const auto taken = buf.take_all();
  ASSERT_EQ(taken.size(), 3u);
  EXPECT_EQ(taken[0].samples, (std::vector<float>{0.5f, -0.5f, 1.0f}));
  EXPECT_TRUE(taken[1].empty());
  EXPECT_EQ(taken[2].samples, (std::vector<float>{0.25f}));
}

// One producer pushes numbered chunks while a consumer keeps taking: every
// chunk arrives exactly once and in order. The producer never runs far
// ahead, so nothing is dropped by the limit.
TEST(AudioBuf, ConcurrentPushAndTakeNeitherLoseNorDuplicate) {
  constexpr int COUNT = 200000;
  AudioBuf buf;
  std::atomic<bool> done{false};
  std::atomic<int> consumed{0};
  std::thread producer([&] {
    for (int i = 0; i < COUNT; ++i) {
      while (i - consumed.load() >= 4000) std::this_thread::yield();
      buf.push(chunk_of(float(i), 2));
    }
    done = true;
  });
  int expected = 0;
  bool ordered = true;
  while (expected < COUNT) {
    const bool finished = done.load();
    for (const auto& c : buf.take_all()) {
      if (c.size() != 2 || c.samples[0] != float(expected)) ordered = false;
      ++expected;
    }
    consumed = expected;
    if (finished && expected < COUNT) {
      // Everything pushed before `done` is visible to this final take.
      for (const auto& c : buf.take_all()) {
        if (c.samples[0] != float(expected)) ordered = false;
        ++expected;
      }
      break;
    }
  }
  producer.join();
  EXPECT_TRUE(ordered);
  EXPECT_EQ(expected, COUNT);
  EXPECT_TRUE(buf.take_all().empty());
}

}  // namespace
}  // namespace quillbox
