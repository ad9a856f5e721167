// The window's Repair and Normalize buttons.

#include "flows/file_tools_flow.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>

#include "flow_rig.h"
#include "flows/finish_save.h"
#include "signal_analysis.h"
#include "wav/normalize.h"
#include "wav/wav_header.h"

namespace quillbox {
namespace {

using namespace std::chrono_literals;
using test_support::FlowRig;
namespace fs = std::filesystem;

const SourceKey MIC{SourceKind::DefaultMic, {}};

// The files of `dir` and of the folders in it whose names end in `extension`,
// with their sizes.
std::map<fs::path, std::uintmax_t> files_ending(const fs::path& dir, const char* extension) {
  std::map<fs::path, std::uintmax_t> out;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.path().extension() == extension) out[e.path()] = fs::file_size(e.path());
  return out;
}

TEST(RepairButton, SummarizesWhatItFound) {
  FlowRig rig;
  const std::string folder = path_to_text(rig.dir / "none");
  rig.ui.texts[Control::FolderEdit] = folder;
  run_repair_button(rig.app);
  ASSERT_EQ(rig.ui.messages.size(), 1u);
  EXPECT_EQ(
      rig.ui.messages[0],
      (Message{"Repair Results", "No incomplete recordings found.\n\nDirectory checked:\n" + folder,
               MessageIcon::Information}));

  const auto header = build_header(AudioFormat{48000, 2, 16, false}, 0);
  for (const char* name : {"a.recpart", "b.recpart"})
    test_support::write_bytes(rig.dir / name, header.view());
  std::ofstream(rig.dir / "bad.recpart") << "short";
  rig.ui.texts[Control::FolderEdit] = path_to_text(rig.dir.path());
  run_repair_button(rig.app);
  EXPECT_EQ(rig.ui.messages[1].text,
            "3 incomplete recording(s) found.\n2 repaired successfully.\n1 failed to repair."
            "\n\nDirectory checked:\n" +
                path_to_text(rig.dir.path()));
  fs::remove(rig.dir / "bad.recpart");
  test_support::write_bytes(rig.dir / "c.recpart", header.view());
  run_repair_button(rig.app);
  EXPECT_EQ(rig.ui.messages[2].text,
            "1 incomplete recording(s) found.\n1 repaired successfully.\n\nDirectory checked:\n" +
                path_to_text(rig.dir.path()));
}

// Repair while recording takes the left-overs of an earlier crash and leaves
// every file of the running recording to it, those it makes later included:
// the recording's own files are whole when it stops.
TEST(RepairButton, LeavesTheRunningRecordingsFilesAlone) {
  for (const RecordMode mode : {RecordMode::Single, RecordMode::StemsInstructed}) {
    SCOPED_TRACE(static_cast<int>(mode));
    FlowRig rig;
    // Parts of a fraction of a second: new ones come while recording.
    rig.app.recorder_env.part_size_limit = 48000 * 2 * 4 / 4;
    const fs::path old_session = rig.dir / "recording_2020-01-01_00-00";
    fs::create_directory(old_session);
    // As a crash leaves a file: sizes of zero in the header, audio after it.
    const auto header = build_header(AudioFormat{48000, 2, 16, false}, 0);
    std::vector<std::byte> crashed(header.view().begin(), header.view().end());
    crashed.resize(crashed.size() + 4 * 480);
    for (const fs::path& p : {rig.dir / "crashed.recpart", old_session / "Speakers.recpart"})
      test_support::write_bytes(p, crashed);
    const auto leftovers = files_ending(rig.dir.path(), ".recpart");

    ASSERT_TRUE(rig.record(mode, 600ms, true, true));
    auto live = files_ending(rig.dir.path(), ".recpart");
    for (const auto& [path, size] : leftovers) live.erase(path);
    ASSERT_FALSE(live.empty());

    const std::string checked = "\n\nDirectory checked:\n" + path_to_text(rig.dir.path());
    run_repair_button(rig.app);
    ASSERT_EQ(rig.ui.messages.size(), 1u);
    EXPECT_EQ(rig.ui.messages[0].text,
              "2 incomplete recording(s) found.\n2 repaired successfully." + checked);
    EXPECT_EQ(files_ending(rig.dir.path(), ".recpart"), live);
    EXPECT_TRUE(fs::exists(rig.dir / "crashed.wav"));
    EXPECT_TRUE(fs::exists(old_session / "Speakers.wav"));

    // A new segment and new parts come while recording.
    if (mode == RecordMode::StemsInstructed) {
      switch_source_live(rig.app, MIC, false);
      ASSERT_TRUE(rig.clock->run_to(800ms));
      switch_source_live(rig.app, MIC, true);
      auto started = rig.ui.wait_posted();
      ASSERT_TRUE(started.has_value());
      on_source_started(rig.app, std::move(*started));
    }
    ASSERT_TRUE(rig.clock->run_to(1200ms));
    const auto later = files_ending(rig.dir.path(), ".recpart");
    EXPECT_GT(later.size(), live.size());
    std::uintmax_t before = 0, after = 0;
    for (const auto& [path, size] : live) {
      ASSERT_TRUE(later.contains(path)) << path_to_text(path);
      before += size;
      after += later.at(path);
    }
    EXPECT_GT(after, before);
    // The same folder written otherwise holds the same files.
    const std::string typed = path_to_text(rig.dir.path()) + "/./";
    rig.ui.texts[Control::FolderEdit] = typed;
    run_repair_button(rig.app);
    ASSERT_EQ(rig.ui.messages.size(), 2u);
    EXPECT_EQ(rig.ui.messages[1].text,
              "No incomplete recordings found.\n\nDirectory checked:\n" + typed);
    EXPECT_EQ(files_ending(rig.dir.path(), ".recpart").size(), later.size());

    ASSERT_EQ(finish_recording(rig.app), FinishOutcome::Saved);
    EXPECT_TRUE(files_ending(rig.dir.path(), ".recpart").empty());
    // Every file of the recording reads as WAV; the system audio's run the
    // whole 1.2 s, the microphone's (a stem) all but the 0.2 s it was off.
    double system_seconds = 0, mic_seconds = 0;
    for (const auto& [path, size] : files_ending(rig.dir.path(), ".wav")) {
      if (path.parent_path() == old_session || path.filename() == "crashed.wav") continue;
      const auto audio = signal::read_wav(path);
      ASSERT_TRUE(audio.has_value()) << path_to_text(path);
      const double seconds = double(audio->frames()) / audio->sample_rate;
      if (path_to_text(path.filename()).starts_with("mic"))
        mic_seconds += seconds;
      else
        system_seconds += seconds;
    }
    EXPECT_NEAR(system_seconds, 1.2, 0.02);
    if (mode == RecordMode::StemsInstructed) {
      EXPECT_NEAR(mic_seconds, 1.0, 0.02);
    }
  }
}

TEST(NormalizeButton, ReportsEachResult) {
  FlowRig rig;
  const auto write_wav = [&](const char* name, std::vector<std::int16_t> samples) {
    const auto header = build_header(AudioFormat{8000, 1, 16, false},
                                     static_cast<std::uint32_t>(samples.size() * 2));
    std::vector<std::byte> bytes(header.view().begin(), header.view().end());
    const auto* data = reinterpret_cast<const std::byte*>(samples.data());
    bytes.insert(bytes.end(), data, data + samples.size() * 2);
    test_support::write_bytes(rig.dir / name, bytes);
    return rig.dir / name;
  };
  const fs::path quiet = write_wav("quiet.wav", {100, -16384, 1000});
  const fs::path full = write_wav("full.wav", {32767, -5});
  const fs::path junk = rig.dir / "junk.wav";
  std::ofstream(junk) << "not a wav file at all, not at all";

  run_normalize_button(rig.app);  // cancelled: nothing
  EXPECT_TRUE(rig.ui.log.empty());
  ASSERT_EQ(rig.ui.open_requests.size(), 1u);
  EXPECT_EQ(rig.ui.open_requests[0].title, "Select WAV file to normalize");
  ASSERT_EQ(rig.ui.open_requests[0].filters.size(), 2u);
  EXPECT_EQ(rig.ui.open_requests[0].filters[1].label, "All Files (*.*)");

  rig.ui.dialogs = {quiet, full, junk};
  for (int i = 0; i < 3; ++i) run_normalize_button(rig.app);
  ASSERT_EQ(rig.ui.messages.size(), 3u);
  EXPECT_EQ(rig.ui.messages[0], (Message{"Normalize complete", "Normalized: " + path_to_text(quiet),
                                         MessageIcon::Information}));
  EXPECT_EQ(rig.ui.messages[1],
            (Message{"Normalize skipped", "Already at peak, no change: " + path_to_text(full),
                     MessageIcon::Information}));
  EXPECT_EQ(rig.ui.messages[2].caption, "Normalize error");
  EXPECT_TRUE(rig.ui.messages[2].text.starts_with("Normalize failed: ")) << rig.ui.messages[2].text;
  EXPECT_EQ(rig.ui.messages[2].icon, MessageIcon::Error);
  EXPECT_EQ(rig.ui.statuses,
            (std::vector<std::string>{rig.ui.messages[0].text, rig.ui.messages[1].text,
                                      rig.ui.messages[2].text}));
  EXPECT_NEAR(wav_peak(quiet).value_or(0), 1.0, 0.001);
}

}  // namespace
}  // namespace quillbox
