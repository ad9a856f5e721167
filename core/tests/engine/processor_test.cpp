// The processor on its own thread, fed by a synthetic capture in virtual
// time and writing real files, for what a recording cannot reach cheaply:
// files that fill up, files that cannot be created or written.

#include "engine/processor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "base/file.h"
#include "base/text.h"
#include "engine/recorder.h"
#include "engine/session_layout.h"
#include "signal_analysis.h"
#include "stepped_clock.h"
#include "synthetic_capture.h"
#include "test_support.h"
#include "wav/repair.h"

namespace quillbox {
namespace {

using namespace std::chrono_literals;
using synthetic::SteppedClock;
using synthetic::SyntheticCapture;
using synthetic::SyntheticConfig;
using synthetic::SyntheticDevice;
using synthetic::Timing;
using test_support::ScratchDir;

constexpr AudioFormat STUDIO{48000, 2, 24, false};

// One processor recording the default output (440 Hz) as an instructed stem
// into a scratch folder.
struct Engine {
  explicit Engine(bool on_at_start) {
    SyntheticConfig config;
    config.outputs.push_back(SyntheticDevice::output("Speakers", "spk", 48000, 2, 440.0));
    capture = std::make_shared<SyntheticCapture>(std::move(config), Timing::Stepped);
    clock = std::make_shared<SteppedClock>(capture);
    feed = std::make_shared<SourceFeed>(AudioFormat{48000, 2, 16, false});
    feed->set_enabled(on_at_start, clock->now());
    stream = capture->start_loopback(std::nullopt, feed->buffer()).value();

    SessionRequest request{.output_dir = path_to_text(dir.path()),
                           .mode = RecordMode::StemsInstructed,
                           .timestamp = "2024-03-05_07-09",
                           .specs = {STUDIO},
                           .session_spec = STUDIO,
                           .labels = {"loopback"},
                           .active = {on_at_start}};
    auto layout = create_session_layout(request, PlatformPaths{});
    EXPECT_TRUE(layout.has_value());
    if (!layout) return;
    setup.sources = {feed};
    setup.spec = STUDIO;
    setup.writers = std::move(layout->writers);
    setup.files = std::move(layout->files);
    setup.instructions = std::move(layout->instructions);
    setup.stop_flag = std::make_shared<std::atomic<bool>>(false);
    setup.error = std::make_shared<ErrorSlot>();
    setup.mode = RecordMode::StemsInstructed;
    setup.clock = clock;
    setup.err = [](std::string_view) {};
  }

  // A test that ended early still stops the processor.
  ~Engine() {
    if (done.valid()) (void)stop();
  }

  void start() {
    stop_flag = setup.stop_flag;
    error = setup.error;
    done = std::async(std::launch::async, [this] { return run_processor(std::move(setup)).files; });
  }

  // Waits for the processor to end by itself, then stops it anyway.
  std::vector<std::filesystem::path> ended() {
    clock->free_run();
    EXPECT_EQ(done.wait_for(20s), std::future_status::ready);
    return stop();
  }

  std::vector<std::filesystem::path> stop() {
    stream.reset();
    stop_flag->store(true);
    return done.get();
  }

  std::optional<std::string> error_text() {
    std::lock_guard lock(error->mutex);
    return error->text;
  }

  ScratchDir dir;
  std::shared_ptr<SyntheticCapture> capture;
  std::shared_ptr<SteppedClock> clock;
  std::shared_ptr<SourceFeed> feed;
  std::unique_ptr<CaptureStream> stream;
  ProcessorSetup setup;
  std::shared_ptr<std::atomic<bool>> stop_flag;
  std::shared_ptr<ErrorSlot> error;
  std::future<std::vector<std::filesystem::path>> done;
};

TEST(Processor, FilesThatFillUpContinueInPartsWithoutASeam) {
  SyntheticConfig config;
  config.outputs.push_back(SyntheticDevice::output("Speakers", "spk", 48000, 2, 440.0));
  config.inputs.push_back(SyntheticDevice::input("VirtualMic", 48000, 1, 1000.0));
  config.default_input = 0;
  auto capture = std::make_shared<SyntheticCapture>(std::move(config), Timing::Stepped);
  auto clock = std::make_shared<SteppedClock>(capture);
  ScratchDir dir;
  RecorderEnv env;
  env.capture = capture;
  env.clock = clock;
  env.err = [](std::string_view) {};
  env.part_size_limit = 100'000;  // about a third of a second of 48 kHz 24-bit stereo

  for (const RecordMode mode : {RecordMode::Single, RecordMode::StemsSilence}) {
    SCOPED_TRACE(int(mode));
    auto rec = Recorder::start({.output_dir = path_to_text(dir.path()),
                                .format = STUDIO,
                                .record_system = true,
                                .record_mic = true,
                                .mode = mode},
                               env);
    ASSERT_TRUE(rec.has_value());
    ASSERT_TRUE(clock->run_to(clock->elapsed() + 1s));
    const StopResult result = std::move(*rec).stop();
    ASSERT_EQ(result.error, std::nullopt);

    // Each stream's parts, in order, joined back together.
    const std::vector<std::string> stems = mode == RecordMode::Single
                                               ? std::vector<std::string>{"recording"}
                                               : std::vector<std::string>{"loopback", "mic"};
    for (std::size_t s = 0; s < stems.size(); ++s) {
      SCOPED_TRACE(stems[s]);
      std::vector<float> joined;
      std::size_t parts = 0;
      std::string first;
      for (const auto& file : result.files) {
        const std::string name = path_to_text(file.filename());
        if (name.rfind(stems[s], 0) != 0) continue;
        if (parts == 0) {
          first = name.substr(0, name.size() - std::string_view(".recpart").size());
        } else {
          EXPECT_EQ(name, first + "_part" + std::to_string(parts + 1) + ".recpart");
        }
        ++parts;
        auto wav = repair_file(file);
        ASSERT_TRUE(wav.has_value());
        const auto audio = signal::read_wav(*wav);
        ASSERT_TRUE(audio.has_value());
        if (parts < 3) {
          EXPECT_GE(audio->frames() * 6, 100'000u);
        }
        const auto ch = audio->channel(0);
        joined.insert(joined.end(), ch.begin(), ch.end());
      }
      EXPECT_EQ(parts, 3u);
      EXPECT_NEAR(double(joined.size()), 48000.0, 960.0);
      const std::span<const float> settled(joined.data() + 2400, joined.size() - 4800);
      if (mode == RecordMode::Single) {
        EXPECT_NEAR(signal::tone_amplitude(settled, 48000.0, 440.0), 0.25, 0.005);
        EXPECT_NEAR(signal::tone_amplitude(settled, 48000.0, 1000.0), 0.25, 0.005);
      } else {
        const double tone = s == 0 ? 440.0 : 1000.0;
        EXPECT_NEAR(signal::tone_amplitude(settled, 48000.0, tone), 0.5, 0.005);
      }
    }
  }
}

TEST(Processor, ASegmentFileThatCannotBeCreatedEndsTheRecordingWithItsError) {
  Engine engine(false);
  const auto gone = engine.dir / "gone" / "loopback.recpart";
  engine.setup.writers[0].base_path = gone;
  const auto expected = File::create(gone);
  ASSERT_FALSE(expected.has_value());
  engine.start();
  ASSERT_TRUE(engine.clock->run_to(100ms));
  engine.feed->set_enabled(true, engine.clock->now());
  const auto files = engine.ended();
  EXPECT_EQ(engine.error_text(), expected.error().text);
  for (const auto& f : files) EXPECT_NE(f, gone);
}

TEST(Processor, AFailingInstructionsWriteIsTheRecordingsError) {
  Engine engine(true);
  // A file open for reading only refuses every write, on every system.
  const auto read_only = engine.dir / "read-only.txt";
  test_support::write_bytes(read_only, std::string("x"));
  auto refusing = File::open_read(read_only);
  ASSERT_TRUE(refusing.has_value());
  const char byte = 'x';
  const auto expected = refusing->write_some(&byte, 1);
  ASSERT_FALSE(expected.has_value());
  engine.setup.instructions.emplace(std::move(*refusing));
  engine.start();
  // The first segment's line is written at once, so the recording ends there.
  const auto files = engine.ended();
  EXPECT_EQ(engine.error_text(), expected.error().text);
  // The audio file is finished all the same.
  ASSERT_EQ(files.size(), 1u);
  auto wav = repair_file(files[0]);
  ASSERT_TRUE(wav.has_value());
  const auto audio = signal::read_wav(*wav);
  ASSERT_TRUE(audio.has_value());
  EXPECT_LT(audio->frames(), 4800u);
}

// The real clock's pause ends once its stop flag is set and the clock is
// woken, so a stop waits for no pass; a pause whose own flag is not set
// sleeps on through the same wake.
TEST(PassClock, AWakeEndsOnlyThePausesWhoseStopIsSet) {
  const auto clock = real_pass_clock();
  std::atomic<bool> stopped{false}, running{false};
  using std::chrono::steady_clock;
  auto pause = [&](std::chrono::nanoseconds length, const std::atomic<bool>& stop) {
    return std::async(std::launch::async, [&clock, length, &stop] {
      const auto before = steady_clock::now();
      clock->sleep_for(length, stop);
      return steady_clock::now() - before;
    });
  };
  auto long_pause = pause(60s, stopped);
  auto short_pause = pause(300ms, running);
  std::this_thread::sleep_for(50ms);
  stopped = true;
  clock->wake();
  ASSERT_EQ(long_pause.wait_for(30s), std::future_status::ready);
  EXPECT_LT(long_pause.get(), 30s);
  EXPECT_GE(short_pause.get(), 300ms);
}

}  // namespace
}  // namespace quillbox
