// The finish's write error reports, with real failures: a disk that refuses
// more data (the process's file-size limit), recording files that vanish
// after the recording ended, and files deleted while it runs, which are no
// error at all.

#include <sys/resource.h>

#include <gtest/gtest.h>

#include <cerrno>

#include "file_size_limit.h"
#include "flow_rig.h"
#include "flows/finish_save.h"

namespace quillbox {
namespace {

using namespace std::chrono_literals;
using test_support::FlowRig;
namespace fs = std::filesystem;

// The files of the running recording's session folder, sorted.
std::vector<fs::path> session_files(const FlowRig& rig) {
  std::vector<fs::path> out;
  for (const auto& e : fs::recursive_directory_iterator(rig.dir.path()))
    if (e.is_regular_file()) out.push_back(e.path());
  std::ranges::sort(out);
  return out;
}

// Runs a stems recording until the file-size limit stops it.
void record_until_disk_full(FlowRig& rig) {
  constexpr rlim_t LIMIT = 100'000;
  rlimit saved{};
  ASSERT_NO_FATAL_FAILURE(test_support::limit_file_size(LIMIT, saved));
  const bool started =
      start_recording(rig.app, rig.request(RecordMode::StemsSilence, true, true), std::nullopt);
  if (started) {
    rig.clock->free_run();
    EXPECT_TRUE(
        test_support::eventually([&] { return rig.app.state.recorder->error().has_value(); }));
  }
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ASSERT_TRUE(started);
}

TEST(FinishErrors, TimerFinishesOnAWriteErrorAndKeepsWhatWasSaved) {
  FlowRig rig;
  record_until_disk_full(rig);
  const std::string msg = os_error(EFBIG).text;
  EXPECT_EQ(on_timer(rig.app), FinishOutcome::WriteError);
  EXPECT_FALSE(rig.ui.close_requested);
  ASSERT_EQ(rig.ui.messages.size(), 1u);
  EXPECT_EQ(rig.ui.messages[0],
            (Message{"Recording error",
                     "Recording stopped because writing failed:\n" + msg +
                         "\n\nWhatever was captured before this has been saved.",
                     MessageIcon::Error}));
  ASSERT_GE(rig.ui.statuses.size(), 3u);
  EXPECT_EQ(rig.ui.statuses[1], "Recording error: " + msg);
  EXPECT_TRUE(rig.ui.last_status().starts_with("Saved 2 stems: ")) << rig.ui.last_status();
}

TEST(FinishErrors, AWriteErrorWithNothingSavedShowsOnlyItsBox) {
  FlowRig rig;
  record_until_disk_full(rig);
  const auto files = session_files(rig);
  ASSERT_EQ(files.size(), 2u);
  for (const auto& f : files) fs::remove(f);
  EXPECT_EQ(finish_recording(rig.app), FinishOutcome::WriteError);
  const std::string gone = os_error(ENOENT).text;
  EXPECT_EQ(rig.ui.log,
            (std::vector<std::string>{"status: Recording...",
                                      "status: Recording error: " + os_error(EFBIG).text,
                                      "box: Recording error"}));
  EXPECT_EQ(rig.ui.messages[0].text, "Recording stopped because writing failed:\n" +
                                         os_error(EFBIG).text + "\n\nSave error(s):\n" +
                                         path_to_text(files[0]) + ": " + gone + "\n" +
                                         path_to_text(files[1]) + ": " + gone);
}

// Files deleted while recording are no save error: their open handles still
// reach every byte, so they are saved again under their own names, and a box
// says where.
TEST(FinishErrors, FilesDeletedWhileRecordingAreSavedAgainNotReportedAsSaveErrors) {
  for (bool all : {false, true}) {
    FlowRig rig;
    ASSERT_TRUE(
        start_recording(rig.app, rig.request(RecordMode::StemsSilence, true, true), std::nullopt));
    ASSERT_TRUE(rig.clock->run_to(300ms));
    const auto files = session_files(rig);  // loopback, mic
    ASSERT_EQ(files.size(), 2u);
    fs::remove(files[1]);
    if (all) fs::remove(files[0]);
    EXPECT_EQ(finish_recording(rig.app), FinishOutcome::Saved);
    ASSERT_EQ(rig.ui.messages.size(), 1u);
    EXPECT_EQ(rig.ui.messages[0].caption, "Recording saved again");
    EXPECT_TRUE(rig.ui.messages[0].text.ends_with("\n" + path_to_text(files[0].parent_path())))
        << rig.ui.messages[0].text;
    fs::path loopback = files[0];
    loopback.replace_extension(".wav");
    EXPECT_EQ(rig.ui.last_status(), "Saved 2 stems: " + path_to_text(loopback));
    for (fs::path f : files) EXPECT_TRUE(fs::exists(f.replace_extension(".wav")));
  }
}

}  // namespace
}  // namespace quillbox
