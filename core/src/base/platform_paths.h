#pragma once

// Well-known places the core needs of the operating system. Each is absent
// when the system cannot tell.

#include <filesystem>
#include <optional>

namespace quillbox {

std::optional<std::filesystem::path> current_directory();
// The folder that holds the running program.
std::optional<std::filesystem::path> executable_directory();
// The user's documents folder.
std::optional<std::filesystem::path> documents_directory();

// The three together, so tests can put them anywhere.
struct PlatformPaths {
  std::optional<std::filesystem::path> (*current_dir)() = current_directory;
  std::optional<std::filesystem::path> (*exe_dir)() = executable_directory;
  std::optional<std::filesystem::path> (*documents_dir)() = documents_directory;
};

}  // namespace quillbox
