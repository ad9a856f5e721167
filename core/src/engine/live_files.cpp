#include "engine/live_files.h"

#include <algorithm>
#include <system_error>

namespace quillbox {
namespace {

std::filesystem::path canonical_form(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::path canonical = std::filesystem::weakly_canonical(path, ec);
  if (ec) canonical = path.lexically_normal();
  return canonical;
}

}  // namespace

void LiveFiles::add(const std::filesystem::path& path) {
  std::lock_guard lock(mutex_);
  paths_.push_back(path);
}

bool LiveFiles::holds(const std::filesystem::path& path) const {
  std::vector<std::filesystem::path> paths;
  {
    // Copied out: the comparison asks the file system, which the processor
    // thread must not wait for.
    std::lock_guard lock(mutex_);
    paths = paths_;
  }
  const std::filesystem::path wanted = canonical_form(path);
  return std::ranges::any_of(
      paths, [&wanted](const std::filesystem::path& p) { return canonical_form(p) == wanted; });
}

}  // namespace quillbox
