#pragma once

// Where a recording goes: the first writable directory of a fallback list,
// the session's first files, and the instructions file of an instructed
// stems session.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/audio_format.h"
#include "base/buffered_file.h"
#include "base/platform_paths.h"
#include "engine/record_mode.h"
#include "wav/recpart_writer.h"

namespace quillbox {

// The folder recordings go into inside the fallback places.
inline constexpr std::string_view PRODUCT_FOLDER = "quillbox";

// A device name made fit for a file name: letters, digits and " -[]()"
// stay, everything else becomes "_", runs of "_" shrink to one, and "_" and
// spaces at the ends go. May be empty.
std::string sanitize_label(std::string_view name);

// Every place a recording could go failed.
struct NoWritableDir {
  std::vector<std::pair<std::filesystem::path, std::string>> tried;  // directory, error text
};
// The text the user sees, with one "{path}: {error}" line per place tried.
std::string no_writable_dir_text(const NoWritableDir& error);

// The first lines of instructions.txt.
std::string instructions_header(std::uint32_t sample_rate);

struct SessionRequest {
  std::string output_dir;  // as the user gave it; empty means the default folder
  RecordMode mode = RecordMode::Single;
  std::string timestamp;            // "YYYY-MM-DD_HH-MM"
  std::vector<AudioFormat> specs;   // one per source
  AudioFormat session_spec;         // the mixed file's format
  std::vector<std::string> labels;  // one per source
  std::vector<bool> active;         // one per source: recording from the start
};

struct SessionLayout {
  std::filesystem::path dir;
  bool dir_created = false;
  std::vector<RecpartWriter> writers;  // one, or one per source
  std::vector<std::filesystem::path> files;
  std::optional<BufferedFile> instructions;  // instructed stems only; header buffered
  std::filesystem::path instructions_path;   // its name; empty without one
  std::optional<std::string> notice;
  // Where files that vanish while recording are saved again: `dir` first,
  // then the other places of the fallback list, in its order.
  std::vector<std::filesystem::path> rescue_dirs;
};

// Tries the output folder, then the current directory, the program's
// folder joined with "quillbox", the program's folder, and the documents
// folder joined with "quillbox", and lays the session out in the first one
// where every file could be created. What a failed place got is removed again.
std::expected<SessionLayout, NoWritableDir> create_session_layout(const SessionRequest& request,
                                                                  const PlatformPaths& paths);

}  // namespace quillbox
