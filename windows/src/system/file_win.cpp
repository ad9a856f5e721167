// Windows implementation of the core's file operations.

#include <windows.h>

#include <string>

#include "base/file.h"
#include "base/text.h"

namespace quillbox {
namespace {

HANDLE handle_of(std::intptr_t h) {
  return reinterpret_cast<HANDLE>(h);
}

std::expected<File, Error> open_with(const std::filesystem::path& path, DWORD access,
                                     DWORD disposition) {
  // Shared for reading, writing and deleting: a recording being written never
  // locks out a player, a copy or the repair tool.
  HANDLE h =
      ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::unexpected(last_os_error());
  return File::adopt(reinterpret_cast<std::intptr_t>(h));
}

}  // namespace

Error os_error(int code) {
  wchar_t* buf = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
  std::string msg;
  if (n != 0 && buf != nullptr) {
    msg = utf16_to_utf8(std::u16string(buf, buf + n));
  }
  if (buf != nullptr) ::LocalFree(buf);
  while (!msg.empty() && (msg.back() == '\r' || msg.back() == '\n' || msg.back() == ' '))
    msg.pop_back();
  if (msg.empty()) msg = "Unknown error";
  return Error{msg + " (os error " + std::to_string(code) + ")", code};
}

Error last_os_error() {
  return os_error(static_cast<int>(::GetLastError()));
}

std::expected<File, Error> File::create(const std::filesystem::path& path) {
  return open_with(path, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
}

std::expected<File, Error> File::open_existing(const std::filesystem::path& path) {
  return open_with(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
}

std::expected<File, Error> File::open_read(const std::filesystem::path& path) {
  return open_with(path, GENERIC_READ, OPEN_EXISTING);
}

std::expected<std::size_t, Error> File::write_some(const void* data, std::size_t size) {
  const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
  DWORD written = 0;
  if (!::WriteFile(handle_of(handle_), data, chunk, &written, nullptr))
    return std::unexpected(last_os_error());
  return written;
}

std::expected<std::size_t, Error> File::read_some(void* data, std::size_t size) {
  const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
  DWORD got = 0;
  if (!::ReadFile(handle_of(handle_), data, chunk, &got, nullptr)) {
    if (::GetLastError() == ERROR_HANDLE_EOF) return 0;
    return std::unexpected(last_os_error());
  }
  return got;
}

std::expected<void, Error> File::seek(std::uint64_t offset) {
  LARGE_INTEGER pos;
  pos.QuadPart = static_cast<LONGLONG>(offset);
  if (!::SetFilePointerEx(handle_of(handle_), pos, nullptr, FILE_BEGIN))
    return std::unexpected(last_os_error());
  return {};
}

std::expected<std::uint64_t, Error> File::length() {
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(handle_of(handle_), &size)) return std::unexpected(last_os_error());
  return static_cast<std::uint64_t>(size.QuadPart);
}

std::expected<FilePlace, Error> File::place(const std::filesystem::path& path) {
  // A deleted file stays reachable by name until its last handle closes, but
  // is marked for deletion; a file deleted under Wine by the host has no links.
  FILE_STANDARD_INFO standard{};
  if (!::GetFileInformationByHandleEx(handle_of(handle_), FileStandardInfo, &standard,
                                      sizeof standard))
    return std::unexpected(last_os_error());
  if (standard.DeletePending || standard.NumberOfLinks == 0) return FilePlace::Deleted;
  BY_HANDLE_FILE_INFORMATION mine{};
  if (!::GetFileInformationByHandle(handle_of(handle_), &mine))
    return std::unexpected(last_os_error());
  // No access asked: this only reads what the name leads to, whoever holds it.
  HANDLE there =
      ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (there == INVALID_HANDLE_VALUE) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return FilePlace::Moved;
    return std::unexpected(os_error(static_cast<int>(code)));
  }
  BY_HANDLE_FILE_INFORMATION theirs{};
  const BOOL read = ::GetFileInformationByHandle(there, &theirs);
  const DWORD code = ::GetLastError();
  ::CloseHandle(there);
  if (!read) return std::unexpected(os_error(static_cast<int>(code)));
  const bool same = theirs.dwVolumeSerialNumber == mine.dwVolumeSerialNumber &&
                    theirs.nFileIndexHigh == mine.nFileIndexHigh &&
                    theirs.nFileIndexLow == mine.nFileIndexLow;
  return same ? FilePlace::AtName : FilePlace::Moved;
}

void File::close() {
  if (handle_ != INVALID) {
    ::CloseHandle(handle_of(handle_));
    handle_ = INVALID;
  }
}

std::expected<void, Error> rename_replace(const std::filesystem::path& from,
                                          const std::filesystem::path& to) {
  if (!::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING))
    return std::unexpected(last_os_error());
  return {};
}

bool exists_at(const std::filesystem::path& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::expected<void, Error> create_dir(const std::filesystem::path& path) {
  if (!::CreateDirectoryW(path.c_str(), nullptr)) return std::unexpected(last_os_error());
  return {};
}

}  // namespace quillbox
