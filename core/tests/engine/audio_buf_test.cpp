#include "engine/audio_buf.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace quillbox {
namespace {

Chunk chunk_of(float value, std::size_t length = 1) {
  return Chunk{std::vector<float>(length, value), {}};
}

TEST(AudioBuf, KeepsTheOldestChunksWhenFullAndAcceptsAgainAfterTakeAll) {
  AudioBuf buf;
  for (std::size_t i = 0; i < MAX_QUEUED_CHUNKS + 1; ++i) buf.push(chunk_of(float(i)));
  auto taken = buf.take_all();
  ASSERT_EQ(taken.size(), MAX_QUEUED_CHUNKS);
  for (std::size_t i = 0; i < taken.size(); ++i) ASSERT_EQ(taken[i].samples[0], float(i));

  EXPECT_TRUE(buf.take_all().empty());
  buf.push(chunk_of(7.0f));
  ASSERT_EQ(buf.take_all().size(), 1u);
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
// chunk arrives exactly once and in order. The producer never runs more than
// a full queue ahead, so nothing is dropped by the limit.
TEST(AudioBuf, ConcurrentPushAndTakeNeitherLoseNorDuplicate) {
  constexpr int COUNT = 200000;
  AudioBuf buf;
  std::atomic<bool> done{false};
  std::atomic<int> consumed{0};
  std::thread producer([&] {
    for (int i = 0; i < COUNT; ++i) {
      while (i - consumed.load() >= int(MAX_QUEUED_CHUNKS) - 1) std::this_thread::yield();
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
