#include "synthetic_capture.h"

#include <gtest/gtest.h>

#include <thread>

#include "stepped_clock.h"

namespace quillbox::synthetic {
namespace {

using namespace std::chrono_literals;
using time_point = SyntheticCapture::time_point;

// Every chunk, joined, and the chunks' sizes.
struct Taken {
  std::vector<float> samples;
  std::vector<std::size_t> sizes;
};

Taken take(AudioBuf& buf) {
  Taken out;
  for (const auto& chunk : buf.take_all()) {
    out.samples.insert(out.samples.end(), chunk.samples.begin(), chunk.samples.end());
    out.sizes.push_back(chunk.size());
  }
  return out;
}

// The tone of `device` over the given frames, on every channel.
std::vector<float> tone(const SyntheticDevice& device, std::uint64_t first, std::uint64_t count) {
  std::vector<float> samples;
  for (std::uint64_t f = first; f < first + count; ++f) {
    samples.insert(samples.end(), device.native.channels, tone_sample(device, f));
  }
  return samples;
}

// Equal within float rounding: the streams rotate the tone within a packet.
::testing::AssertionResult same_tone(const std::vector<float>& actual,
                                     const std::vector<float>& expected) {
  if (actual.size() != expected.size())
    return ::testing::AssertionFailure()
           << actual.size() << " samples, expected " << expected.size();
  for (std::size_t i = 0; i < actual.size(); ++i)
    if (std::abs(actual[i] - expected[i]) > 1e-6f)
      return ::testing::AssertionFailure()
             << "sample " << i << ": " << actual[i] << " vs " << expected[i];
  return ::testing::AssertionSuccess();
}

TEST(SyntheticCapture, SteppedLoopbackDeliversDuePacketsWithContinuousPhase) {
  const auto speakers = SyntheticDevice::output("Speakers", "spk", 48000, 2, 1000.0);
  const auto headset = SyntheticDevice::output("Headset", "hs", 44100, 1, 300.0);
  SyntheticCapture capture({{speakers, headset}, {}, {}}, Timing::Stepped);
  const time_point t0 = capture.now();
  auto buf = std::make_shared<AudioBuf>();
  auto stream = capture.start_loopback(std::nullopt, buf);
  ASSERT_TRUE(stream.has_value());
  EXPECT_EQ((*stream)->format(), speakers.native);

  capture.advance_to(t0 + 9ms);
  EXPECT_TRUE(buf->take_all().empty());
  capture.advance_to(t0 + 10ms);
  capture.advance_to(t0 + 35ms);
  const Taken first = take(*buf);
  EXPECT_EQ(first.sizes, (std::vector<std::size_t>{960, 960, 960}));
  EXPECT_TRUE(same_tone(first.samples, tone(speakers, 0, 3 * 480)));

  // A stream started later counts its packets from its own start.
  auto late_buf = std::make_shared<AudioBuf>();
  auto late = capture.start_loopback("hs", late_buf);
  ASSERT_TRUE(late.has_value());
  EXPECT_EQ(capture.live_stream_count(), 2u);
  capture.advance_to(t0 + 44ms);
  EXPECT_TRUE(late_buf->take_all().empty());
  capture.advance_to(t0 + 55ms);
  EXPECT_TRUE(same_tone(take(*late_buf).samples, tone(headset, 0, 2 * 441)));
  EXPECT_TRUE(same_tone(take(*buf).samples, tone(speakers, 3 * 480, 2 * 480)));

  stream->reset();
  capture.advance_to(t0 + 100ms);
  EXPECT_TRUE(buf->take_all().empty());
  EXPECT_EQ(capture.live_stream_count(), 1u);
}

TEST(SyntheticCapture, InputGathersFiveMillisecondChunksAndFlushesTheRestOnStop) {
  auto line = SyntheticDevice::input("Line In", 48000, 2, 440.0);
  line.packet_frames = 100;  // 200 samples a buffer; 5 ms is 480
  SyntheticCapture capture({{}, {line}, {}}, Timing::Stepped);
  const time_point t0 = capture.now();
  auto buf = std::make_shared<AudioBuf>();
  auto stream = start_input_device(capture, "Line In", buf);
  ASSERT_TRUE(stream.has_value());

  capture.advance_to(t0 + 72ms);  // 34 buffers: 11 chunks of three, one buffer pending
  const Taken running = take(*buf);
  EXPECT_EQ(running.sizes, std::vector<std::size_t>(11, 600));
  stream->reset();
  const Taken rest = take(*buf);
  EXPECT_EQ(rest.sizes, (std::vector<std::size_t>{200}));

  auto all = running.samples;
  all.insert(all.end(), rest.samples.begin(), rest.samples.end());
  EXPECT_TRUE(same_tone(all, tone(line, 0, 34 * 100)));
}

// 1 kHz mono with 10-frame packets: one packet every 10 ms, stepped in 10 ms.
TEST(SyntheticCapture, StallsAndEarlyEndsShapeDelivery) {
  struct Case {
    const char* name;
    std::optional<Stall> stall;
    std::optional<std::chrono::nanoseconds> stop_after;
    std::vector<std::size_t> per_step;   // packets delivered at 10, 20, ... 100 ms
    std::vector<std::uint64_t> packets;  // which packets, in order
  };
  const Case cases[] = {
      {"stall, skip",
       Stall{30ms, 60ms, false},
       std::nullopt,
       {1, 1, 0, 0, 0, 1, 1, 1, 1, 1},
       {0, 1, 5, 6, 7, 8, 9}},
      {"stall, backlog",
       Stall{30ms, 60ms, true},
       std::nullopt,
       {1, 1, 0, 0, 0, 4, 1, 1, 1, 1},
       {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
      {"stop after 50 ms", std::nullopt, 50ms, {1, 1, 1, 1, 1, 0, 0, 0, 0, 0}, {0, 1, 2, 3, 4}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto device = SyntheticDevice::output("Out", "out", 1000, 1, 7.0);
    device.stall = c.stall;
    device.stop_after = c.stop_after;
    SyntheticCapture capture({{device}, {}, {}}, Timing::Stepped);
    const time_point t0 = capture.now();
    auto buf = std::make_shared<AudioBuf>();
    auto stream = capture.start_loopback(std::nullopt, buf);
    ASSERT_TRUE(stream.has_value());

    std::vector<std::size_t> per_step;
    std::vector<float> samples;
    for (int step = 1; step <= 10; ++step) {
      capture.advance_to(t0 + step * 10ms);
      const Taken taken = take(*buf);
      per_step.push_back(taken.sizes.size());
      samples.insert(samples.end(), taken.samples.begin(), taken.samples.end());
    }
    EXPECT_EQ(per_step, c.per_step);
    std::vector<float> expected;
    for (auto packet : c.packets) {
      const auto part = tone(device, packet * 10, 10);
      expected.insert(expected.end(), part.begin(), part.end());
    }
    EXPECT_EQ(samples, expected);
  }
}

// Each stream's own thread keeps pace with the steady clock; stopping the
// input stream still hands over its last partial chunk.
TEST(SyntheticCapture, RealTimeDeliversAtTheDeviceRate) {
  const auto speakers = SyntheticDevice::output("Speakers", "spk", 48000, 2, 1000.0);
  auto mic = SyntheticDevice::input("Mic", 48000, 2, 440.0);
  mic.packet_frames = 100;
  SyntheticCapture capture({{speakers}, {mic}, 0}, Timing::RealTime);
  auto loop_buf = std::make_shared<AudioBuf>();
  auto mic_buf = std::make_shared<AudioBuf>();
  const auto begin = std::chrono::steady_clock::now();
  auto loop = capture.start_loopback(std::nullopt, loop_buf);
  auto input = capture.start_default_mic(mic_buf);
  ASSERT_TRUE(loop.has_value() && input.has_value());
  std::this_thread::sleep_for(200ms);
  loop->reset();
  input->reset();
  const double elapsed_s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();

  using Run = std::pair<const SyntheticDevice*, std::shared_ptr<AudioBuf>>;
  for (const auto& [device, buf] : {Run{&speakers, loop_buf}, Run{&mic, mic_buf}}) {
    SCOPED_TRACE(device->name);
    const Taken taken = take(*buf);
    const std::size_t frames = taken.samples.size() / 2;
    EXPECT_GE(frames, 48000u * 150 / 1000);  // allows for a busy machine
    // Never ahead of the time that passed, but for the packet being delivered.
    EXPECT_LE(double(frames), 48000.0 * elapsed_s + double(device->packet_frames));
    EXPECT_EQ(frames % device->packet_frames, 0u);
    EXPECT_TRUE(same_tone(taken.samples, tone(*device, 0, frames)));
  }
}

TEST(SyntheticCapture, ListsAndStartsDevicesAsThePlatformDoes) {
  auto main_out = SyntheticDevice::output("Speakers", "spk", 48000, 2, 440.0);
  auto other_out = SyntheticDevice::output("Headset", "hs", 48000, 2, 440.0);
  other_out.probe_error = "Activate: 0x88890004";
  auto mic = SyntheticDevice::input("Mic", 48000, 1, 440.0);
  auto twin = SyntheticDevice::input("Mic", 44100, 2, 440.0);  // same name, another device
  auto line = SyntheticDevice::input("Line In", 48000, 2, 440.0);
  line.start_error = "DeviceNotAvailable";
  SyntheticCapture capture({{main_out, other_out}, {mic, twin, line}, 0}, Timing::Stepped);

  EXPECT_EQ(capture.list_output_devices().size(), 2u);  // default id not yet known
  EXPECT_EQ(capture.probe_loopback_format(std::nullopt), main_out.native);
  const auto outputs = capture.list_output_devices();
  ASSERT_EQ(outputs.size(), 1u);
  EXPECT_EQ(outputs[0].id, "hs");
  EXPECT_EQ(capture.start_loopback("hs", nullptr).error(), "Activate: 0x88890004");

  const auto inputs = capture.list_input_devices();
  EXPECT_EQ(inputs.default_name, "Mic");
  ASSERT_EQ(inputs.devices.size(), 1u);
  EXPECT_EQ(inputs.devices[0].name, "Line In");
  EXPECT_EQ(start_input_device(capture, "Line In", nullptr).error(), "DeviceNotAvailable");

  auto started = capture.start_default_mic(std::make_shared<AudioBuf>());
  ASSERT_TRUE(started.has_value());
  EXPECT_EQ(capture.start_count("Mic"), 1u);
  EXPECT_EQ(capture.start_count("Line In"), 0u);

  SyntheticCapture silent({{main_out}, {line}, std::nullopt}, Timing::Stepped);
  EXPECT_EQ(silent.start_default_mic(nullptr).error(), "No default input device");
  EXPECT_EQ(silent.list_input_devices().devices.size(), 1u);
}

// Streams come and go on one thread while another advances virtual time.
TEST(SyntheticCapture, SteppedStartsAndStopsRaceWithDelivery) {
  auto mic = SyntheticDevice::input("Mic", 48000, 2, 440.0);
  mic.packet_frames = 64;
  SyntheticCapture capture({{SyntheticDevice::output("Out", "out", 48000, 2, 440.0)}, {mic}, 0},
                           Timing::Stepped);
  const time_point t0 = capture.now();
  std::atomic<bool> done{false};
  std::thread processor([&] {
    for (int step = 1; !done.load(); ++step) capture.advance_to(t0 + step * 1ms);
  });
  auto buf = std::make_shared<AudioBuf>();
  for (int i = 0; i < 200; ++i) {
    auto loop = capture.start_loopback(std::nullopt, buf);
    auto input = capture.start_default_mic(buf);
    ASSERT_TRUE(loop.has_value() && input.has_value());
    buf->take_all();
  }
  done = true;
  processor.join();
  EXPECT_EQ(capture.live_stream_count(), 0u);
  EXPECT_EQ(capture.start_count("Mic"), 200u);
}

TEST(SteppedClock, ParksAtTheLimitAndStopsThere) {
  auto capture = std::make_shared<SyntheticCapture>(
      SyntheticConfig{{SyntheticDevice::output("Out", "out", 1000, 1, 7.0)}, {}, {}},
      Timing::Stepped);
  auto buf = std::make_shared<AudioBuf>();
  auto stream = capture->start_loopback(std::nullopt, buf);
  ASSERT_TRUE(stream.has_value());
  SteppedClock clock(capture);
  clock.set_pass_overhead({0ms, 10ms});  // pauses end at 5, 20, 25, 40, 45, 60 ms
  std::atomic<bool> stop{false};
  std::thread processor([&] {
    while (!stop.load()) clock.sleep_for(5ms, stop);
  });

  ASSERT_TRUE(clock.run_to(50ms));
  EXPECT_EQ(clock.passes(), 5u);
  // Parked in the pause from 45 to 60 ms: the present is the limit, and the
  // capture ran on to it as a real one does while the processor sleeps.
  EXPECT_EQ(clock.elapsed(), 50ms);
  EXPECT_EQ(buf->take_all().size(), 5u);  // packets due at 10 to 50 ms

  stop = true;
  processor.join();
  EXPECT_EQ(clock.elapsed(), 50ms);  // the stopped pause goes no further than the limit
  EXPECT_TRUE(buf->take_all().empty());
}

}  // namespace
}  // namespace quillbox::synthetic
