// A recording killed at any moment loses nothing it had written: a child
// process records through a real RecpartWriter and is killed without warning
// (SIGKILL, TerminateProcess); each time the repaired files must describe
// their data exactly and hold a prefix of the stream at least as long as
// what the child had reported written.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <random>
#include <thread>

#include "child_process.h"
#include "crash_stream.h"
#include "test_support.h"
#include "wav/recpart_writer.h"
#include "wav/repair.h"
#include "wav/wav_header.h"

namespace quillbox {
namespace {

using namespace test_support;
namespace fs = std::filesystem;

constexpr int KILLS = 24;

// The child's report lines: the last complete number counts.
struct Reports {
  std::uint64_t last = 0;
  std::size_t lines = 0;
  std::string pending;

  void feed(const char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
      if (data[i] == '\n') {
        last = std::stoull(pending);
        ++lines;
        pending.clear();
      } else if (data[i] != '\r') {
        pending += data[i];
      }
    }
  }
};

struct Totals {
  std::uint64_t bytes = 0;
  std::uint64_t parts = 0;
  std::uint64_t reported = 0;
};

fs::path part_path(const fs::path& dir, std::uint32_t part, const char* ext) {
  std::string name = "crash";
  if (part > 1) name += "_part" + std::to_string(part);
  return dir / (name + ext);
}

// Repairs every part the killed child left and checks them against the stream.
void check_recording(const fs::path& dir, const AudioFormat& spec, std::uint64_t seed,
                     std::uint64_t reported, Totals& totals) {
  const std::size_t h = header_size(spec);
  std::vector<std::byte> joined;
  std::uint32_t parts = 0;
  while (fs::exists(part_path(dir, parts + 1, ".recpart"))) ++parts;
  ASSERT_GE(parts, 1u);

  for (std::uint32_t part = 1; part <= parts; ++part) {
    SCOPED_TRACE("part " + std::to_string(part) + " of " + std::to_string(parts));
    const fs::path path = part_path(dir, part, ".recpart");
    const auto before = read_bytes(path);
    if (before.size() < h) {
      // Killed before the new part's first flush: no samples to lose.
      ASSERT_EQ(part, parts);
      EXPECT_EQ(before.size(), 0u);
      continue;
    }
    const std::uint32_t data_length = whole_frames(spec, before.size() - h);
    const WavHeader exact = build_header(spec, data_length);
    // A part that was rolled over was finished on the spot.
    if (part < parts) {
      EXPECT_TRUE(std::ranges::equal(std::span(before).first(h), exact.view()));
    }

    const auto repaired = repair_file(path);
    ASSERT_TRUE(repaired.has_value()) << repaired.error().text;
    EXPECT_EQ(*repaired, part_path(dir, part, ".wav"));
    const auto wav = read_bytes(*repaired);
    ASSERT_EQ(wav.size(), before.size());
    EXPECT_EQ(tag(wav, 0), "RIFF");
    // Whole frames only: a frame the kill cut stays behind the data chunk.
    EXPECT_EQ(le32(wav, 4), data_length + h - 8);
    EXPECT_EQ(le32(wav, h - 4), data_length);
    EXPECT_LT(wav.size() - h - data_length, header_block_align(spec));
    if (spec.is_float) {
      EXPECT_EQ(le32(wav, 46), data_length / (4u * spec.channels));
    }
    EXPECT_TRUE(std::ranges::equal(std::span(wav).first(h), exact.view()));
    // Every byte stays in the file, the cut frame's too.
    joined.insert(joined.end(), wav.begin() + static_cast<std::ptrdiff_t>(h), wav.end());
  }

  EXPECT_GE(joined.size(), reported) << "bytes reported written were lost";
  const auto expected = crash::expected_stream(spec, seed, joined.size());
  const auto mismatch = std::ranges::mismatch(joined, expected);
  EXPECT_TRUE(mismatch.in1 == joined.end())
      << "data differs from the stream at byte " << (mismatch.in1 - joined.begin()) << " of "
      << joined.size();
  totals.bytes += joined.size();
  totals.parts += parts;
  totals.reported += reported;
}

TEST(CrashSafety, EveryKilledRecordingRepairsToAnExactPrefixOfItsStream) {
  const fs::path program = test_program("quillbox_crash_child");
  ASSERT_TRUE(fs::exists(program)) << program;
  const std::uint64_t master_seed = std::random_device{}();
  std::mt19937_64 rng(master_seed);
  std::cout << "crash-safety seed " << master_seed << "\n";

  Totals totals;
  const char* formats[] = {"16", "24", "float"};
  for (int run = 0; run < KILLS; ++run) {
    const char* format = formats[run % 3];
    const AudioFormat spec = *crash::spec_named(format);
    // Every other run rolls over to new parts every few hundred kilobytes.
    const std::uint64_t limit = run % 2 == 0 ? PART_SIZE_LIMIT : 100'000 + rng() % 400'000;
    const std::uint64_t seed = rng();
    const std::size_t kill_after = 1 + rng() % 300;
    const auto extra_wait = std::chrono::microseconds(rng() % 3000);
    SCOPED_TRACE(std::string("run ") + std::to_string(run) + ", format " + format + ", seed " +
                 std::to_string(seed) + ", part limit " + std::to_string(limit) +
                 ", kill after report " + std::to_string(kill_after));

    ScratchDir dir;
    auto child = ChildProcess::start(program, {format, std::to_string(seed), std::to_string(limit)},
                                     dir.path());
    ASSERT_TRUE(child.has_value()) << child.error();

    Reports reports;
    char buffer[4096];
    while (reports.lines < kill_after) {
      const std::size_t n = child->read(buffer, sizeof buffer);
      if (n == 0) break;
      reports.feed(buffer, n);
    }
    ASSERT_GE(reports.lines, 1u) << "the child ended without writing anything";
    std::this_thread::sleep_for(extra_wait);
    child->kill();
    // What the child reported before it died is still in the pipe.
    for (std::size_t n; (n = child->read(buffer, sizeof buffer)) > 0;) reports.feed(buffer, n);

    check_recording(dir.path(), spec, seed, reports.last, totals);
    if (HasFatalFailure()) return;
  }
  std::cout << "crash-safety: " << KILLS << " kills, " << totals.parts << " part files, "
            << totals.bytes << " sample bytes checked (" << totals.reported
            << " reported written before the kills)\n";
}

}  // namespace
}  // namespace quillbox
