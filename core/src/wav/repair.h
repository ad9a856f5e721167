#pragma once

#include <expected>
#include <filesystem>
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

// Repairs every entry of `dir` whose extension is exactly "recpart", in the
// directory's own order. A directory that cannot be listed yields no outcomes.
std::vector<RepairOutcome> repair_directory(const std::filesystem::path& dir);

}  // namespace quillbox
