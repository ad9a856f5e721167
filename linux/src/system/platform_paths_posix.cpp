// POSIX answers to the core's well-known places.

#include <cstdlib>
#include <system_error>

#include "base/platform_paths.h"

namespace quillbox {
namespace {

std::optional<std::filesystem::path> env_path(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::filesystem::path(value);
}

}  // namespace

std::optional<std::filesystem::path> current_directory() {
  std::error_code ec;
  std::filesystem::path cwd = std::filesystem::current_path(ec);
  if (ec || cwd.empty()) return std::nullopt;
  return cwd;
}

std::optional<std::filesystem::path> executable_directory() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec || !exe.has_parent_path()) return std::nullopt;
  return exe.parent_path();
}

std::optional<std::filesystem::path> documents_directory() {
  // The user's own setting first, then the usual folder in the home directory.
  if (auto documents = env_path("XDG_DOCUMENTS_DIR")) return documents;
  if (auto home = env_path("HOME")) return *home / "Documents";
  return std::nullopt;
}

}  // namespace quillbox
