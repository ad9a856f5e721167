#include "engine/source_lane.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

namespace quillbox {
namespace {

AudioFormat session(std::uint32_t rate, std::uint16_t channels) {
  return AudioFormat{rate, channels, 32, true};
}

std::vector<float> contents(const SampleQueue& q) {
  const auto s = q.front(q.size());
  return {s.begin(), s.end()};
}

TEST(SampleQueue, InterleavedAppendAndPopKeepOrderAcrossCompaction) {
  SampleQueue q;
  float next_in = 0.0f;
  float next_out = 0.0f;
  for (int round = 0; round < 200; ++round) {
    std::vector<float> block(round % 3 == 0 ? 11 : 5);
    for (float& v : block) v = next_in++;
    q.append(block);
    const std::size_t n = std::min<std::size_t>(q.size(), 7);
    const auto front = q.front(n);
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(front[i], next_out + float(i));
    q.pop(n);
    next_out += float(n);
    ASSERT_EQ(q.size(), std::size_t(next_in - next_out));
  }
  q.pop(q.size());
  EXPECT_TRUE(q.empty());
  q.append(std::vector<float>{1.0f, 2.0f});
  EXPECT_EQ(contents(q), (std::vector<float>{1.0f, 2.0f}));
}

TEST(ChannelMapping, EveryPairOfCounts) {
  struct Case {
    std::uint16_t from, to;
    std::vector<float> in, out;
  };
  const Case cases[] = {
      {1, 2, {0.25f, -1.5f}, {0.25f, 0.25f, -1.5f, -1.5f}},
      {2, 1, {0.25f, 0.75f, 1.5f, 2.5f}, {0.5f, 2.0f}},  // no clipping
      {2, 1, {1.0f, 3.0f, 5.0f}, {2.0f}},                // partial frame dropped
      {3, 1, {1.0f, 2.0f, 6.0f}, {3.0f}},
      {6, 1, {1, 2, 3, 4, 5, 6}, {3.5f}},
      {6, 2, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}, {1, 2, 7, 8}},
      {2, 4, {1, 2, 3, 4}, {1, 2, 0, 0, 3, 4, 0, 0}},
      {4, 3, {1, 2, 3, 4}, {1, 2, 3}},
      {1, 3, {5}, {5, 0, 0}},
      {2, 2, {1, 2, 3}, {1, 2, 3}},  // equal counts: unchanged, even a partial frame
      {0, 2, {1, 2, 3}, {1, 2, 3}},
      {2, 0, {1, 2, 3}, {1, 2, 3}},
  };
  for (const auto& c : cases) {
    SampleQueue q;
    q.append(std::vector<float>{9.0f});  // mapping appends behind what is queued
    map_channels(c.in, c.from, c.to, q);
    std::vector<float> expected{9.0f};
    expected.insert(expected.end(), c.out.begin(), c.out.end());
    EXPECT_EQ(contents(q), expected) << c.from << " -> " << c.to;
  }
}

TEST(SourceLane, SameRateIsOnlyChannelMapped) {
  SourceLane mono(48000, 1, session(48000, 2));
  ASSERT_TRUE(mono.feed(0, std::vector<float>{0.1f, -0.3f}));
  ASSERT_TRUE(mono.feed(0, std::vector<float>{0.7f}));
  EXPECT_EQ(contents(mono.queue()), (std::vector<float>{0.1f, 0.1f, -0.3f, -0.3f, 0.7f, 0.7f}));

  SourceLane stereo(44100, 2, session(44100, 2));
  const std::vector<float> chunk{0.5f, -0.5f, 1.25f};
  ASSERT_TRUE(stereo.feed(0, chunk));
  EXPECT_EQ(contents(stereo.queue()), chunk);
  stereo.flush_tail();  // no resampler: nothing to add
  EXPECT_EQ(contents(stereo.queue()), chunk);
}

TEST(SourceLane, ResamplerIsFedWholeChunksAndKeepsTheRest) {
  SourceLane lane(44100, 2, session(48000, 2));
  ASSERT_TRUE(lane.feed(0, std::vector<float>(63 * 2, 0.5f)));
  EXPECT_EQ(lane.pending_frames(), 63u);
  EXPECT_TRUE(lane.queue().empty());
  lane.clear();

  ASSERT_TRUE(lane.feed(0, std::vector<float>(441 * 2 + 1, 0.5f)));  // 6 calls, 384 frames
  EXPECT_EQ(lane.pending_frames(), 57u);
  ASSERT_TRUE(lane.feed(0, std::vector<float>(441 * 2, 0.5f)));  // 57 + 441 = 7 * 64 + 50
  EXPECT_EQ(lane.pending_frames(), 50u);
}

// A 1 kHz tone at 0.5, left and right in opposite phase, fed for one second
// in capture-sized chunks.
struct ToneCase {
  std::uint32_t rate;
  std::size_t chunk_frames;
};

class ToneThroughLane : public testing::TestWithParam<ToneCase> {};

TEST_P(ToneThroughLane, KeepsLengthFrequencyAndLevel) {
  constexpr double FREQ = 1000.0;
  constexpr double AMP = 0.5;
  constexpr std::uint32_t OUT_RATE = 48000;
  const auto [rate, chunk_frames] = GetParam();
  SourceLane lane(rate, 2, session(OUT_RATE, 2));

  std::vector<float> chunk(chunk_frames * 2);
  std::size_t n = 0;
  for (std::size_t i = 0; i < rate / chunk_frames; ++i) {
    for (std::size_t f = 0; f < chunk_frames; ++f, ++n) {
      const auto v = float(AMP * std::sin(2.0 * std::numbers::pi * FREQ * double(n) / rate));
      chunk[2 * f] = v;
      chunk[2 * f + 1] = -v;
    }
    ASSERT_TRUE(lane.feed(0, chunk));
  }
  const double expected_frames = std::round(double(n) * OUT_RATE / rate);
  const double before_flush = double(lane.queue().size() / 2);
  EXPECT_GT(expected_frames - before_flush, OUT_RATE * 0.010);  // the resampler holds ~20 ms
  lane.flush_tail();
  const std::vector<float> out = contents(lane.queue());
  EXPECT_NEAR(double(out.size() / 2), expected_frames, 3.0);

  // The settled middle: half a second, a whole number of cycles.
  const std::size_t first = OUT_RATE / 4;
  const std::size_t count = OUT_RATE / 2;
  for (int ch = 0; ch < 2; ++ch) {
    double sum_sq = 0.0;
    double first_cross = -1.0, last_cross = -1.0;
    int crossings = 0;
    for (std::size_t f = first; f < first + count; ++f) {
      const double a = out[2 * f + ch], b = out[2 * (f + 1) + ch];
      sum_sq += a * a;
      if (a < 0.0 && b >= 0.0) {  // rising zero crossing, placed between the samples
        const double t = double(f) + a / (a - b);
        if (first_cross < 0) first_cross = t;
        last_cross = t;
        ++crossings;
      }
    }
    const double freq = (crossings - 1) * double(OUT_RATE) / (last_cross - first_cross);
    EXPECT_NEAR(freq, FREQ, 1.0) << "channel " << ch;
    const double level_db = 20.0 * std::log10(std::sqrt(sum_sq / count) / (AMP / std::sqrt(2.0)));
    EXPECT_NEAR(level_db, 0.0, 0.1) << "channel " << ch;
  }
  // Left and right stay apart: opposite phase, sample for sample.
  for (std::size_t f = first; f < first + count; ++f) ASSERT_EQ(out[2 * f], -out[2 * f + 1]);
}

INSTANTIATE_TEST_SUITE_P(Rates, ToneThroughLane,
                         testing::Values(ToneCase{44100, 441}, ToneCase{96000, 960}),
                         [](const auto& info) { return "From" + std::to_string(info.param.rate); });

TEST(SourceLane, ClearEmptiesQueueAndPendingButKeepsResamplerHistory) {
  SourceLane lane(44100, 2, session(48000, 2));
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(lane.feed(0, std::vector<float>(441 * 2, 0.5f)));
  ASSERT_FALSE(lane.queue().empty());
  lane.clear();
  EXPECT_TRUE(lane.queue().empty());
  EXPECT_EQ(lane.pending_frames(), 0u);

  // Silence after the clear: the first output still carries the level the
  // resampler held from before.
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(lane.feed(0, std::vector<float>(441 * 2, 0.0f)));
  const auto out = contents(lane.queue());
  ASSERT_FALSE(out.empty());
  EXPECT_GT(out.front(), 0.25f);
}

TEST(SourceLane, ResamplerCreationFailuresNameTheSourceAndDropTheChunk) {
  struct Case {
    std::uint32_t native_rate;
    std::uint16_t native_channels;
    std::uint32_t out_rate;
    std::string reason_prefix;
    bool exact;
  };
  const Case cases[] = {
      {0, 2, 48000, "source sample rate is zero", true},
      {44100, 0, 48000, "resampler init failed (44100\u219248000 Hz, 0ch): no channels", true},
      // soxr refuses an output rate of zero; its own text follows.
      {44100, 2, 0, "resampler init failed (44100\u21920 Hz, 2ch): ", false},
  };
  for (const auto& c : cases) {
    std::vector<std::string> lines;
    SourceLane lane(c.native_rate, c.native_channels, session(c.out_rate, 2),
                    [&](std::string_view line) { lines.emplace_back(line); });
    const auto result = lane.feed(3, std::vector<float>(256, 0.5f));
    ASSERT_FALSE(result);
    const std::string& reason = result.error();
    if (c.exact) {
      EXPECT_EQ(reason, c.reason_prefix);
    } else {
      EXPECT_EQ(reason.substr(0, c.reason_prefix.size()), c.reason_prefix);
      EXPECT_GT(reason.size(), c.reason_prefix.size());
    }
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "Failed to create resampler for source 3: " + reason + "\n");
    EXPECT_TRUE(lane.queue().empty());
    EXPECT_EQ(lane.pending_frames(), 0u);
    EXPECT_FALSE(lane.feed(3, std::vector<float>(256, 0.5f)));  // tries again, fails again
    EXPECT_EQ(lines.size(), 2u);
  }
}

// A lane that starts following its source's measured clock: until then the
// samples pass bit for bit; the handover leaves no click (the tone's second
// difference stays that of a clean tone), and afterwards the tone is clean
// (THD+N below -100 dB) at its level, at the frequency the measured clock
// gives it. Mono at the session rate, and stereo from 44.1 kHz.
struct Follow {
  std::uint32_t rate;
  std::uint16_t channels;
};
class FollowingLane : public testing::TestWithParam<Follow> {};

TEST_P(FollowingLane, HandsOverWithoutASeamAndStaysClean) {
  const Follow p = GetParam();
  constexpr double F = 1000.0;
  constexpr float AMP = 0.5f;
  const double true_rate = p.rate * (1 + 100e-6);
  SourceLane lane(p.rate, p.channels, session(48000, p.channels));
  std::uint64_t n = 0;
  auto feed_ms = [&](int ms) {
    for (int i = 0; i < ms / 10; ++i) {
      std::vector<float> chunk(p.rate / 100 * p.channels);
      for (std::size_t f = 0; f < chunk.size() / p.channels; ++f, ++n)
        for (std::size_t c = 0; c < p.channels; ++c)
          chunk[f * p.channels + c] =
              AMP * float(std::sin(2 * std::numbers::pi * F * double(n) / p.rate));
      ASSERT_TRUE(lane.feed(0, chunk));
    }
  };
  feed_ms(1000);
  const std::size_t before = lane.queue().size() / p.channels;
  if (p.rate == 48000) {
    const auto q = lane.queue().front(lane.queue().size());
    for (std::size_t f = 0; f < before; ++f)
      ASSERT_EQ(q[f * p.channels],
                AMP * float(std::sin(2 * std::numbers::pi * F * double(f) / p.rate)));
  }
  lane.follow_rate(0, true_rate);
  EXPECT_TRUE(lane.following());
  feed_ms(3000);
  lane.flush_tail();
  std::vector<double> out;
  const auto q = lane.queue().front(lane.queue().size());
  for (std::size_t f = 0; f < q.size() / p.channels; ++f) out.push_back(q[f * p.channels]);
  // The whole run: frames match what came in, at the measured rate after the switch.
  const double expected = 48000.0 * 1.0 + 48000.0 * 3.0 * p.rate / true_rate;
  EXPECT_NEAR(double(out.size()), expected, 4.0);

  const double clean = AMP * std::pow(2 * std::numbers::pi * F / 48000, 2);
  double worst = 0;
  for (std::size_t k = before - 2000; k < before + 2000; ++k)
    worst = std::max(worst, std::abs(out[k + 1] - 2 * out[k] + out[k - 1]));
  EXPECT_LT(worst, clean * 1.05);

  // THD+N over two seconds after the switch, at the tone's new frequency.
  const double f_out = F * true_rate / p.rate / 48000;
  double ss = 0, cc = 0, sc = 0, xs = 0, xc = 0;
  const std::size_t a = before + 24000, b = before + 120000;
  for (std::size_t k = a; k < b; ++k) {
    const double sn = std::sin(2 * std::numbers::pi * f_out * k);
    const double cs = std::cos(2 * std::numbers::pi * f_out * k);
    ss += sn * sn, cc += cs * cs, sc += sn * cs, xs += out[k] * sn, xc += out[k] * cs;
  }
  const double det = ss * cc - sc * sc;
  const double ka = (xs * cc - xc * sc) / det, kb = (xc * ss - xs * sc) / det;
  double sig = 0, res = 0;
  for (std::size_t k = a; k < b; ++k) {
    const double m = ka * std::sin(2 * std::numbers::pi * f_out * k) +
                     kb * std::cos(2 * std::numbers::pi * f_out * k);
    sig += m * m;
    res += (out[k] - m) * (out[k] - m);
  }
  EXPECT_LT(10 * std::log10(res / sig), -100.0);
  EXPECT_NEAR(20 * std::log10(std::hypot(ka, kb) / AMP), 0.0, 0.1);
}

INSTANTIATE_TEST_SUITE_P(Rates, FollowingLane, testing::Values(Follow{48000, 1}, Follow{44100, 2}));

}  // namespace
}  // namespace quillbox
