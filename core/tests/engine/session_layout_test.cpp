#include "engine/session_layout.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

#include "base/file.h"
#include "base/platform_paths.h"
#include "base/text.h"
#include "test_support.h"

namespace quillbox {
namespace {

namespace fs = std::filesystem;
using test_support::ScratchDir;

TEST(SanitizeLabel, KeepsLettersDigitsAndFewMarks) {
  const std::pair<std::string, std::string> cases[] = {
      {"USB Mic: Line 1/2", "USB Mic_ Line 1_2"},
      {"[Loopback] Speakers (USB Audio)", "[Loopback] Speakers (USB Audio)"},
      {"__a.b__", "a_b"},
      {"***", ""},
      {"", ""},
      {"a\\b\tc_d", "a_b_c_d"},
      {" _x", "_x"},  // spaces go only after the underscores
      {"Mikrofon (Realtek\u00AE Audio)", "Mikrofon (Realtek_ Audio)"},
      {"Stra\u00DFe \u00DCbung \u65E5\u672C \u0915\u093E",
       "Stra\u00DFe \u00DCbung \u65E5\u672C \u0915\u093E"},
      {"\u0663\u00B2\u216B", "\u0663\u00B2\u216B"},  // Nd, No, Nl
      {"a\u00A0b\u0301", "a_b"},                     // no-break space, combining accent
      {"Mic \xF0\x9F\x8E\xA4", "Mic"},
      {"a\xFF\xC3", "a"},  // undecodable bytes
      {"\xC3\xA4\xE2\x82", "\xC3\xA4"},
  };
  for (const auto& [name, label] : cases) EXPECT_EQ(sanitize_label(name), label) << name;
}

TEST(NoWritableDirText, ListsEveryPlaceTried) {
  const std::string head =
      "Recording couldn't be started because no writeable directory could be found. Please set "
      "the output directory field to a folder you can write to.";
  EXPECT_EQ(no_writable_dir_text({}), head);
  const NoWritableDir error{{{fs::path("a") / "b", "Denied (os error 5)"}, {"c", "Gone"}}};
  EXPECT_EQ(no_writable_dir_text(error), head + "\n\nTried:\n" + path_to_text(fs::path("a") / "b") +
                                             ": Denied (os error 5)\nc: Gone");
}

// Where the fake platform puts the well-known places.
struct Places {
  std::optional<fs::path> cwd, exe, documents;
};
Places places;
PlatformPaths fake_paths() {
  return {[] { return places.cwd; }, [] { return places.exe; }, [] { return places.documents; }};
}

constexpr AudioFormat CD{44100, 2, 16, false};
constexpr AudioFormat MONO24{48000, 1, 24, false};
constexpr AudioFormat FLOAT{48000, 2, 32, true};
const std::regex OS_ERROR(".+ \\(os error [0-9]+\\)");

class SessionLayoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    places = {scratch / "cwd", scratch / "exe", scratch / "docs"};
    for (const auto& dir : {places.cwd, places.exe, places.documents}) fs::create_directories(*dir);
  }

  static SessionRequest request(RecordMode mode, std::vector<std::string> labels,
                                std::vector<bool> active, std::string output_dir = {}) {
    std::vector<AudioFormat> specs(labels.size(), CD);
    if (specs.size() > 1) specs[1] = MONO24;
    return {.output_dir = std::move(output_dir),
            .mode = mode,
            .timestamp = "2024-05-06_07-08",
            .specs = std::move(specs),
            .session_spec = FLOAT,
            .labels = std::move(labels),
            .active = std::move(active)};
  }
  static std::expected<SessionLayout, NoWritableDir> lay_out(const SessionRequest& r) {
    return create_session_layout(r, fake_paths());
  }

  ScratchDir scratch;
};

TEST_F(SessionLayoutTest, SingleFileInTheDefaultFolder) {
  const fs::path dir = *places.cwd / "quillbox";
  auto first = lay_out(request(RecordMode::Single, {"loopback", "mic"}, {true, true}));
  ASSERT_TRUE(first);
  EXPECT_EQ(first->dir, dir);
  EXPECT_TRUE(first->dir_created);
  EXPECT_EQ(first->notice, "Created output directory " + path_to_text(dir));
  EXPECT_EQ(first->files, std::vector{dir / "recording_2024-05-06_07-08.recpart"});
  EXPECT_FALSE(first->instructions);
  ASSERT_EQ(first->writers.size(), 1u);
  RecpartWriter& w = first->writers[0];
  EXPECT_EQ(w.base_path, first->files[0]);
  EXPECT_EQ(w.spec, CD);
  EXPECT_EQ(std::tie(w.part, w.segment, w.segment_started, w.data_bytes),
            std::tuple(1u, 1u, true, 0u));
  ASSERT_TRUE(w.file && w.file->is_open());
  ASSERT_TRUE(w.file->flush());
  EXPECT_EQ(fs::file_size(first->files[0]), 58u);  // the mixed file's float header

  // The folder exists now, and the first name is taken.
  auto second = lay_out(request(RecordMode::Single, {"loopback"}, {true}));
  ASSERT_TRUE(second);
  EXPECT_FALSE(second->dir_created);
  EXPECT_FALSE(second->notice);
  EXPECT_EQ(second->files, std::vector{dir / "recording_2024-05-06_07-08_1.recpart"});
}

TEST_F(SessionLayoutTest, UnwritableOutputFolderFallsBackToTheCurrentDirectory) {
  test_support::write_bytes(scratch / "file", std::string("keep"));
  for (const fs::path& primary : {scratch / "file", scratch / "file" / "sub"}) {
    auto layout = lay_out(request(RecordMode::Single, {"loopback"}, {true}, path_to_text(primary)));
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->dir, *places.cwd);
    EXPECT_FALSE(layout->dir_created);
    const std::string error = create_dir_all(primary).error().text;
    EXPECT_TRUE(std::regex_match(error, OS_ERROR)) << error;
    EXPECT_EQ(layout->notice, "Could not write to " + path_to_text(primary) + "; recording in " +
                                  path_to_text(*places.cwd) + " instead: " + error);
  }
  EXPECT_EQ(fs::file_size(scratch / "file"), 4u);
}

TEST_F(SessionLayoutTest, EveryPlaceFailsInOrderWithoutRepeatsAndLeavesNothing) {
  const fs::path cwd = *places.cwd, exe = *places.exe, docs = *places.documents;
  struct Case {
    std::string output_dir;
    Places places;
    std::vector<fs::path> tried;
  };
  const std::string cwd_text = path_to_text(cwd);
  const Case cases[] = {
      {"", places, {cwd / "quillbox", cwd, exe / "quillbox", exe, docs / "quillbox"}},
      {cwd_text, places, {cwd, exe / "quillbox", exe, docs / "quillbox"}},
      {cwd_text + "/", places, {cwd / "", exe / "quillbox", exe, docs / "quillbox"}},
      {"", {cwd, cwd, std::nullopt}, {cwd / "quillbox", cwd}},
      {cwd_text, {}, {cwd}},
  };
  for (const Case& c : cases) {
    places = c.places;
    // A label naming a missing folder fails once the session folder exists.
    auto layout =
        lay_out(request(RecordMode::StemsSilence, {"ok", "missing/x"}, {true, true}, c.output_dir));
    ASSERT_FALSE(layout) << c.output_dir;
    std::vector<fs::path> tried;
    std::string expected = no_writable_dir_text({}) + "\n\nTried:";
    for (const auto& [dir, error] : layout.error().tried) {
      tried.push_back(dir);
      EXPECT_TRUE(std::regex_match(error, OS_ERROR)) << error;
      expected += "\n" + path_to_text(dir) + ": " + error;
    }
    EXPECT_EQ(tried, c.tried);
    EXPECT_EQ(no_writable_dir_text(layout.error()), expected);
    for (const fs::path& dir : {cwd, exe, docs}) EXPECT_TRUE(fs::is_empty(dir)) << dir;
  }
}

TEST_F(SessionLayoutTest, SilenceStemsOpenEveryFileAtOnce) {
  const fs::path dir = *places.cwd / "quillbox";
  fs::create_directories(dir);
  test_support::write_bytes(dir / "recording_2024-05-06_07-08.recpart", std::string("x"));
  auto layout = lay_out(request(RecordMode::StemsSilence, {"loopback", "mic", "mic", ""},
                                {true, false, true, false}));
  ASSERT_TRUE(layout);
  EXPECT_FALSE(layout->notice);
  const fs::path session = dir / "recording_2024-05-06_07-08_1";
  const std::vector<fs::path> files{session / "loopback.recpart", session / "mic.recpart",
                                    session / "mic_1.recpart", session / ".recpart"};
  EXPECT_EQ(layout->files, files);
  EXPECT_FALSE(layout->instructions);
  ASSERT_EQ(layout->writers.size(), 4u);
  for (std::size_t i = 0; i < files.size(); ++i) {
    const RecpartWriter& w = layout->writers[i];
    EXPECT_EQ(w.base_path, files[i]);
    EXPECT_EQ(w.spec, i == 1 ? MONO24 : CD);
    EXPECT_TRUE(w.segment_started && w.file && w.part == 1 && w.segment == 1) << i;
    EXPECT_TRUE(fs::exists(files[i]));
  }
}

TEST_F(SessionLayoutTest, InstructedStemsOpenOnlyActiveSourcesAndStartTheInstructions) {
  auto layout = lay_out(request(RecordMode::StemsInstructed, {"loopback", "mic"}, {true, false}));
  ASSERT_TRUE(layout);
  const fs::path session = *places.cwd / "quillbox" / "recording_2024-05-06_07-08";
  EXPECT_EQ(layout->files, std::vector{session / "loopback.recpart"});
  ASSERT_EQ(layout->writers.size(), 2u);
  EXPECT_TRUE(layout->writers[0].file && layout->writers[0].segment_started);
  const RecpartWriter& mic = layout->writers[1];
  EXPECT_EQ(mic.base_path, session / "mic.recpart");
  EXPECT_FALSE(mic.file || mic.segment_started);
  EXPECT_FALSE(fs::exists(mic.base_path));

  ASSERT_TRUE(layout->instructions);
  EXPECT_EQ(fs::file_size(session / "instructions.txt"), 0u);  // still buffered
  ASSERT_TRUE(layout->instructions->flush());
  const auto bytes = test_support::read_bytes<char>(session / "instructions.txt");
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()),
            "# Quillbox session instructions\n"
            "# Sample rate: 44100\n"
            "#\n"
            "# All stems in this session share the above sample rate.\n"
            "# Offsets below are sample-accurate at that rate.\n"
            "#\n"
            "# To mix this session in an audio editor:\n"
            "#   1. Repair any .recpart files to .wav using quillbox --repair\n"
            "#   2. Create a new project at the sample rate listed above\n"
            "#   3. For each line below, import the named file and place it\n"
            "#      at the given sample offset on the timeline\n"
            "#   4. Files play until their data ends; no trimming is needed\n"
            "#\n"
            "# sample_offset file\n");
}

TEST(PlatformPaths, NameTheRunningProgramsPlaces) {
  EXPECT_EQ(current_directory(), fs::current_path());
  const auto exe = executable_directory();
  ASSERT_TRUE(exe);
  EXPECT_TRUE(fs::exists(*exe / "quillbox_tests") || fs::exists(*exe / "quillbox_tests.exe"));
  const auto documents = documents_directory();
#ifdef _WIN32
  ASSERT_TRUE(documents);
  EXPECT_TRUE(documents->is_absolute()) << *documents;
#else
  EXPECT_EQ(documents.has_value(),
            std::getenv("XDG_DOCUMENTS_DIR") != nullptr || std::getenv("HOME") != nullptr);
#endif
}

}  // namespace
}  // namespace quillbox
