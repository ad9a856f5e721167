#pragma once

// The files a running recording writes, named by the processor thread as it
// makes them and asked about by any other thread, which must leave them
// alone until the recording has stopped.

#include <filesystem>
#include <mutex>
#include <vector>

namespace quillbox {

class LiveFiles {
 public:
  // Names a file of the recording. Called before the file is created, so a
  // file that can be seen in its folder is already named here.
  void add(const std::filesystem::path& path);
  // Whether `path` is one of the files named, compared by weakly canonical
  // path (so "dir//a" and "dir/./a" are "dir/a").
  bool holds(const std::filesystem::path& path) const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::filesystem::path> paths_;
};

}  // namespace quillbox
