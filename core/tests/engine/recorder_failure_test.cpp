// Captures that fail while the recording runs: when no source is left
// capturing, the recording has nothing left to record; a failed source
// started again records again.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "engine/recorder.h"
#include "recorder_rig.h"

namespace quillbox {
namespace {

using namespace std::chrono_literals;
using namespace recorder_rig;

// Speakers and the microphone, each failing as a vanished sound server makes
// them fail, 300 ms into the recording; the loopback's error file goes to
// `exe_dir`.
SyntheticConfig server_gone_at_300ms(const std::filesystem::path& exe_dir) {
  SyntheticConfig c = desk();
  c.exe_dir = exe_dir;
  c.outputs[0].fail_after = {{300ms, "spk.monitor: Connection terminated"}};
  c.inputs[0].fail_after = {{300ms, "Connection terminated"}};
  return c;
}

TEST(RecorderFailure, EverySourceThatIsOnFailingLeavesNothingToRecord) {
  ScratchDir exe;
  Rig rig(server_gone_at_300ms(exe.path()));
  auto rec = rig.start({.format = STUDIO, .record_system = true, .record_mic = true});
  ASSERT_TRUE(rec.has_value());
  ASSERT_TRUE(rig.clock->run_to(200ms));
  EXPECT_FALSE(rec->every_source_failed());
  ASSERT_TRUE(rig.clock->run_to(400ms));
  EXPECT_TRUE(rec->every_source_failed());
  EXPECT_EQ(rec->error(), std::nullopt);
  const StopResult result = std::move(*rec).stop();
  EXPECT_EQ(result.error, std::nullopt);
  EXPECT_EQ(result.every_source_failed,
            (std::vector<std::string>{"Loopback capture error: spk.monitor: Connection terminated",
                                      "Mic stream error: Connection terminated"}));
  const auto error_file = test_support::read_bytes<char>(exe / LOOPBACK_ERROR_FILE);
  EXPECT_EQ(std::string(error_file.begin(), error_file.end()),
            "Loopback error: spk.monitor: Connection terminated\n");
  // What came before the failure is in the file.
  const auto audio = repaired(result.files);
  ASSERT_EQ(audio.size(), 1u);
  EXPECT_NEAR(level(audio[0], 440.0, 0.05, 0.25), 0.4, 0.01);
  EXPECT_NEAR(level(audio[0], 1000.0, 0.05, 0.25), 0.3, 0.01);
}

// A source that is off keeps nothing alive: one never started, or one the
// user switched off. One that still captures, or a start under way, does.
TEST(RecorderFailure, OnlySourcesThatAreOnCount) {
  ScratchDir exe;
  {
    SCOPED_TRACE("the microphone never started");
    Rig rig(server_gone_at_300ms(exe.path()));
    auto rec = rig.start({.format = STUDIO, .record_system = true});
    ASSERT_TRUE(rec.has_value());
    ASSERT_TRUE(rig.clock->run_to(400ms));
    EXPECT_TRUE(rec->every_source_failed());
    EXPECT_EQ(
        std::move(*rec).stop().every_source_failed,
        (std::vector<std::string>{"Loopback capture error: spk.monitor: Connection terminated"}));
  }
  {
    SCOPED_TRACE("the microphone switched off, then system audio fails");
    Rig rig(server_gone_at_300ms(exe.path()));
    auto rec = rig.start({.format = STUDIO, .record_system = true, .record_mic = true});
    ASSERT_TRUE(rec.has_value());
    ASSERT_TRUE(rig.clock->run_to(100ms));
    rec->set_source_enabled(MIC, false, {});
    ASSERT_TRUE(rig.clock->run_to(400ms));
    EXPECT_TRUE(rec->every_source_failed());
  }
  {
    SCOPED_TRACE("system audio still records");
    SyntheticConfig c = desk();
    c.inputs[0].fail_after = {{300ms, "Connection terminated"}};
    Rig rig(std::move(c));
    auto rec = rig.start({.format = STUDIO, .record_system = true, .record_mic = true});
    ASSERT_TRUE(rec.has_value());
    ASSERT_TRUE(rig.clock->run_to(400ms));
    EXPECT_FALSE(rec->every_source_failed());
    EXPECT_EQ(std::move(*rec).stop().every_source_failed, std::nullopt);
  }
  {
    SCOPED_TRACE("a start of system audio under way");
    SyntheticConfig c = desk();
    c.inputs[0].fail_after = {{300ms, "Connection terminated"}};
    c.outputs[0].start_delay = 300ms;
    Rig rig(std::move(c));
    auto rec = rig.start({.format = STUDIO, .record_mic = true});
    ASSERT_TRUE(rec.has_value());
    ASSERT_TRUE(rig.clock->run_to(200ms));
    std::promise<SourceStartResult> outcome;
    ASSERT_EQ(
        rec->set_source_enabled(
            SYSTEM, true, [&outcome](SourceStartResult r) { outcome.set_value(std::move(r)); }),
        SwitchOutcome::Starting);
    ASSERT_TRUE(rig.clock->run_to(400ms));
    EXPECT_FALSE(rec->every_source_failed());
    EXPECT_EQ(rec->attach_stream(outcome.get_future().get()), std::nullopt);
    EXPECT_FALSE(rec->every_source_failed());
    EXPECT_EQ(std::move(*rec).stop().every_source_failed, std::nullopt);
  }
}

// Switching a failed source off and on starts a new capture into its
// buffer, which records until it fails in turn.
TEST(RecorderFailure, AFailedSourceStartedAgainRecordsAgain) {
  ScratchDir exe;
  Rig rig(server_gone_at_300ms(exe.path()));
  auto rec = rig.start({.format = STUDIO, .record_mic = true, .mode = RecordMode::StemsSilence});
  ASSERT_TRUE(rec.has_value());
  ASSERT_TRUE(rig.clock->run_to(400ms));
  EXPECT_TRUE(rec->every_source_failed());
  rec->set_source_enabled(MIC, false, {});
  EXPECT_EQ(switch_on(*rec, MIC), std::nullopt);
  EXPECT_FALSE(rec->every_source_failed());
  ASSERT_TRUE(rig.clock->run_to(1s));
  EXPECT_TRUE(rec->every_source_failed());
  const StopResult result = std::move(*rec).stop();
  EXPECT_EQ(rig.err,
            "Mic stream error: Connection terminated\nMic stream error: Connection terminated\n");
  const auto audio = repaired(result.files);
  ASSERT_EQ(audio.size(), 2u);
  EXPECT_NEAR(level(audio[1], 1000.0, 0.05, 0.25), 0.6, 0.01);
  EXPECT_LT(level(audio[1], 1000.0, 0.32, 0.38), 0.001);
  EXPECT_NEAR(level(audio[1], 1000.0, 0.45, 0.65), 0.6, 0.01);
}

}  // namespace
}  // namespace quillbox
