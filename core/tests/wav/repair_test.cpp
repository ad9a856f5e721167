#include "wav/repair.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "test_support.h"
#include "wav/recpart_writer.h"
#include "wav/wav_header.h"

namespace quillbox {
namespace {

using namespace test_support;
namespace fs = std::filesystem;

constexpr AudioFormat STEREO_16{44100, 2, 16, false};
constexpr AudioFormat STEREO_FLOAT{48000, 2, 32, true};

// A file as a crashed recording leaves it: placeholder header, then samples.
std::vector<std::byte> crashed(const AudioFormat& spec, std::size_t data_size) {
  const WavHeader header = build_header(spec, 0);
  std::vector<std::byte> bytes(header.view().begin(), header.view().end());
  const auto data = pattern(data_size, 3);
  bytes.insert(bytes.end(), data.begin(), data.end());
  return bytes;
}

// Repairs `path` and checks the result describes the original samples exactly.
void expect_repaired(const fs::path& path, const fs::path& expected_target, const AudioFormat& spec,
                     std::size_t data_size) {
  const auto before = read_bytes(path);
  const auto result = repair_file(path);
  ASSERT_TRUE(result.has_value()) << result.error().text;
  EXPECT_EQ(*result, expected_target);
  EXPECT_FALSE(fs::exists(path));
  const auto after = read_bytes(*result);
  const std::size_t h = header_size(spec);
  ASSERT_EQ(after.size(), h + data_size);
  const WavHeader want = build_header(spec, whole_frames(spec, data_size));
  EXPECT_TRUE(std::equal(want.view().begin(), want.view().end(), after.begin()));
  EXPECT_TRUE(std::equal(after.begin() + static_cast<std::ptrdiff_t>(h), after.end(),
                         before.begin() + static_cast<std::ptrdiff_t>(h)));
}

// The format comes from the file's own header, however odd its fields; a
// partial last frame stays in the file, outside the data chunk.
TEST(RepairFile, RebuildsTheHeaderFromTheLengthAndRenamesToWav) {
  ScratchDir dir;
  const struct {
    const char* name;
    AudioFormat spec;
    std::size_t data_size;
  } cases[] = {
      {"empty.recpart", STEREO_16, 0},
      {"int.recpart", STEREO_16, 10000},
      {"float.recpart", STEREO_FLOAT, 8000},
      {"odd.recpart", STEREO_16, 10001},
      {"six", {96000, 6, 24, false}, 1800},
      {"zero.recpart", {0, 0, 0, false}, 333},
      {"zero_float.recpart", {0, 0, 32, true}, 333},
      {"wide.recpart", {0xFFFFFFFF, 16384, 32, true}, 333},
      {"huge.recpart", {7, 0xFFFF, 0xFFFF, false}, 333},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_bytes(dir / c.name, crashed(c.spec, c.data_size));
    expect_repaired(dir / c.name, (dir / c.name).replace_extension("wav"), c.spec, c.data_size);
  }
}

// A kill can cut a frame anywhere; readers see whole frames only, and the
// cut frame's bytes stay behind the data chunk.
TEST(RepairFile, TheDataChunkHoldsWholeFramesOnly) {
  ScratchDir dir;
  const struct {
    const char* name;
    AudioFormat spec;
    std::size_t data_size;
    std::uint32_t kept;
  } cases[] = {
      {"float.recpart", STEREO_FLOAT, 8004, 8000},
      {"int.recpart", STEREO_16, 10003, 10000},
      {"24bit.recpart", {48000, 2, 24, false}, 8150, 8148},
      {"whole.recpart", {48000, 2, 24, false}, 6000, 6000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_bytes(dir / c.name, crashed(c.spec, c.data_size));
    const auto wav = repair_file(dir / c.name);
    ASSERT_TRUE(wav.has_value()) << wav.error().text;
    const auto bytes = read_bytes(*wav);
    const std::size_t h = header_size(c.spec);
    ASSERT_EQ(bytes.size(), h + c.data_size);
    EXPECT_EQ(le32(bytes, h - 4), c.kept);
    EXPECT_EQ(le32(bytes, 4), c.kept + h - 8);
    if (c.spec.is_float) {
      EXPECT_EQ(le32(bytes, 46), c.kept / 8);
    }
  }
}

TEST(RepairFile, NeverReplacesAnExistingWavAndASecondRunChangesNothing) {
  ScratchDir dir;
  const auto existing = pattern(64, 9);
  write_bytes(dir / "rec.wav", existing);
  write_bytes(dir / "rec.recpart", crashed(STEREO_16, 500));
  expect_repaired(dir / "rec.recpart", dir / "rec_1.wav", STEREO_16, 500);
  EXPECT_EQ(read_bytes(dir / "rec.wav"), existing);

  const auto once = read_bytes(dir / "rec_1.wav");
  const auto again = repair_file(dir / "rec_1.wav");
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(read_bytes(*again), once);
}

TEST(RepairFile, ShortOrForeignFilesFailAndStayAsTheyWere) {
  ScratchDir dir;
  const auto fails_untouched = [&](const char* name, const std::vector<std::byte>& bytes,
                                   const std::string& text) {
    const auto path = dir / name;
    write_bytes(path, bytes);
    const auto result = repair_file(path);
    ASSERT_FALSE(result.has_value()) << name;
    EXPECT_EQ(result.error().text, text) << name;
    EXPECT_EQ(read_bytes(path), bytes) << name;
    EXPECT_FALSE(fs::exists(fs::path(path).replace_extension("wav"))) << name;
  };
  const std::string short_file = "failed to fill whole buffer";
  const std::string foreign = "not a recognised .recpart/.wav header";

  const auto header = crashed(STEREO_16, 0);
  fails_untouched("short.recpart", std::vector<std::byte>(header.begin(), header.begin() + 20),
                  short_file);
  fails_untouched("empty.recpart", {}, short_file);
  for (std::size_t at : {0, 8, 12}) {
    auto bytes = crashed(STEREO_16, 100);
    bytes[at + 1] = std::byte{'x'};
    fails_untouched("tag.recpart", bytes, foreign);
  }

  // Float samples behind a plain 44-byte header: a 58-byte header would
  // overwrite 14 bytes of samples and shift every later sample.
  auto float_pcm_layout = crashed(STEREO_16, 800);
  float_pcm_layout[20] = std::byte{3};
  fails_untouched("float44.recpart", float_pcm_layout, foreign);

  // An extensible header (tag 0xFFFE, 40-byte fmt chunk): its data starts at 68.
  auto extensible = crashed(STEREO_16, 800);
  extensible[16] = std::byte{40};
  extensible[20] = std::byte{0xFE};
  extensible[21] = std::byte{0xFF};
  extensible[36] = std::byte{22};
  fails_untouched("ext.recpart", extensible, foreign);

  // A LIST chunk between "fmt " and "data".
  auto with_list = crashed(STEREO_16, 800);
  const auto list = bytes_of({'L', 'I', 'S', 'T', 4, 0, 0, 0, 'I', 'N', 'F', 'O'});
  with_list.insert(with_list.begin() + 36, list.begin(), list.end());
  fails_untouched("list.recpart", with_list, foreign);
}

// A file cut off inside its header (for instance a disk that filled up during
// the first write) has no samples to lose; it becomes an empty WAV.
TEST(RepairFile, AFileEndingInsideTheHeaderBecomesAnEmptyWav) {
  ScratchDir dir;
  auto bytes = crashed(STEREO_FLOAT, 0);
  bytes.resize(41);
  write_bytes(dir / "cut.recpart", bytes);
  const auto result = repair_file(dir / "cut.recpart");
  ASSERT_TRUE(result.has_value()) << result.error().text;
  const auto after = read_bytes(*result);
  const WavHeader want = build_header(STEREO_FLOAT, 0);
  EXPECT_TRUE(std::ranges::equal(after, want.view()));
}

TEST(RepairFile, MissingFilesAndDirectoriesFailWithTheSystemError) {
  ScratchDir dir;
  const auto missing = repair_file(dir / "none.recpart");
  ASSERT_FALSE(missing.has_value());
  EXPECT_NE(missing.error().os_code, 0);
  fs::create_directory(dir / "d.recpart");
  const auto directory = repair_file(dir / "d.recpart");
  ASSERT_FALSE(directory.has_value());
  EXPECT_NE(directory.error().os_code, 0);
  EXPECT_TRUE(fs::is_directory(dir / "d.recpart"));
}

// The repair button works during a recording: the file being written is
// repaired and renamed under the writer, which keeps writing into it.
TEST(RepairFile, AFileStillOpenInARunningWriterIsRepairedAndKeepsGrowing) {
  ScratchDir dir;
  const auto path = dir / "live.recpart";
  RecpartWriter writer;
  writer.base_path = path;
  writer.spec = STEREO_16;
  auto file = create_recpart_file(path, STEREO_16);
  ASSERT_TRUE(file.has_value());
  writer.file.emplace(std::move(*file));
  std::vector<fs::path> files;
  const std::vector<float> block(10000, 0.5f);
  ASSERT_TRUE(write_samples(writer, block, dir / "unused", files).has_value());
  const std::uint64_t on_disk = fs::file_size(path);
  ASSERT_GT(on_disk, 44u);

  const auto repaired = repair_file(path);
  ASSERT_TRUE(repaired.has_value()) << repaired.error().text;
  EXPECT_EQ(le32(read_bytes(*repaired), 40), on_disk - 44);

  ASSERT_TRUE(write_samples(writer, block, dir / "unused", files).has_value());
  ASSERT_TRUE(finish_writer(writer).has_value());
  close_writer(writer);
  const auto bytes = read_bytes(*repaired);
  ASSERT_EQ(bytes.size(), 44u + 40000);
  EXPECT_EQ(le32(bytes, 40), 40000u);
  EXPECT_TRUE(std::all_of(bytes.begin() + 44, bytes.end(), [i = 0](std::byte b) mutable {
    return b == ((i++ % 2 == 0) ? std::byte{0xFF} : std::byte{0x3F});  // 16383
  }));
}

TEST(RepairDirectory, RepairsExactlyTheRecpartNamesAndReportsEach) {
  ScratchDir dir;
  write_bytes(dir / "good.recpart", crashed(STEREO_16, 100));
  write_bytes(dir / "short.recpart", pattern(20));
  fs::create_directory(dir / "folder.recpart");
  const char* const ignored_names[] = {"x.RECPART", "x.recpart.bak", ".recpart", "old.wav",
                                       "recpart"};
  for (const char* ignored : ignored_names) write_bytes(dir / ignored, crashed(STEREO_16, 100));

  auto outcomes = repair_directory(dir.path());
  std::ranges::sort(outcomes, {}, &RepairOutcome::path);
  ASSERT_EQ(outcomes.size(), 3u);
  EXPECT_EQ(outcomes[0].path, dir / "folder.recpart");
  EXPECT_FALSE(outcomes[0].result.has_value());
  EXPECT_EQ(outcomes[1].path, dir / "good.recpart");
  ASSERT_TRUE(outcomes[1].result.has_value());
  EXPECT_EQ(*outcomes[1].result, dir / "good.wav");
  EXPECT_EQ(outcomes[2].path, dir / "short.recpart");
  ASSERT_FALSE(outcomes[2].result.has_value());
  EXPECT_EQ(outcomes[2].result.error().text, "failed to fill whole buffer");
  EXPECT_TRUE(fs::exists(dir / "short.recpart"));
  for (const char* ignored : ignored_names)
    EXPECT_EQ(read_bytes(dir / ignored), crashed(STEREO_16, 100)) << ignored;

  // The second time only the failures are found again.
  const auto again = repair_directory(dir.path());
  EXPECT_EQ(again.size(), 2u);
  EXPECT_TRUE(
      std::ranges::none_of(again, [](const RepairOutcome& o) { return o.result.has_value(); }));
}

// A stems recording keeps its files in a folder of its own: those folders
// are searched one level down, nothing else below the folder given.
TEST(RepairDirectory, FindsTheFilesOfTheRecordingsOwnFolders) {
  ScratchDir dir;
  const fs::path session = dir / "recording_2026-01-02_03-04";
  const fs::path again = dir / "recording_2026-01-02_03-04_1";
  for (const fs::path& d : {session, again, dir / "other", session / "recording_inner"})
    fs::create_directories(d);
  for (const fs::path& file :
       {dir / "recording_2026-01-02_03-05.recpart", session / "loopback.recpart",
        session / "mic_2.recpart", again / "mic.recpart", dir / "other" / "x.recpart",
        session / "recording_inner" / "deep.recpart"})
    write_bytes(file, crashed(STEREO_16, 100));
  write_bytes(dir / "recording_file", crashed(STEREO_16, 100));

  auto outcomes = repair_directory(dir.path());
  std::ranges::sort(outcomes, {}, &RepairOutcome::path);
  const fs::path found[] = {session / "loopback.recpart", session / "mic_2.recpart",
                            again / "mic.recpart", dir / "recording_2026-01-02_03-05.recpart"};
  ASSERT_EQ(outcomes.size(), std::size(found));
  for (std::size_t i = 0; i < std::size(found); ++i) {
    EXPECT_EQ(outcomes[i].path, found[i]);
    ASSERT_TRUE(outcomes[i].result.has_value()) << outcomes[i].result.error().text;
    EXPECT_EQ(*outcomes[i].result, fs::path(found[i]).replace_extension("wav"));
  }
  EXPECT_TRUE(fs::exists(dir / "other" / "x.recpart"));
  EXPECT_TRUE(fs::exists(session / "recording_inner" / "deep.recpart"));
  EXPECT_TRUE(repair_directory(dir.path()).empty());
}

TEST(RepairDirectory, AnUnlistableDirectoryGivesNoOutcomes) {
  ScratchDir dir;
  write_bytes(dir / "file.recpart", crashed(STEREO_16, 10));
  EXPECT_TRUE(repair_directory(dir / "missing").empty());
  EXPECT_TRUE(repair_directory("").empty());
  EXPECT_TRUE(repair_directory(dir / "file.recpart").empty());
  EXPECT_TRUE(fs::exists(dir / "file.recpart"));
}

}  // namespace
}  // namespace quillbox
