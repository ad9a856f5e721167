// The window's Repair and Normalize buttons.

#include "flows/file_tools_flow.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "flow_rig.h"
#include "wav/normalize.h"
#include "wav/wav_header.h"

namespace quillbox {
namespace {

using test_support::FlowRig;
namespace fs = std::filesystem;

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
