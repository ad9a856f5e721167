// The texts that tell of lost audio and of a recording whose every source
// failed, and where they appear.

#include "flows/loss_report.h"

#include <gtest/gtest.h>

#include "fake_ui.h"

namespace quillbox {
namespace {

using namespace std::chrono_literals;

TEST(LossReport, TimesReadAsMinutesAndSecondsThenHours) {
  EXPECT_EQ(clock_text(0s), "0:00");
  EXPECT_EQ(clock_text(160s), "2:40");
  EXPECT_EQ(clock_text(3599s), "59:59");
  EXPECT_EQ(clock_text(3600s), "1:00:00");
  EXPECT_EQ(clock_text(36125s), "10:02:05");
  EXPECT_EQ(clock_text(-5s), "0:00");
}

// One line per source: the seconds lost in all to one decimal, and where
// each stretch begins (whole seconds from the start, never rounded up).
TEST(LossReport, OneLinePerSourceWithItsTotalAndEveryStretch) {
  const std::vector<LostAudio> lost{
      {"System audio", {{160.9, 20.04}}},
      {"Microphone", {{10.0, 0.3}, {3725.5, 1.0}}},
      {"[Loopback] Headset", {{1.0, 1.0}, {2.0, 1.0}, {65.0, 0.04}}},
  };
  EXPECT_EQ(lost_audio_lines(lost),
            (std::vector<std::string>{
                "System audio: 20.0 s lost at 2:40 while writing could not keep up",
                "Microphone: 1.3 s lost at 0:10 and 1:02:05 while writing could not keep up",
                "[Loopback] Headset: 2.0 s lost at 0:01, 0:02 and 1:05 while writing could not "
                "keep up",
            }));
}

// The window's status line carries the lines, and one box lists them one
// to a line (the console prints the box's text, so each line stands alone).
TEST(LossReport, LostAudioGoesToTheStatusLineAndOneBox) {
  test_support::FakeUi ui;
  report_lost_audio(ui, {});
  EXPECT_TRUE(ui.log.empty());

  report_lost_audio(ui, {{"System audio", {{160.0, 20.0}}}, {"Microphone", {{160.0, 20.0}}}});
  EXPECT_EQ(ui.statuses,
            (std::vector<std::string>{
                "System audio: 20.0 s lost at 2:40 while writing could not keep up; Microphone: "
                "20.0 s lost at 2:40 while writing could not keep up"}));
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0],
            (Message{"Audio lost",
                     "Some audio could not be kept; it is silence in the recording:\n"
                     "System audio: 20.0 s lost at 2:40 while writing could not keep up\n"
                     "Microphone: 20.0 s lost at 2:40 while writing could not keep up",
                     MessageIcon::Warning}));
}

TEST(LossReport, EverySourceFailedIsStatusAndBoxWithEachFailure) {
  test_support::FakeUi ui;
  StopResult stopped;
  EXPECT_FALSE(report_every_source_failed(ui, stopped));
  EXPECT_TRUE(ui.log.empty());

  stopped.every_source_failed = {"Loopback capture error: speakers.monitor: Connection terminated",
                                 "Mic stream error: Connection terminated"};
  EXPECT_TRUE(report_every_source_failed(ui, stopped));
  EXPECT_EQ(ui.statuses, (std::vector<std::string>{"Recording stopped: every source failed."}));
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0],
            (Message{"Recording stopped",
                     "Every source of the recording failed:\n"
                     "Loopback capture error: speakers.monitor: Connection terminated\n"
                     "Mic stream error: Connection terminated\n\n"
                     "Whatever was captured before this has been saved.",
                     MessageIcon::Error}));
}

}  // namespace
}  // namespace quillbox
