#pragma once

// A recording whose files were deleted or moved while it ran (a folder
// tidied away, a synced folder, a removed drive) is saved again: its open
// handles still reach every byte written. Such a file is copied out through
// its handle, and a new file (a part, a segment) goes, to the same place
// under the first folder of the session's list that takes it: the output
// folder (made again), then the places a recording falls back on at start.
// A stems session keeps its session folder's name and its file names there;
// a name already taken gets the first free one next to it.

#include <expected>
#include <filesystem>
#include <vector>

#include "base/error.h"
#include "base/file.h"

namespace quillbox {

// A file of the recording that was saved again.
struct RescuedFile {
  std::filesystem::path from;  // where it was written
  std::filesystem::path to;    // where it is now
};

class SessionRescue {
 public:
  SessionRescue() = default;  // no folders: nothing can be saved again
  // `dirs`: the folder the session was laid out in first, then the fallbacks.
  explicit SessionRescue(std::vector<std::filesystem::path> dirs) : dirs_(std::move(dirs)) {}

  // A free name at `wanted`'s place (a path of the session) under the first
  // folder where that place exists or can be made.
  std::expected<std::filesystem::path, Error> place(const std::filesystem::path& wanted) const;

  // Copies everything `file` holds, from its start, to a free name at
  // `path`'s place under the first folder that takes all of it; returns the
  // new name. A copy cut short is removed again.
  std::expected<std::filesystem::path, Error> copy_out(File& file,
                                                       const std::filesystem::path& path) const;

 private:
  template <typename Make>
  std::expected<std::filesystem::path, Error> first_place(const std::filesystem::path& path,
                                                          const Make& make) const;

  std::vector<std::filesystem::path> dirs_;
};

}  // namespace quillbox
