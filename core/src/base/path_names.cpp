#include "base/path_names.h"

#include <cstdint>
#include <string>

#include "base/file.h"

namespace quillbox {

NameParts name_parts(const std::filesystem::path& path) {
  std::filesystem::path p = path;
  if (p.filename().empty() && p.has_relative_path()) p = p.parent_path();

  NameParts parts;
  parts.dir = p.parent_path();
  const std::filesystem::path name = p.filename();
  if (name.empty() || name == "." || name == "..") return parts;
  // std::filesystem already treats a leading dot as part of the stem.
  parts.stem = name.stem();
  parts.extension = name.extension();
  return parts;
}

std::filesystem::path unique_path(const std::filesystem::path& path) {
  if (!exists_at(path)) return path;
  const NameParts parts = name_parts(path);
  const std::filesystem::path dir = parts.dir.empty() ? std::filesystem::path(".") : parts.dir;
  for (std::uint64_t n = 1;; ++n) {
    std::filesystem::path name = parts.stem;
    name += "_" + std::to_string(n);
    name += parts.extension;
    std::filesystem::path candidate = dir / name;
    if (!exists_at(candidate)) return candidate;
  }
}

}  // namespace quillbox
