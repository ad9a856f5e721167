// The loopback client and its silent render stream, driven by scripted fakes
// of the endpoint, its audio clients and the capture and render services.
#include "wasapi/loopback_stream.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "fake_audio.h"
#include "test_support.h"

namespace quillbox::wasapi {
namespace {

using namespace std::chrono_literals;
using test_support::eventually;
using test_support::ScratchDir;

template <typename T>
std::vector<unsigned char> bytes_of(const std::vector<T>& values) {
  std::vector<unsigned char> bytes(values.size() * sizeof(T));
  std::memcpy(bytes.data(), values.data(), bytes.size());
  return bytes;
}

// One loopback stream on a fake device, with its notices and error folder.
struct Rig {
  std::shared_ptr<fake::Script> script = std::make_shared<fake::Script>();
  std::shared_ptr<AudioBuf> buffer = std::make_shared<AudioBuf>();
  ScratchDir dir;
  std::mutex mutex;
  std::vector<std::string> notices;
  std::optional<std::string> open_error;
  std::unique_ptr<LoopbackStream> stream;
  std::vector<Chunk> chunks;

  Rig() { script->mix = fake::mix_format(48000, 2, true); }

  void start() {
    StreamSettings settings;
    settings.poll_interval = 1ms;
    settings.notice = [this](std::string_view text) {
      std::lock_guard lock(mutex);
      notices.emplace_back(text);
    };
    settings.error_file_dir = [this] { return std::optional(dir.path()); };
    auto open = [this]() -> std::expected<ComPtr<IMMDevice>, std::string> {
      if (open_error) return std::unexpected(*open_error);
      return ComPtr<IMMDevice>(new fake::Device(script));
    };
    stream =
        std::make_unique<LoopbackStream>(open, buffer, AudioFormat{48000, 2, 32, true}, settings);
  }
  // Waits until `count` chunks have arrived in all.
  bool collect(std::size_t count) {
    return eventually([&] {
      for (auto& c : buffer->take_all()) chunks.push_back(std::move(c));
      return chunks.size() >= count;
    });
  }
  // Waits until the stream asks for packets.
  bool polling() {
    return eventually([&] {
      std::lock_guard lock(script->mutex);
      return script->next_packet_calls > 0;
    });
  }
  std::vector<std::string> notices_now() {
    std::lock_guard lock(mutex);
    return notices;
  }
  std::string error_file() const {
    const auto bytes = test_support::read_bytes<char>(dir / "quillbox_loopback_error.txt");
    return std::string(bytes.begin(), bytes.end());
  }
};

TEST(LoopbackStream, EachSetupStepThatFailsLeavesTheErrorFileAndOneFailureLine) {
  struct Case {
    const char* message;
    std::function<void(Rig&)> arrange;
  };
  const HRESULT hr = static_cast<HRESULT>(0x88890003);
  const Case cases[] = {
      {"CoCreateInstance: 0x800401F0",
       [](Rig& r) { r.open_error = "CoCreateInstance: 0x800401F0"; }},
      {"GetDevice/GetDefaultAudioEndpoint: 0x80070490",
       [](Rig& r) { r.open_error = "GetDevice/GetDefaultAudioEndpoint: 0x80070490"; }},
      {"Activate: 0x88890003", [&](Rig& r) { r.script->activate_hr = hr; }},
      {"GetMixFormat: 0x88890003", [&](Rig& r) { r.script->mix_hr = hr; }},
      {"Initialize: 0x88890003", [&](Rig& r) { r.script->initialize_hr = hr; }},
      {"GetService: 0x88890003", [&](Rig& r) { r.script->service_hr = hr; }},
      {"Start: 0x88890003", [&](Rig& r) { r.script->start_hr = hr; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    Rig rig;
    // A stale file from an earlier failure is rewritten, not appended to.
    test_support::write_bytes(rig.dir / "quillbox_loopback_error.txt",
                              std::string("Loopback error: an older and longer message\n"));
    c.arrange(rig);
    rig.start();
    ASSERT_TRUE(eventually([&] { return rig.buffer->failed(); }));
    EXPECT_EQ(take_capture_failure(*rig.buffer),
              "Loopback capture error: " + std::string(c.message));
    EXPECT_EQ(rig.error_file(), "Loopback error: " + std::string(c.message) + "\n");
    rig.stream.reset();  // releasing a stream whose thread ended is harmless
    EXPECT_TRUE(rig.buffer->take_all().empty());
    EXPECT_EQ(rig.script->render_starts, 0);
    EXPECT_EQ(rig.script->live_objects.load(), 0) << "every COM object released";
  }
}

TEST(LoopbackStream, DeliversOnePacketPerChunkClampedSilentAsZerosAndPollsPastFailures) {
  Rig rig;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const QpcClock clock;
  rig.start();
  ASSERT_TRUE(rig.polling());
  // Captured 12 ms ago (so packet 3, measured on its arrival, follows on).
  const std::uint64_t qpc0 = QpcClock::now_100ns() - 120'000;
  // Packet 1: float with values beyond +-1, a QPC position.
  rig.script->add({bytes_of(std::vector<float>{0.25f, -0.5f, 1.5f, -2.0f, nan, 1.0f}), 3,
                   AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY, qpc0});
  // A failing size query, then a failing GetBuffer: polled past.
  rig.script->add({.size_hr = E_FAIL});
  rig.script->add({.frames = 1, .buffer_hr = E_FAIL});
  // Packet 2: flagged silent over garbage bytes, 10 ms after packet 1 (audio
  // was lost in between, says its flag).
  rig.script->add({std::vector<unsigned char>(4 * 8, 0x7F), 4,
                   AUDCLNT_BUFFERFLAGS_SILENT | AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY,
                   qpc0 + 100'000});
  // Packet 3: no position; it follows packet 2's frames.
  rig.script->add({bytes_of(std::vector<float>{0.125f, 0.125f}), 1, 0, 0});
  ASSERT_TRUE(rig.collect(3));

  ASSERT_EQ(rig.chunks.size(), 3u);
  const auto& first = rig.chunks[0].samples;
  ASSERT_EQ(first.size(), 6u);
  EXPECT_EQ((std::vector<float>{first[0], first[1], first[2], first[3]}),
            (std::vector<float>{0.25f, -0.5f, 1.0f, -1.0f}));
  EXPECT_TRUE(std::isnan(first[4]));
  EXPECT_EQ(first[5], 1.0f);
  EXPECT_EQ(rig.chunks[1].samples, std::vector<float>(8, 0.0f));
  EXPECT_EQ(rig.chunks[2].samples, (std::vector<float>{0.125f, 0.125f}));
  // Positions map onto the steady clock; a discontinuity starts the times
  // afresh from its position; later packets follow the frames.
  EXPECT_LT(std::chrono::abs(rig.chunks[0].time - clock.to_steady(qpc0)), 1ms);
  EXPECT_EQ(rig.chunks[1].time - rig.chunks[0].time, 10ms);
  EXPECT_LT(std::chrono::abs(rig.chunks[2].time - rig.chunks[1].time -
                             std::chrono::nanoseconds(4'000'000'000LL / 48000)),
            1us);

  // An empty queue pushes nothing while the stream keeps polling.
  const int calls = rig.script->next_packet_calls;
  ASSERT_TRUE(eventually([&] { return rig.script->next_packet_calls > calls + 5; }));
  EXPECT_TRUE(rig.buffer->take_all().empty());
  EXPECT_FALSE(rig.buffer->failed());
  EXPECT_EQ(rig.notices_now(), std::vector<std::string>{
                                   "Loopback capture: data discontinuity (some audio was lost)\n"});

  // The loopback client: shared mode with the loopback flag and a 2 s buffer;
  // beside it the silent render stream, fed with silence only.
  ASSERT_TRUE(eventually([&] { return rig.script->silent_frames_rendered > 4410; }));
  rig.stream.reset();
  EXPECT_EQ(rig.script->initialize_flags, (std::vector<DWORD>{AUDCLNT_STREAMFLAGS_LOOPBACK, 0}));
  EXPECT_EQ(rig.script->capture_buffer, 20'000'000);
  EXPECT_EQ(rig.script->capture_starts, 1);
  EXPECT_EQ(rig.script->capture_stops, 1);
  EXPECT_EQ(rig.script->render_starts, 1);
  EXPECT_EQ(rig.script->render_stops, 1);
  EXPECT_EQ(rig.script->live_objects.load(), 0);
  EXPECT_FALSE(std::filesystem::exists(rig.dir / "quillbox_loopback_error.txt"));
}

// 10 ms packets of 48 kHz stereo silence, positioned from `qpc` on (each at
// the same `qpc` when `on_arrival`, as a driver stamps a backlog it read at
// once).
void add_packets(fake::Script& script, int count, std::uint64_t qpc, bool on_arrival) {
  for (int k = 0; k < count; ++k) {
    script.add({std::vector<unsigned char>(480 * 8, 0), 480, 0,
                qpc + (on_arrival ? 0 : std::uint64_t(k) * 100'000)});
  }
}

// A loopback whose device plays nothing gets no packets, then packets with
// right positions and no discontinuity flag: the first after the pause sits
// at its position at once. A backlog read at once and stamped on arrival
// keeps its frames' place: it ends when it was read, each packet after the
// one before.
TEST(LoopbackStream, APauseLandsAtItsPositionAndABacklogFollowsItsFrames) {
  const QpcClock clock;
  {
    SCOPED_TRACE("a pause of one second");
    Rig rig;
    rig.start();
    ASSERT_TRUE(rig.polling());
    const std::uint64_t qpc0 = QpcClock::now_100ns() - 11'000'000;
    add_packets(*rig.script, 5, qpc0, false);
    add_packets(*rig.script, 5, qpc0 + 10'000'000, false);
    ASSERT_TRUE(rig.collect(10));
    for (int k = 0; k < 10; ++k) {
      const std::uint64_t qpc = qpc0 + (k < 5 ? 0 : 10'000'000) + std::uint64_t(k % 5) * 100'000;
      EXPECT_LT(std::chrono::abs(rig.chunks[k].time - clock.to_steady(qpc)), 1ms) << k;
    }
  }
  {
    SCOPED_TRACE("a backlog stamped on arrival");
    Rig rig;
    rig.start();
    ASSERT_TRUE(rig.polling());
    add_packets(*rig.script, 20, QpcClock::now_100ns(), true);
    ASSERT_TRUE(rig.collect(20));
    const auto seen = std::chrono::steady_clock::now();
    for (int k = 1; k < 20; ++k) {
      EXPECT_LT(std::chrono::abs(rig.chunks[k].time - rig.chunks[k - 1].time - 10ms), 1us) << k;
    }
    EXPECT_LE(rig.chunks[19].time + 10ms, seen);
  }
}

TEST(LoopbackStream, SixteenBitMixFormatIsConvertedByItsOwnFormat) {
  Rig rig;
  rig.script->mix = fake::mix_format(44100, 2, false);
  rig.script->add({bytes_of(std::vector<std::int16_t>{32767, -32768, 0, 16384}), 2, 0, 0});
  rig.start();
  ASSERT_TRUE(rig.collect(1));
  const auto& s = rig.chunks[0].samples;
  ASSERT_EQ(s.size(), 4u);
  EXPECT_EQ(s[0], 1.0f);
  EXPECT_FLOAT_EQ(s[1], -32768.0f / 32767.0f);
  EXPECT_EQ(s[2], 0.0f);
  EXPECT_FLOAT_EQ(s[3], 16384.0f / 32767.0f);
}

TEST(LoopbackStream, VanishedDeviceEndsOnlyThisStreamWithOneLine) {
  Rig rig;
  rig.script->add({bytes_of(std::vector<float>{0.5f, 0.5f}), 1, 0, 0});
  rig.script->add({.frames = 1, .buffer_hr = AUDCLNT_E_DEVICE_INVALIDATED});
  rig.script->add({bytes_of(std::vector<float>{0.75f, 0.75f}), 1, 0, 0});
  rig.start();
  ASSERT_TRUE(eventually([&] { return rig.buffer->failed(); }));
  EXPECT_EQ(take_capture_failure(*rig.buffer), "Loopback capture error: GetBuffer: 0x88890004");
  // What came before the loss stays; nothing is read after it.
  const auto chunks = rig.buffer->take_all();
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].samples, (std::vector<float>{0.5f, 0.5f}));
  EXPECT_TRUE(eventually([&] { return rig.script->capture_stops == 1; }));
  EXPECT_EQ(rig.script->queued(), 1u);
  EXPECT_FALSE(std::filesystem::exists(rig.dir / "quillbox_loopback_error.txt"));
  rig.stream.reset();
  EXPECT_EQ(rig.script->live_objects.load(), 0);
}

TEST(LoopbackStream, FailingRenderStreamLeavesTheCaptureRunning) {
  for (const bool fail_at_open : {true, false}) {
    SCOPED_TRACE(fail_at_open ? "render stream cannot open" : "render stream fails later");
    Rig rig;
    if (fail_at_open) {
      rig.script->render_activate_hr = E_ACCESSDENIED;
    } else {
      rig.script->render_padding_hr = AUDCLNT_E_DEVICE_INVALIDATED;
    }
    rig.script->add({bytes_of(std::vector<float>{0.5f, -0.5f}), 1, 0, 0});
    rig.start();
    ASSERT_TRUE(rig.collect(1));
    ASSERT_TRUE(eventually([&] { return !rig.notices_now().empty(); }));
    rig.script->add({bytes_of(std::vector<float>{0.25f, -0.25f}), 1, 0, 0});
    ASSERT_TRUE(rig.collect(2));
    EXPECT_EQ(rig.chunks[1].samples, (std::vector<float>{0.25f, -0.25f}));
    EXPECT_FALSE(rig.buffer->failed());
    EXPECT_EQ(
        rig.notices_now(),
        std::vector<std::string>{fail_at_open ? "Loopback keep-alive stream: Activate: 0x80070005\n"
                                              : "Loopback keep-alive stream: "
                                                "GetCurrentPadding: 0x88890004\n"});
    rig.stream.reset();
    EXPECT_EQ(rig.script->live_objects.load(), 0);
  }
}

}  // namespace
}  // namespace quillbox::wasapi
