// What a crash leaves of a running recording: the files as they are on the
// disk while the recorder runs (a killed process leaves exactly what it
// handed to the system), read at many moments of a recording in virtual time.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/session_layout.h"
#include "recorder_rig.h"

namespace quillbox {
namespace {

using namespace recorder_rig;
namespace fs = std::filesystem;

// The whole frames a recording file holds on the disk now.
std::uint64_t frames_on_disk(const fs::path& file, const AudioFormat& spec) {
  std::error_code ec;
  const std::uint64_t size = fs::file_size(file, ec);
  const std::uint64_t header = spec.is_float ? 58 : 44;
  if (ec || size < header) return 0;
  return (size - header) / (spec.channels * (spec.is_float ? 4u : spec.bits_per_sample / 8u));
}

std::string text_on_disk(const fs::path& file) {
  const auto bytes = test_support::read_bytes<char>(file);
  return std::string(bytes.begin(), bytes.end());
}

// The files of a recording reach the disk together, a few times a second:
// at any moment the files end within 10 ms of each other and at most a
// tenth of a second before the moment, whatever sizes the sources' packets
// have and whichever way the recording is written.
TEST(RecorderCrash, TheFilesOfARecordingReachTheDiskTogether) {
  for (const RecordMode mode :
       {RecordMode::StemsSilence, RecordMode::StemsInstructed, RecordMode::Single}) {
    for (const AudioFormat format :
         {STUDIO, AudioFormat{48000, 2, 16, false}, AudioFormat{48000, 2, 32, true}}) {
      SCOPED_TRACE(std::to_string(int(mode)) + " " + std::to_string(format.bits_per_sample));
      SyntheticConfig config = desk();
      config.inputs[0].packet_frames = 441;
      config.outputs[0].packet_frames = 256;
      Rig rig(std::move(config));
      auto rec =
          rig.start({.format = format, .record_system = true, .record_mic = true, .mode = mode});
      ASSERT_TRUE(rec.has_value());
      const fs::path session = rig.dir / "recording_2024-03-05_07-09";
      const std::vector<fs::path> files =
          mode == RecordMode::Single
              ? std::vector<fs::path>{rig.dir / "recording_2024-03-05_07-09.recpart"}
              : std::vector<fs::path>{session / "loopback.recpart", session / "mic.recpart"};
      std::uint64_t worst_apart = 0, worst_lost = 0;
      for (auto at = 1000ms; at < 3000ms; at += 23ms) {
        ASSERT_TRUE(rig.clock->run_to(at));
        const auto now = static_cast<std::uint64_t>(rig.clock->elapsed().count() * 48 / 1'000'000);
        std::vector<std::uint64_t> ends;
        for (const fs::path& f : files) ends.push_back(frames_on_disk(f, format));
        const auto [first, last] = std::ranges::minmax(ends);
        worst_apart = std::max(worst_apart, last - first);
        worst_lost = std::max(worst_lost, now > first ? now - first : 0);
      }
      EXPECT_LE(worst_apart, 480u) << "frames between the files' ends";
      EXPECT_LE(worst_lost, 4800u) << "frames lost before the moment";
      (void)std::move(*rec).stop();
    }
  }
}

// The instructions name each segment as it starts: after a crash every
// segment there is still has its line; a stop leaves the same file.
TEST(RecorderCrash, EachInstructionsLineIsOnTheDiskWhenItsSegmentStarts) {
  Rig rig(desk());
  auto rec =
      rig.start({.format = STUDIO, .record_system = true, .mode = RecordMode::StemsInstructed});
  ASSERT_TRUE(rec.has_value());
  const fs::path instructions = rig.dir / "recording_2024-03-05_07-09" / "instructions.txt";
  const std::string header = instructions_header(48000);
  ASSERT_TRUE(rig.clock->run_to(300ms));
  EXPECT_EQ(text_on_disk(instructions), header + "0 loopback\n");

  EXPECT_EQ(switch_on(*rec, MIC), std::nullopt);
  ASSERT_TRUE(rig.clock->run_to(600ms));
  const std::string two = text_on_disk(instructions);
  ASSERT_TRUE(two.starts_with(header + "0 loopback\n")) << two;
  const std::string mic_line = two.substr(header.size() + 11);
  EXPECT_TRUE(mic_line.ends_with(" mic\n")) << mic_line;
  EXPECT_NEAR(std::stod(mic_line), 14400.0, 960.0);  // switched on at 300 ms

  rec->set_source_enabled(MIC, false, {});
  ASSERT_TRUE(rig.clock->run_to(800ms));
  EXPECT_EQ(switch_on(*rec, MIC), std::nullopt);
  ASSERT_TRUE(rig.clock->run_to(1000ms));
  const std::string three = text_on_disk(instructions);
  ASSERT_TRUE(three.starts_with(two)) << three;
  EXPECT_TRUE(three.ends_with(" mic_2\n")) << three;

  (void)std::move(*rec).stop();
  EXPECT_EQ(text_on_disk(instructions), three);
}

}  // namespace
}  // namespace quillbox
