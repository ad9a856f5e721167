// A disk that refuses more data in the middle of a recording, made real with
// the process's file-size limit.

#include <sys/resource.h>

#include <gtest/gtest.h>

#include "base/file.h"
#include "base/text.h"
#include "engine/recorder.h"
#include "file_size_limit.h"
#include "signal_analysis.h"
#include "stepped_clock.h"
#include "synthetic_capture.h"
#include "test_support.h"
#include "wav/repair.h"
#include "wav/wav_header.h"

namespace quillbox {
namespace {

constexpr AudioFormat FORMAT{48000, 2, 24, false};

TEST(RecorderWriteFailure, EndsTheRecordingFinishesEveryFileAndReportsTheError) {
  synthetic::SyntheticConfig config;
  config.outputs.push_back(synthetic::SyntheticDevice::output("Speakers", "spk", 48000, 2, 440.0));
  config.inputs.push_back(synthetic::SyntheticDevice::input("VirtualMic", 48000, 1, 1000.0));
  config.default_input = 0;
  auto capture =
      std::make_shared<synthetic::SyntheticCapture>(std::move(config), synthetic::Timing::Stepped);
  auto clock = std::make_shared<synthetic::SteppedClock>(capture);
  test_support::ScratchDir dir;
  RecorderEnv env;
  env.capture = capture;
  env.clock = clock;
  env.err = [](std::string_view) {};

  // About a third of a second of 48 kHz 24-bit stereo per file.
  constexpr rlim_t LIMIT = 100'000;
  rlimit saved{};
  ASSERT_NO_FATAL_FAILURE(test_support::limit_file_size(LIMIT, saved));

  auto rec = Recorder::start({.output_dir = path_to_text(dir.path()),
                              .format = FORMAT,
                              .record_system = true,
                              .record_mic = true,
                              .mode = RecordMode::StemsSilence},
                             env);
  std::optional<StopResult> result;
  if (rec) {
    clock->free_run();
    EXPECT_TRUE(test_support::eventually([&] { return rec->error().has_value(); }));
    result = std::move(*rec).stop();
  }
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ASSERT_TRUE(result.has_value());

  EXPECT_EQ(result->error, os_error(EFBIG).text);
  ASSERT_EQ(result->files.size(), 2u);
  for (const auto& file : result->files) {
    SCOPED_TRACE(path_to_text(file));
    auto wav = repair_file(file);
    ASSERT_TRUE(wav.has_value());
    const auto bytes = test_support::read_bytes(*wav);
    EXPECT_LE(bytes.size(), LIMIT);
    // The limit cuts a frame; the data chunk keeps whole frames.
    EXPECT_EQ(test_support::le32(bytes, 40), whole_frames(FORMAT, bytes.size() - 44));
    const auto audio = signal::read_wav(*wav);
    ASSERT_TRUE(audio.has_value());
    EXPECT_GT(audio->frames(), 9600u);
  }
}

}  // namespace
}  // namespace quillbox
