// Starting, switching and timing a recording through the window's flows,
// against the real recorder and a scripted user interface.

#include "flows/recording_control.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <functional>
#include <system_error>
#include <thread>

#include "flow_rig.h"
#include "signal_analysis.h"
#include "wav/normalize.h"

namespace quillbox {
namespace {

using namespace std::chrono_literals;
using test_support::FlowRig;
namespace fs = std::filesystem;

const SourceKey MIC{SourceKind::DefaultMic, {}};

TEST(StartValues, TakeTheOutputFolderOnlyForATimedRun) {
  const std::filesystem::path fallback = "/home/me/quillbox";
  const StartRequest timed = start_values(
      {.duration = 5, .output = "D", .mic = true, .mode = RecordMode::StemsSilence}, fallback);
  EXPECT_EQ(timed.output_dir, "D");
  EXPECT_TRUE(timed.record_system);
  EXPECT_TRUE(timed.record_mic);
  EXPECT_EQ(timed.mode, RecordMode::StemsSilence);
  EXPECT_TRUE(timed.devices.empty());
  const StartRequest untimed =
      start_values({.output = "D", .format = AudioFormat{44100, 2, 16, false}}, fallback);
  EXPECT_EQ(untimed.output_dir, path_to_text(fallback));
  EXPECT_FALSE(untimed.record_mic);
  EXPECT_EQ(untimed.format, (AudioFormat{44100, 2, 16, false}));
  EXPECT_EQ(start_values({.duration = 1}, fallback).output_dir, path_to_text(fallback));
}

TEST(CollectStartRequest, ReadsEveryControl) {
  FlowRig rig;
  rig.app.state.device_names = {"[Loopback] Headset", "USB Mic", "Line In"};
  rig.app.state.device_checked = {true, false, true};
  rig.ui.texts[Control::FolderEdit] = " D:/rec ";
  StartRequest r = rig.request(RecordMode::StemsInstructed, false, true);
  EXPECT_EQ(r.output_dir, " D:/rec ");
  EXPECT_FALSE(r.record_system);
  EXPECT_TRUE(r.record_mic);
  EXPECT_EQ(r.mode, RecordMode::StemsInstructed);
  EXPECT_EQ(r.devices, (std::vector<std::string>{"[Loopback] Headset", "Line In"}));
  EXPECT_FALSE(r.format.has_value());  // no selection

  for (auto [selection, format] :
       std::vector<std::pair<std::optional<std::size_t>, std::optional<AudioFormat>>>{
           {0, std::nullopt}, {2, AudioFormat{48000, 2, 24, false}}, {9, std::nullopt}}) {
    rig.ui.quality = selection;
    EXPECT_EQ(collect_start_request(rig.app).format, format);
  }
  rig.ui.has_mic_box = false;  // no microphone: the missing box reads unticked
  EXPECT_FALSE(rig.request(RecordMode::StemsSilence, true, true).record_mic);
  EXPECT_EQ(collect_start_request(rig.app).mode, RecordMode::StemsSilence);
}

TEST(StartRecording, SucceedsLocksTheLayoutControlsAndKeepsAnEquivalentFolderText) {
  FlowRig rig;
  const std::string typed = path_to_text(rig.dir.path()) + "//";
  rig.ui.texts[Control::FolderEdit] = typed;
  ASSERT_TRUE(start_recording(rig.app, rig.request(RecordMode::Single), std::nullopt));
  EXPECT_EQ(rig.ui.log, (std::vector<std::string>{"status: Recording..."}));
  EXPECT_EQ(rig.ui.texts[Control::FolderEdit], typed);
  EXPECT_EQ(rig.ui.texts[Control::StartButton], "&Stop Recording");
  for (Control c : {Control::SingleRadio, Control::SilenceRadio, Control::InstructedRadio,
                    Control::QualityCombo, Control::AskSaveBox})
    EXPECT_FALSE(rig.ui.is_enabled(c));
  for (Control c : {Control::MicBox, Control::SystemBox, Control::DeviceList, Control::FolderEdit,
                    Control::RepairButton, Control::NormalizeButton})
    EXPECT_TRUE(rig.ui.is_enabled(c));
  EXPECT_EQ(rig.app.state.started_at, rig.ui.clock);
  EXPECT_FALSE(rig.app.state.deadline.has_value());
  EXPECT_EQ(rig.ui.text(Control::DurationLabel), "");

  finish_recording(rig.app);
  EXPECT_EQ(rig.ui.texts[Control::StartButton], "&Start Recording");
  for (Control c : {Control::SingleRadio, Control::QualityCombo, Control::AskSaveBox})
    EXPECT_TRUE(rig.ui.is_enabled(c));
}

// The rows of the start's failure and warning reports.
TEST(StartRecording, ReportsFailuresAndWarnings) {
  {  // No place can hold the recording.
    FlowRig rig;
    std::ofstream(rig.dir / "blocker") << "x";
    rig.ui.texts[Control::FolderEdit] = path_to_text(rig.dir / "blocker" / "sub");
    EXPECT_FALSE(start_recording(rig.app, rig.request(RecordMode::Single), std::nullopt));
    EXPECT_EQ(rig.ui.last_status(),
              "Recording couldn't be started: no writeable output directory.");
    ASSERT_EQ(rig.ui.messages.size(), 1u);
    EXPECT_EQ(rig.ui.messages[0].caption, "Cannot start recording");
    EXPECT_TRUE(rig.ui.messages[0].text.starts_with(
        "Recording couldn't be started because no writeable directory could be found."));
    EXPECT_NE(rig.ui.messages[0].text.find("blocker"), std::string::npos);
    EXPECT_EQ(rig.ui.messages[0].icon, MessageIcon::Error);
    EXPECT_FALSE(rig.app.state.recorder.has_value());
    EXPECT_TRUE(rig.ui.is_enabled(Control::SingleRadio));
    EXPECT_FALSE(rig.ui.texts.contains(Control::StartButton));
  }
  {  // A source that fails to start is a warning box; the recording runs.
    auto config = test_support::speakers_and_mic();
    config.inputs[0].start_error = "device busy";
    FlowRig rig(config);
    ASSERT_TRUE(
        start_recording(rig.app, rig.request(RecordMode::Single, true, true), std::nullopt));
    const std::string warning = "Microphone failed to start: device busy";
    EXPECT_EQ(rig.ui.last_status(), "Recording (warning: " + warning + ")");
    ASSERT_EQ(rig.ui.messages.size(), 1u);
    EXPECT_EQ(rig.ui.messages[0],
              (Message{"Recording started with problems",
                       "Recording is running, but:\n\n" + warning, MessageIcon::Warning}));
    EXPECT_TRUE(rig.app.state.recorder.has_value());
  }
  {  // The created-folder note reaches the status line only.
    FlowRig rig;
    const auto made = rig.dir / "new";
    rig.ui.texts[Control::FolderEdit] = path_to_text(made);
    ASSERT_TRUE(start_recording(rig.app, rig.request(RecordMode::Single), std::nullopt));
    EXPECT_EQ(rig.ui.last_status(),
              "Recording (warning: Created output directory " + path_to_text(made) + ")");
    EXPECT_TRUE(rig.ui.messages.empty());
  }
  {  // An empty folder field is replaced by the folder really used.
    FlowRig rig;
    rig.app.recorder_env.paths.current_dir = [] {
      return std::optional(std::filesystem::temp_directory_path());
    };
    rig.ui.texts[Control::FolderEdit] = "";
    ASSERT_TRUE(start_recording(rig.app, rig.request(RecordMode::Single), std::nullopt));
    EXPECT_EQ(rig.ui.texts[Control::FolderEdit],
              path_to_text(rig.app.state.recorder->output_dir()));
    EXPECT_FALSE(rig.ui.texts[Control::FolderEdit].empty());
    const StopResult stopped = std::move(*rig.app.state.recorder).stop();
    rig.app.state.recorder.reset();
    for (const auto& f : stopped.files) std::filesystem::remove(f);
  }
}

TEST(DurationText, ShowsWholeMinutesAndHours) {
  FlowRig rig;
  rig.app.state.started_at = rig.ui.clock;
  const auto start = rig.ui.clock;
  for (auto [elapsed, label] : std::vector<std::pair<std::chrono::milliseconds, std::string>>{
           {900ms, ""},
           {1s, "Duration: 0m"},
           {59s, "Duration: 0m"},
           {3599s, "Duration: 59m"},
           {3600s, "Duration: 1h 0m"},
           {3600s + 61min, "Duration: 2h 1m"}}) {
    rig.ui.clock = start + elapsed;
    update_duration_text(rig.app);
    EXPECT_EQ(rig.ui.text(Control::DurationLabel), label) << elapsed.count();
  }
  rig.ui.clock = start - 5s;  // a clock that reads earlier counts as no time
  rig.ui.texts[Control::DurationLabel] = "kept";
  update_duration_text(rig.app);
  EXPECT_EQ(rig.ui.text(Control::DurationLabel), "kept");
}

TEST(Timer, StopsAtTheDeadlineAndClosesEvenWithoutARecording) {
  FlowRig rig;
  ASSERT_TRUE(start_recording(rig.app, rig.request(RecordMode::Single), 2));
  ASSERT_TRUE(rig.clock->run_to(300ms));
  rig.ui.clock += 1s;
  EXPECT_FALSE(on_timer(rig.app).has_value());
  EXPECT_EQ(rig.ui.text(Control::DurationLabel), "Duration: 0m");
  rig.ui.clock += 1s;
  EXPECT_EQ(on_timer(rig.app), FinishOutcome::Saved);
  EXPECT_TRUE(rig.ui.close_requested);
  EXPECT_FALSE(rig.app.state.recorder.has_value());
  EXPECT_TRUE(rig.ui.last_status().starts_with("Saved: "));

  FlowRig failed;  // a timed run whose start failed still closes at its deadline
  failed.app.state.deadline = failed.ui.clock + 1s;
  EXPECT_FALSE(on_timer(failed.app).has_value());
  failed.ui.clock += 1s;
  EXPECT_EQ(on_timer(failed.app), FinishOutcome::NoRecording);
  EXPECT_TRUE(failed.ui.close_requested);
}

// A timed run is often unattended: a quiet mix is not offered for
// normalizing (the question would hold the run open); the status line and
// standard error say it can be, and the window closes at the deadline.
TEST(Timer, ATimedRunNeverWaitsOnTheNormalizeQuestion) {
  FlowRig rig;
  ASSERT_TRUE(start_recording(rig.app, rig.request(RecordMode::Single), 1));
  ASSERT_TRUE(rig.clock->run_to(500ms));
  rig.ui.clock += 1s;
  EXPECT_EQ(on_timer(rig.app), FinishOutcome::Saved);
  EXPECT_TRUE(rig.ui.close_requested);
  EXPECT_TRUE(rig.ui.messages.empty()) << rig.ui.messages.front().caption;
  const std::string tool = "use \"Normalize WAV file...\" to raise it to peak volume.";
  const std::string status = rig.ui.last_status();
  ASSERT_TRUE(status.starts_with("Saved: ")) << status;
  ASSERT_TRUE(status.ends_with("\nThe file is quiet; " + tool)) << status;
  const fs::path saved = path_from_utf8(status.substr(7, status.find('\n') - 7));
  EXPECT_NEAR(wav_peak(saved).value_or(0), 0.3, 0.001);
  EXPECT_EQ(rig.err,
            "Recording used 1 of 2 sources and the file is quiet (headroom from unused sources). "
            "It was not normalized (a timed recording); " +
                tool + "\n");

  // Stopped by hand before its deadline it is still a timed run; a recording
  // started by hand afterwards asks again.
  FlowRig early;
  ASSERT_TRUE(start_recording(early.app, early.request(RecordMode::Single), 60));
  ASSERT_TRUE(early.clock->run_to(500ms));
  EXPECT_EQ(finish_recording(early.app), FinishOutcome::Saved);
  EXPECT_TRUE(early.ui.messages.empty());
  ASSERT_TRUE(early.record(RecordMode::Single, 500ms));
  EXPECT_EQ(finish_recording(early.app), FinishOutcome::Saved);
  ASSERT_EQ(early.ui.messages.size(), 1u);
  EXPECT_EQ(early.ui.messages[0].caption, "Normalize recording?");
}

// The sound server goes away: every source fails, so the next tick stops
// the recording, saves what was captured and says why; the window stays open.
TEST(Timer, FinishesWhenEverySourceHasFailed) {
  test_support::ScratchDir exe;
  auto config = test_support::speakers_and_mic();
  config.exe_dir = exe.path();
  config.outputs[0].fail_after = {{300ms, "spk.monitor: Connection terminated"}};
  config.inputs[0].fail_after = {{300ms, "Connection terminated"}};
  FlowRig rig(config);
  ASSERT_TRUE(rig.record(RecordMode::Single, 200ms, true, true));
  EXPECT_FALSE(on_timer(rig.app).has_value());
  ASSERT_TRUE(rig.clock->run_to(400ms));
  rig.ui.log.clear();
  EXPECT_EQ(on_timer(rig.app), FinishOutcome::SourcesFailed);
  EXPECT_FALSE(rig.app.state.recorder.has_value());
  EXPECT_FALSE(rig.ui.close_requested);
  EXPECT_EQ(rig.ui.statuses[rig.ui.statuses.size() - 2], "Recording stopped: every source failed.");
  EXPECT_EQ(rig.ui.messages.back(),
            (Message{"Recording stopped",
                     "Every source of the recording failed:\n"
                     "Loopback capture error: spk.monitor: Connection terminated\n"
                     "Mic stream error: Connection terminated\n\n"
                     "Whatever was captured before this has been saved.",
                     MessageIcon::Error}));
  ASSERT_TRUE(rig.ui.last_status().starts_with("Saved: ")) << rig.ui.last_status();
  const auto audio = signal::read_wav(path_from_utf8(rig.ui.last_status().substr(7)));
  ASSERT_TRUE(audio.has_value());
  EXPECT_NEAR(signal::tone_amplitude(audio->channel(0, 2400, 12000), 48000, 440.0), 0.3, 0.01);
}

// A timed run whose sources all failed is finished at the next tick, and
// the box that says so may find nobody to answer it: the timer ticks on
// under the box and the run closes at its deadline, whether the window
// runs the timer flow under the box or only looks at the deadline there.
TEST(Timer, ATimedRunClosesAtItsDeadlineUnderAnUnansweredBox) {
  test_support::ScratchDir exe;
  auto config = test_support::speakers_and_mic();
  config.exe_dir = exe.path();
  config.outputs[0].fail_after = {{300ms, "spk.monitor: Connection terminated"}};
  FlowRig rig(config);
  ASSERT_TRUE(start_recording(rig.app, rig.request(RecordMode::Single), 2));
  ASSERT_TRUE(rig.clock->run_to(400ms));
  std::vector<std::string> under_box;
  bool closing_under_box = false;
  rig.ui.while_shown = [&](const Message& box) {
    under_box.push_back(box.caption);
    on_timer_under_box(rig.app);
    EXPECT_FALSE(rig.ui.close_requested) << "before the deadline";
    rig.ui.clock += 2s;
    on_timer_under_box(rig.app);
    closing_under_box = rig.ui.close_requested;
    rig.ui.close_requested = false;
    EXPECT_EQ(on_timer(rig.app), FinishOutcome::NoRecording);
  };
  rig.ui.clock += 1s;
  EXPECT_EQ(on_timer(rig.app), FinishOutcome::SourcesFailed);
  EXPECT_EQ(under_box, std::vector<std::string>{"Recording stopped"});
  EXPECT_TRUE(closing_under_box);
  EXPECT_TRUE(rig.ui.close_requested);
  EXPECT_FALSE(rig.app.state.deadline.has_value());
  EXPECT_TRUE(rig.ui.last_status().starts_with("Saved: ")) << rig.ui.last_status();
}

TEST(SwitchSourceLive, FailedStartIsReportedAndAStartAfterTheStopIsDropped) {
  struct Case {
    synthetic::SyntheticConfig config;
    WorkerStarter start_worker;
    std::string error;
  };
  auto busy = test_support::speakers_and_mic();
  busy.inputs[0].start_error = "device busy";
  const WorkerStarter no_threads = [](std::function<void()>) -> std::thread {
    throw std::system_error(EAGAIN, std::generic_category());
  };
  for (const auto& [config, start_worker, error] :
       {Case{busy, {}, "device busy"},
        // The start's worker thread cannot be started.
        Case{test_support::speakers_and_mic(), no_threads,
             std::generic_category().message(EAGAIN)}}) {
    SCOPED_TRACE(error);
    FlowRig rig(config);
    rig.app.recorder_env.start_worker = start_worker;
    ASSERT_TRUE(start_recording(rig.app, rig.request(RecordMode::Single), std::nullopt));
    rig.ui.log.clear();

    switch_source_live(rig.app, MIC, true);
    EXPECT_FALSE(rig.ui.is_enabled(Control::MicBox));  // pending
    auto outcome = rig.ui.wait_posted();
    ASSERT_TRUE(outcome.has_value());
    on_source_started(rig.app, std::move(*outcome));
    EXPECT_TRUE(rig.ui.is_enabled(Control::MicBox));
    EXPECT_EQ(rig.ui.focused, Control::MicBox);
    const std::string text = "Failed to start mic: " + error;
    EXPECT_EQ(rig.ui.last_status(), "Source failed to start: " + text);
    ASSERT_EQ(rig.ui.messages.size(), 1u);
    EXPECT_EQ(rig.ui.messages[0],
              (Message{"Source failed to start", "A source could not be started:\n" + text,
                       MessageIcon::Error}));
    EXPECT_EQ(finish_recording(rig.app), FinishOutcome::Saved);
  }
}

TEST(SwitchSourceLive, StartsASourceAndDropsAResultThatArrivesAfterTheStop) {
  FlowRig rig;
  ASSERT_TRUE(start_recording(rig.app, rig.request(RecordMode::Single), std::nullopt));
  ASSERT_TRUE(rig.clock->run_to(200ms));
  switch_source_live(rig.app, MIC, true);
  auto started = rig.ui.wait_posted();
  ASSERT_TRUE(started.has_value());
  on_source_started(rig.app, std::move(*started));
  EXPECT_TRUE(rig.ui.is_enabled(Control::MicBox));
  EXPECT_EQ(rig.capture->live_stream_count(), 2u);

  // Switching on a running source is answered at once, without a box.
  rig.ui.focused.reset();
  switch_source_live(rig.app, MIC, true);
  EXPECT_TRUE(rig.ui.is_enabled(Control::MicBox));
  EXPECT_EQ(rig.ui.focused, Control::MicBox);
  EXPECT_FALSE(rig.ui.wait_posted(std::chrono::seconds(0)).has_value());
  EXPECT_TRUE(rig.ui.messages.empty());

  // Off, on again; the outcome arrives only after the stop.
  switch_source_live(rig.app, MIC, false);
  EXPECT_EQ(rig.capture->live_stream_count(), 1u);
  switch_source_live(rig.app, MIC, true);
  auto late = rig.ui.wait_posted();
  ASSERT_TRUE(late.has_value());
  ASSERT_TRUE(rig.clock->run_to(400ms));
  EXPECT_EQ(finish_recording(rig.app), FinishOutcome::Saved);
  const std::size_t boxes = rig.ui.messages.size();  // a normalize offer may have come
  on_source_started(rig.app, std::move(*late));
  EXPECT_EQ(rig.ui.messages.size(), boxes);
  EXPECT_TRUE(rig.ui.is_enabled(Control::MicBox));
  EXPECT_EQ(rig.capture->live_stream_count(), 0u);

  // Sources the recording does not have, or no recording: nothing happens.
  switch_source_live(rig.app, MIC, true);
  EXPECT_TRUE(rig.ui.is_enabled(Control::MicBox));
  ASSERT_TRUE(start_recording(rig.app, rig.request(RecordMode::Single), std::nullopt));
  switch_source_live(rig.app, SourceKey{SourceKind::InputDevice, "Line In"}, true);
  EXPECT_TRUE(rig.ui.is_enabled(Control::DeviceList));
  EXPECT_FALSE(rig.ui.wait_posted(std::chrono::seconds(0)).has_value());
  finish_recording(rig.app);
}

}  // namespace
}  // namespace quillbox
