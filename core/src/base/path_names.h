#pragma once

// File-name rules shared by the writer, the session layout, repair and moving
// stems: stems, extensions and free names next to an existing file.

#include <filesystem>

namespace quillbox {

// The parts of a path's last name. The extension is the text after the last
// "." of the name; a name whose only "." is its first character has no
// extension; "." and ".." have neither stem nor extension. A trailing
// separator is ignored ("x/dir/" has the stem "dir").
struct NameParts {
  std::filesystem::path dir;        // empty when the path has no directory part
  std::filesystem::path stem;       // empty when there is none
  std::filesystem::path extension;  // with its leading ".", empty when there is none
};
NameParts name_parts(const std::filesystem::path& path);

// `path` when nothing exists there; otherwise the first free
// "{dir}/{stem}_{n}{ext}" for n = 1, 2, 3, ... ("." when `path` has no
// directory). Anything whose attributes cannot be queried counts as free.
std::filesystem::path unique_path(const std::filesystem::path& path);

}  // namespace quillbox
