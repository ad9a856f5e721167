// Windows answers to the core's well-known places.

#include <windows.h>

#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>

#include <string>

#include "base/platform_paths.h"

namespace quillbox {

std::optional<std::filesystem::path> current_directory() {
  // The directory can change between the two calls; then ask again.
  for (int attempt = 0; attempt < 4; ++attempt) {
    const DWORD needed = ::GetCurrentDirectoryW(0, nullptr);
    if (needed == 0) return std::nullopt;
    std::wstring buffer(needed, L'\0');
    const DWORD got = ::GetCurrentDirectoryW(needed, buffer.data());
    if (got == 0) return std::nullopt;
    if (got < needed) {
      buffer.resize(got);
      return std::filesystem::path(buffer);
    }
  }
  return std::nullopt;
}

std::optional<std::filesystem::path> executable_directory() {
  // GetModuleFileNameW truncates silently when the buffer is too small: a
  // result that fills the buffer means "try a bigger one".
  for (DWORD size = MAX_PATH; size <= 32768 * 2; size *= 2) {
    std::wstring buffer(size, L'\0');
    const DWORD got = ::GetModuleFileNameW(nullptr, buffer.data(), size);
    if (got == 0) return std::nullopt;
    if (got < size) {
      buffer.resize(got);
      const std::filesystem::path exe(buffer);
      if (!exe.has_parent_path()) return std::nullopt;
      return exe.parent_path();
    }
  }
  return std::nullopt;
}

std::optional<std::filesystem::path> documents_directory() {
  PWSTR path = nullptr;
  const HRESULT hr = ::SHGetKnownFolderPath(FOLDERID_Documents, 0, nullptr, &path);
  std::optional<std::filesystem::path> documents;
  if (SUCCEEDED(hr) && path != nullptr) documents = std::filesystem::path(std::wstring(path));
  // Freed whether or not the call succeeded; CoTaskMemFree accepts null.
  ::CoTaskMemFree(path);
  return documents;
}

}  // namespace quillbox
