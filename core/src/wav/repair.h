#pragma once

#include <expected>
#include <filesystem>
#include <functional>
#include <string_view>
#include <vector>

#include "base/error.h"

namespace quillbox {

// One `.recpart` file found by `repair_directory` and what became of it.
struct RepairOutcome {
  std::filesystem::path path;
  std::expected<std::filesystem::path, Error> result;  // the final `.wav` path, or why not
};

// Rebuilds the header of a `.recpart` (or `.wav`) file from its length and
// renames it to a free `.wav` name next to it. Returns the new path.
std::expected<std::filesystem::path, Error> repair_file(const std::filesystem::path& path);

// What the name of a stems recording's own folder starts with.
inline constexpr std::string_view SESSION_DIR_PREFIX = "recording_";

// Says which files found must stay as they are: those a running recording
// still writes. Asked of each file once the folders are listed, just before
// it would be repaired.
using LeaveAlone = std::function<bool(const std::filesystem::path&)>;

// Repairs every entry of `dir` whose extension is exactly "recpart", in the
// directory's own order, then those of the recordings' own folders in it
// (names starting with `SESSION_DIR_PREFIX`, one level down, not the whole
// tree), each outcome naming its file under `dir`. A file `leave_alone`
// (when given) says yes to is skipped and has no outcome. A directory that
// cannot be listed yields no outcomes.
std::vector<RepairOutcome> repair_directory(const std::filesystem::path& dir,
                                            const LeaveAlone& leave_alone = {});

}  // namespace quillbox
