#include "base/path_names.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace quillbox {
namespace {

using namespace test_support;
namespace fs = std::filesystem;

TEST(NameParts, StemAndExtensionFollowTheDotRules) {
  const auto parts = [](const char* p) {
    const NameParts n = name_parts(p);
    return n.stem.generic_string() + "|" + n.extension.generic_string();
  };
  EXPECT_EQ(parts("x/rec.recpart"), "rec|.recpart");
  EXPECT_EQ(parts("x/archive.tar.gz"), "archive.tar|.gz");
  EXPECT_EQ(parts("x/README"), "README|");
  EXPECT_EQ(parts("x/.recpart"), ".recpart|");
  EXPECT_EQ(parts("x/.recpart.bak"), ".recpart|.bak");
  EXPECT_EQ(parts("x/name."), "name|.");
  EXPECT_EQ(parts("x/.."), "|");
  EXPECT_EQ(parts("."), "|");
  EXPECT_EQ(parts(""), "|");
  EXPECT_EQ(parts("x/dir/"), "dir|");
  EXPECT_EQ(name_parts("x/dir/").dir, fs::path("x"));
}

TEST(UniquePath, AFreePathIsKept) {
  ScratchDir dir;
  EXPECT_EQ(unique_path(dir / "rec.wav"), dir / "rec.wav");
  EXPECT_EQ(unique_path(dir / "no" / "such" / "rec.wav"), dir / "no" / "such" / "rec.wav");
}

TEST(UniquePath, CountsUpAfterTheStem) {
  ScratchDir dir;
  write_bytes(dir / "rec.wav", {});
  write_bytes(dir / "rec_1.wav", {});
  EXPECT_EQ(unique_path(dir / "rec.wav"), dir / "rec_2.wav");

  write_bytes(dir / "README", {});
  EXPECT_EQ(unique_path(dir / "README"), dir / "README_1");

  write_bytes(dir / ".recpart", {});
  EXPECT_EQ(unique_path(dir / ".recpart"), dir / ".recpart_1");

  // Directories count as taken too.
  fs::create_directory(dir / "recording_T");
  fs::create_directory(dir / "recording_T_1");
  EXPECT_EQ(unique_path(dir / "recording_T"), dir / "recording_T_2");

  write_bytes(dir / "a.tar.gz", {});
  EXPECT_EQ(unique_path(dir / "a.tar.gz"), dir / "a.tar_1.gz");
}

}  // namespace
}  // namespace quillbox
