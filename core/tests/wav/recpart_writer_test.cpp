#include "wav/recpart_writer.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "test_support.h"
#include "wav/normalize.h"

namespace quillbox {
namespace {

using namespace test_support;
namespace fs = std::filesystem;

constexpr AudioFormat MONO_16{48000, 1, 16, false};
constexpr AudioFormat STEREO_24{48000, 2, 24, false};
constexpr AudioFormat STEREO_FLOAT{48000, 2, 32, true};
const float NaN = std::numeric_limits<float>::quiet_NaN();
const float INF = std::numeric_limits<float>::infinity();

RecpartWriter open_writer(const fs::path& path, const AudioFormat& spec) {
  RecpartWriter writer;
  writer.base_path = path;
  writer.spec = spec;
  auto file = create_recpart_file(path, spec);
  EXPECT_TRUE(file.has_value()) << (file ? "" : file.error().text);
  if (file) writer.file.emplace(std::move(*file));
  return writer;
}

// Writes `samples` in one batch, finishes and closes; returns the sample data.
std::vector<std::byte> written_data(const ScratchDir& dir, const AudioFormat& spec,
                                    std::span<const float> samples) {
  const auto path = dir / "enc.recpart";
  RecpartWriter writer = open_writer(path, spec);
  std::vector<fs::path> files;
  EXPECT_TRUE(write_samples(writer, samples, dir / "unused.recpart", files).has_value());
  EXPECT_TRUE(finish_writer(writer).has_value());
  close_writer(writer);
  const auto bytes = read_bytes(path);
  return {bytes.begin() + static_cast<std::ptrdiff_t>(header_size(spec)), bytes.end()};
}

std::vector<std::int16_t> as_i16(std::span<const std::byte> data) {
  std::vector<std::int16_t> out;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2)
    out.push_back(static_cast<std::int16_t>(le16(data, i)));
  return out;
}

TEST(CreateRecpartFile, HeaderWaitsInTheBufferAndIsThePlaceholderOnceFlushed) {
  ScratchDir dir;
  for (const AudioFormat& spec : {MONO_16, STEREO_FLOAT}) {
    const auto path = dir / "new.recpart";
    auto file = create_recpart_file(path, spec);
    ASSERT_TRUE(file.has_value());
    // A crash now would leave an empty file: nothing reached the disk yet.
    EXPECT_EQ(fs::file_size(path), 0u);
    EXPECT_EQ(file->buffered(), header_size(spec));
    file->close();
    const auto bytes = read_bytes(path);
    const WavHeader placeholder = build_header(spec, 0);
    EXPECT_TRUE(std::ranges::equal(bytes, placeholder.view()));
    EXPECT_EQ(le32(bytes, 4), spec.is_float ? 50u : 36u);
  }
}

TEST(CreateRecpartFile, TruncatesAnExistingFileAndFailsInAMissingDirectory) {
  ScratchDir dir;
  write_bytes(dir / "old.recpart", pattern(1000));
  auto file = create_recpart_file(dir / "old.recpart", MONO_16);
  ASSERT_TRUE(file.has_value());
  file->close();
  EXPECT_EQ(fs::file_size(dir / "old.recpart"), INT_HEADER_SIZE);

  auto missing = create_recpart_file(dir / "no" / "such.recpart", MONO_16);
  ASSERT_FALSE(missing.has_value());
  EXPECT_NE(missing.error().os_code, 0);
  EXPECT_NE(missing.error().text.find("(os error "), std::string::npos);
}

// Writes `samples` into a new file at `path` in batches of `batch`, in parts
// of `limit` bytes, finishes and closes; returns every file, first to last.
std::vector<fs::path> written_in_parts(const fs::path& path, const AudioFormat& spec,
                                       std::span<const float> samples, std::size_t batch,
                                       std::uint64_t limit, float* peak = nullptr) {
  RecpartWriter writer = open_writer(path, spec);
  std::vector<fs::path> files{writer.base_path};
  while (!samples.empty()) {
    const std::size_t take = std::min(batch, samples.size());
    EXPECT_TRUE(write_samples(writer, samples.first(take),
                              next_part_path(writer, PartNaming::PerSource), files, limit)
                    .has_value());
    samples = samples.subspan(take);
  }
  EXPECT_TRUE(finish_writer(writer).has_value());
  close_writer(writer);
  if (peak != nullptr) *peak = writer.peak;
  return files;
}

TEST(WriteSamples, SixteenBitScalesClampsTruncatesAndZeroesNaN) {
  ScratchDir dir;
  const float samples[] = {1.0f, -1.0f, 2.0f, -2.0f, NaN,  0.9f / 32767, -0.9f / 32767,
                           0.5f, -0.5f, INF,  -INF,  0.0f, -0.0f};
  EXPECT_EQ(as_i16(written_data(dir, MONO_16, samples)),
            (std::vector<std::int16_t>{32767, -32767, 32767, -32768, 0, 0, 0, 16383, -16383, 32767,
                                       -32768, 0, 0}));
}

TEST(WriteSamples, TwentyFourBitWritesThreeLittleEndianBytesPerSample) {
  ScratchDir dir;
  const float samples[] = {1.0f, -1.0f, 2.0f, -2.0f, NaN, 0.5f, -0.9f / 8388607};
  EXPECT_EQ(written_data(dir, STEREO_24, samples),
            bytes_of({0xFF, 0xFF, 0x7F,     // 1.0 -> 8388607
                      0x01, 0x00, 0x80,     // -1.0 -> -8388607
                      0xFF, 0xFF, 0x7F,     // clamped
                      0x00, 0x00, 0x80,     // below -1.0 reaches -8388608
                      0x00, 0x00, 0x00,     // NaN
                      0xFF, 0xFF, 0x3F,     // 4194303.5 truncated
                      0x00, 0x00, 0x00}));  // -0.9 truncated toward zero
}

TEST(WriteSamples, FloatKeepsEveryBitUnclamped) {
  ScratchDir dir;
  const float samples[] = {1.5f, -3.25f, std::bit_cast<float>(0x7FC01234u), -INF, 1e-40f};
  const auto data = written_data(dir, STEREO_FLOAT, samples);
  ASSERT_EQ(data.size(), sizeof samples);
  for (std::size_t i = 0; i < std::size(samples); ++i)
    EXPECT_EQ(le32(data, 4 * i), std::bit_cast<std::uint32_t>(samples[i])) << i;
}

// Buffer boundaries must not show in the file: 24-bit samples do not divide
// the 8192-byte buffer, so a batch spanning several flushes is the test.
TEST(WriteSamples, BatchSizeDoesNotChangeTheBytes) {
  ScratchDir dir;
  std::vector<float> samples(20011);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = std::sin(float(i) * 0.01f) * 1.1f;

  for (const AudioFormat& spec : {MONO_16, STEREO_24, STEREO_FLOAT}) {
    const auto whole = written_data(dir, spec, samples);
    ASSERT_EQ(whole.size(), samples.size() * bytes_per_sample(spec));

    const auto path = dir / "pieces.recpart";
    RecpartWriter writer = open_writer(path, spec);
    std::vector<fs::path> files;
    std::span<const float> rest(samples);
    for (std::size_t n = 1; !rest.empty(); n = n * 3 + 1) {
      const std::size_t take = std::min(n, rest.size());
      ASSERT_TRUE(write_samples(writer, rest.first(take), dir / "unused", files).has_value());
      rest = rest.subspan(take);
    }
    EXPECT_EQ(writer.data_bytes, whole.size());
    // Finishing writes the real sizes into the header; closing releases the file.
    ASSERT_TRUE(finish_writer(writer).has_value());
    EXPECT_TRUE(writer.file.has_value());
    close_writer(writer);
    EXPECT_FALSE(writer.file.has_value());
    const auto bytes = read_bytes(path);
    // An odd sample count leaves half a frame, which the header leaves out.
    const WavHeader header = build_header(spec, whole_frames(spec, whole.size()));
    EXPECT_TRUE(std::ranges::equal(std::span(bytes).first(header_size(spec)), header.view()));
    EXPECT_TRUE(std::equal(bytes.begin() + static_cast<std::ptrdiff_t>(header_size(spec)),
                           bytes.end(), whole.begin(), whole.end()))
        << spec.bits_per_sample;
    EXPECT_TRUE(files.empty());
  }
}

TEST(WriteSamples, ClosedWriterAcceptsAndIgnoresTheCall) {
  RecpartWriter writer;
  writer.spec = MONO_16;
  std::vector<fs::path> files;
  const float samples[] = {0.5f, 0.25f};
  EXPECT_TRUE(write_samples(writer, samples, "x.recpart", files).has_value());
  EXPECT_EQ(writer.data_bytes, 0u);
  EXPECT_TRUE(finish_writer(writer).has_value());
  close_writer(writer);
  EXPECT_FALSE(writer.file.has_value());
}

TEST(WriteSamples, UnsupportedIntegerDepthIsRejectedBeforeWritingAnything) {
  ScratchDir dir;
  for (std::uint16_t bits : {std::uint16_t{8}, std::uint16_t{32}, std::uint16_t{0}}) {
    const auto path = dir / "bad.recpart";
    RecpartWriter writer = open_writer(path, {48000, 2, bits, false});
    writer.data_bytes = 12;
    std::vector<fs::path> files;
    const float samples[] = {0.5f, 0.25f};
    const auto r = write_samples(writer, samples, dir / "next.recpart", files, 1);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().text, "Unsupported integer bit depth: " + std::to_string(bits));
    EXPECT_EQ(r.error().os_code, 0);
    EXPECT_EQ(writer.data_bytes, 12u);
    close_writer(writer);
    EXPECT_EQ(fs::file_size(path), INT_HEADER_SIZE);
    EXPECT_TRUE(files.empty());
  }
}

// A writer at `path` whose current file already counts `data_bytes`; only the
// counter is set, so crossing the real limit needs no 1.9 GB of data.
// The peak a writer keeps is what reading its files back finds, at every
// depth: clamped and truncated integers (the most negative one is a little
// past full scale), NaN and infinite floats left out, over every part.
TEST(WriteSamples, KeepsThePeakThatReadingTheFilesBackFinds) {
  ScratchDir dir;
  const std::vector<std::vector<float>> cases = {
      {0.25f, -0.5f, 0.125f},
      {0.3f, -2.0f, NaN},
      {1.0f - 0.4f / 32767, -0.7f / 32767, 0.0f},
      {NaN, INF, -INF, 0.75f, -0.0f},
  };
  for (const AudioFormat& spec : {MONO_16, STEREO_24, STEREO_FLOAT}) {
    for (const auto& loudest : cases) {
      std::vector<float> samples(12000);
      for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = 0.1f * std::sin(float(i) * 0.02f);
      for (std::size_t k = 0; k < loudest.size(); ++k) samples[1000 + 2000 * k] = loudest[k];

      float kept = -1.0f;
      const auto files = written_in_parts(dir / "peak.recpart", spec, samples, 666, 6000, &kept);
      ASSERT_GT(files.size(), 2u);
      float read_back = 0.0f;
      for (const auto& file : files) read_back = std::max(read_back, wav_peak(file).value_or(-1));
      EXPECT_EQ(kept, read_back) << spec.bits_per_sample << " bits, " << loudest[1];
      for (const auto& file : files) fs::remove(file);
    }
  }
}

RecpartWriter writer_near_limit(const fs::path& path, std::uint64_t data_bytes) {
  RecpartWriter writer = open_writer(path, MONO_16);
  writer.data_bytes = data_bytes;
  return writer;
}

std::vector<float> ramp(std::size_t n, float from) {
  std::vector<float> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = from + float(i) / 64.0f;
  return out;
}

TEST(Rollover, ABatchCrossingTheLimitStartsExactlyOneNewPartAfterTheBatch) {
  ScratchDir dir;
  const auto first = dir / "mic.recpart";
  RecpartWriter writer = writer_near_limit(first, PART_SIZE_LIMIT - 10);
  std::vector<fs::path> files{first};

  // 10 bytes short: a batch of 16 bytes stays whole in the first part.
  const auto batch = ramp(8, 0.0f);
  const fs::path next = next_part_path(writer, PartNaming::PerSource);
  EXPECT_EQ(next, dir / "mic_part2.recpart");
  ASSERT_TRUE(write_samples(writer, batch, next, files).has_value());
  EXPECT_EQ(files, (std::vector<fs::path>{first, next}));
  EXPECT_EQ(writer.part, 2u);
  EXPECT_EQ(writer.data_bytes, 0u);

  // The first part is complete on disk with its real length.
  auto old_bytes = read_bytes(first);
  ASSERT_EQ(old_bytes.size(), 44u + 16);
  EXPECT_EQ(le32(old_bytes, 4), 52u);
  EXPECT_EQ(le32(old_bytes, 40), 16u);

  // The next batch goes to the new part only.
  const auto more = ramp(3, 0.5f);
  const fs::path after = next_part_path(writer, PartNaming::PerSource);
  ASSERT_TRUE(write_samples(writer, more, after, files).has_value());
  EXPECT_EQ(writer.data_bytes, 6u);
  ASSERT_TRUE(finish_writer(writer).has_value());
  close_writer(writer);
  EXPECT_EQ(read_bytes(first), old_bytes);
  const auto new_bytes = read_bytes(next);
  ASSERT_EQ(new_bytes.size(), 44u + 6);
  EXPECT_EQ(le32(new_bytes, 40), 6u);
  EXPECT_EQ(as_i16(std::span(new_bytes).subspan(44)),
            (std::vector<std::int16_t>{16383, 16895, 17407}));
  EXPECT_FALSE(fs::exists(after));
}

TEST(Rollover, TheLimitIsReachedAtEqualityNotBefore) {
  ScratchDir dir;
  std::vector<fs::path> files;
  const auto batch = ramp(8, 0.0f);  // 16 bytes

  RecpartWriter below = writer_near_limit(dir / "a.recpart", PART_SIZE_LIMIT - 17);
  ASSERT_TRUE(write_samples(below, batch, dir / "a_part2.recpart", files).has_value());
  EXPECT_EQ(below.part, 1u);
  EXPECT_EQ(below.data_bytes, PART_SIZE_LIMIT - 1);

  RecpartWriter equal = writer_near_limit(dir / "b.recpart", PART_SIZE_LIMIT - 16);
  ASSERT_TRUE(write_samples(equal, batch, dir / "b_part2.recpart", files).has_value());
  EXPECT_EQ(equal.part, 2u);
  EXPECT_EQ(files, (std::vector<fs::path>{dir / "b_part2.recpart"}));
  close_writer(below);
  close_writer(equal);
}

// Small parts: the parts of a long recording, put together, are exactly the
// stream, and every part but the last already has its final header.
TEST(Rollover, PartsJoinUpToTheWholeStream) {
  ScratchDir dir;
  std::vector<float> samples(30000);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = std::cos(float(i) * 0.003f);
  const auto whole = written_data(dir, STEREO_24, samples);

  const auto files = written_in_parts(dir / "loopback.recpart", STEREO_24, samples, 960, 10000);

  // 90000 bytes in batches of 2880: every fourth batch crosses 10000, so
  // seven parts of 11520 bytes and a last one of 9360.
  ASSERT_EQ(files.size(), 8u);
  EXPECT_EQ(files[1], dir / "loopback_part2.recpart");
  EXPECT_EQ(files[7], dir / "loopback_part8.recpart");
  std::vector<std::byte> joined;
  for (const auto& file : files) {
    const auto bytes = read_bytes(file);
    ASSERT_GE(bytes.size(), 44u);
    EXPECT_EQ(le32(bytes, 40), bytes.size() - 44) << file;
    joined.insert(joined.end(), bytes.begin() + 44, bytes.end());
  }
  EXPECT_EQ(joined, whole);
}

TEST(Rollover, NeverTruncatesAFileAlreadyAtTheNextPartPath) {
  ScratchDir dir;
  const auto taken = dir / "mic_part2.recpart";
  write_bytes(taken, pattern(300));
  RecpartWriter writer = writer_near_limit(dir / "mic.recpart", PART_SIZE_LIMIT);
  std::vector<fs::path> files;
  ASSERT_TRUE(write_samples(writer, ramp(2, 0.0f), taken, files).has_value());
  EXPECT_EQ(read_bytes(taken), pattern(300));
  EXPECT_EQ(files, (std::vector<fs::path>{dir / "mic_part2_1.recpart"}));
  close_writer(writer);
  EXPECT_EQ(fs::file_size(dir / "mic_part2_1.recpart"), 44u);
}

TEST(Rollover, AFailedPartCreationKeepsWritingIntoTheFinishedOldFile) {
  ScratchDir dir;
  const auto first = dir / "mic.recpart";
  RecpartWriter writer = writer_near_limit(first, PART_SIZE_LIMIT - 2);
  std::vector<fs::path> files{first};
  const auto r = write_samples(writer, ramp(2, 0.0f), dir / "gone" / "mic_part2.recpart", files);
  ASSERT_FALSE(r.has_value());
  EXPECT_NE(r.error().os_code, 0);
  EXPECT_EQ(writer.part, 2u);
  EXPECT_EQ(files.size(), 1u);
  ASSERT_TRUE(writer.file.has_value());
  EXPECT_EQ(le32(read_bytes(first), 40), 4u);  // flushed and patched

  // Nothing written afterwards is lost or misplaced.
  (void)write_samples(writer, ramp(3, 0.0f), dir / "gone" / "x.recpart", files);
  ASSERT_TRUE(finish_writer(writer).has_value());
  close_writer(writer);
  const auto bytes = read_bytes(first);
  ASSERT_EQ(bytes.size(), 44u + 10);
  EXPECT_EQ(le32(bytes, 40), 10u);
  EXPECT_EQ(as_i16(std::span(bytes).subspan(44)),
            (std::vector<std::int16_t>{0, 511, 0, 511, 1023}));
}

// Segments and parts extend the base stem; a base without a file name stands
// for "source" in the current folder; the mixed file is only ever segment 1.
TEST(PartNames, SegmentsAndPartsExtendTheBaseStem) {
  const fs::path session("session");
  const fs::path out("out");
  const struct {
    fs::path base;
    std::uint32_t segment, part;
    PartNaming naming;
    fs::path segment_1, segment_2, next;
  } cases[] = {
      {session / "mic.recpart", 1, 1, PartNaming::PerSource, session / "mic.recpart",
       session / "mic_part2.recpart", session / "mic_part2.recpart"},
      {session / "mic.recpart", 3, 1, PartNaming::PerSource, session / "mic_3.recpart",
       session / "mic_3_part2.recpart", session / "mic_3_part2.recpart"},
      // A label that sanitised to nothing: the stem is the whole ".recpart".
      {session / ".recpart", 3, 1, PartNaming::PerSource, session / ".recpart_3.recpart",
       session / ".recpart_3_part2.recpart", session / ".recpart_3_part2.recpart"},
      {{},
       1,
       1,
       PartNaming::PerSource,
       fs::path(".") / "source.recpart",
       fs::path(".") / "source_part2.recpart",
       fs::path(".") / "source_part2.recpart"},
      {out / "..", 1, 4, PartNaming::PerSource, out / "source.recpart",
       out / "source_part2.recpart", out / "source_part5.recpart"},
      {out / "recording_2025-01-02_03-04.recpart", 3, 2, PartNaming::MixedFile,
       out / "recording_2025-01-02_03-04_3.recpart",
       out / "recording_2025-01-02_03-04_3_part2.recpart",
       out / "recording_2025-01-02_03-04_part3.recpart"},
      {"rec.recpart", 1, 1, PartNaming::MixedFile, fs::path(".") / "rec.recpart",
       fs::path(".") / "rec_part2.recpart", fs::path(".") / "rec_part2.recpart"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.base.string());
    RecpartWriter writer;
    writer.base_path = c.base;
    writer.segment = c.segment;
    writer.part = c.part;
    EXPECT_EQ(segment_file_path(writer, 1), c.segment_1);
    EXPECT_EQ(segment_file_path(writer, 2), c.segment_2);
    EXPECT_EQ(next_part_path(writer, c.naming), c.next);
  }
}

}  // namespace
}  // namespace quillbox
