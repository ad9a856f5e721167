#pragma once

// Moving a finished recording's files where the user wants them, and the
// path comparisons that decide whether anything has to move.

#include <expected>
#include <filesystem>
#include <functional>

#include "base/error.h"

namespace quillbox {

// The same path component by component: separator style, doubled separators,
// "." components and a trailing separator do not count as differences.
bool same_path(const std::filesystem::path& a, const std::filesystem::path& b);

// `path` lies inside `dir` (compared as `same_path` does; `dir` itself is not inside).
bool path_inside(const std::filesystem::path& path, const std::filesystem::path& dir);

// `a` and `b` name the same existing file, or the same path.
bool same_file(const std::filesystem::path& a, const std::filesystem::path& b);

using RenameFn = std::function<std::expected<void, Error>(const std::filesystem::path&,
                                                          const std::filesystem::path&)>;

// Moves `from` to `to`. Source and destination naming the same file is
// success without a change. Something at `to` is an error ("{to} already
// exists") unless `overwrite`, which deletes it first. When the rename fails
// (across file systems) the file is copied and the source deleted; a failed
// copy reports the rename's error.
std::expected<void, Error> move_file(const std::filesystem::path& from,
                                     const std::filesystem::path& to, bool overwrite,
                                     const RenameFn& rename);

}  // namespace quillbox
