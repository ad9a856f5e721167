#pragma once

// The writer of every audio file a recording produces. A file is a `.recpart`
// that only ever grows: a placeholder header first, then converted samples in
// buffer-sized appends; the real sizes go into the header only when the file
// is done. A crash therefore leaves intact samples behind a header that the
// repair tool rebuilds from the file length.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "base/audio_format.h"
#include "base/buffered_file.h"
#include "base/error.h"
#include "base/file.h"
#include "base/path_names.h"
#include "wav/wav_header.h"

namespace quillbox {

// Sample-data bytes per file; a file that reaches it continues in a new part.
inline constexpr std::uint64_t PART_SIZE_LIMIT = 1'900'000'000;

// A finished file kept open: should it be deleted or moved before the
// recording ends, its handle still reaches everything written to it.
struct HeldFile {
  std::filesystem::path path;  // the name it was created under
  File file;
};

// One output stream of a recording. Only the processor thread touches it.
struct RecpartWriter {
  std::filesystem::path base_path;   // first file; its directory and stem name later files
  std::uint64_t data_bytes = 0;      // sample bytes appended to the current file
  std::optional<BufferedFile> file;  // absent while the writer is closed
  std::filesystem::path path;        // the current file's name; empty when unknown
  AudioFormat spec;
  std::uint32_t part = 1;        // 1-based part within the current segment
  std::uint32_t segment = 1;     // 1-based segment (instructed stems)
  bool segment_started = false;  // a segment has been opened before
  std::vector<HeldFile> held;    // earlier parts and segments, finished, open until close_writer
  // The loudest sample in any of its files, as a fraction of full scale (what
  // reading them back would find; NaN and infinite float samples left out).
  float peak = 0.0f;
};

// Creates (or truncates) `path` and puts the placeholder header (data length
// 0) into the returned file's buffer; it reaches the disk with the first flush.
std::expected<BufferedFile, Error> create_recpart_file(const std::filesystem::path& path,
                                                       const AudioFormat& spec);

// Converts `samples` (interleaved floats) into the writer's file, counts
// them in `data_bytes` and raises `peak` to the loudest of them. Once the count reaches
// `part_size_limit` (checked once, after the whole batch) the file is finished and writing
// continues in a new part at `next_part`, which is appended to `files`; should something already
// exist at `next_part`, the part goes to the first free name next to it
// instead, so no file is ever truncated. A closed writer accepts the call and
// writes nothing. Integer files take 16 or 24 bits only.
std::expected<void, Error> write_samples(RecpartWriter& writer, std::span<const float> samples,
                                         const std::filesystem::path& next_part,
                                         std::vector<std::filesystem::path>& files,
                                         std::uint64_t part_size_limit = PART_SIZE_LIMIT);

// Flushes the writer's file and, when that worked, rewrites its header with
// the real sizes. Returns the first error. The file stays open.
std::expected<void, Error> finish_writer(RecpartWriter& writer);

// Flushes the current file (errors ignored) and puts it among the held
// files; the writer is then closed, the file still open.
void set_aside(RecpartWriter& writer);

// Flushes (errors ignored) and closes the writer's file and every held one;
// the writer is then closed.
void close_writer(RecpartWriter& writer);

// "{dir}/{stem}[_{segment}][_part{part}].recpart": the directory of
// `base_path` ("." if none), its stem ("source" if none); the segment piece
// only for segments after the first, the part piece only for parts after the first.
std::filesystem::path segment_file_path(const RecpartWriter& writer, std::uint32_t part);

// Whose file a writer writes: one source's stem, or the recording's mixed file.
enum class PartNaming { PerSource, MixedFile };

// Where the writer's next part goes when its current file fills up.
// PerSource: `segment_file_path` with part + 1. MixedFile: the directory of
// the recording's first file joined with "{stem}_part{part + 1}.recpart".
std::filesystem::path next_part_path(const RecpartWriter& writer, PartNaming naming);

}  // namespace quillbox
