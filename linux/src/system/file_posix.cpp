// POSIX implementation of the core's file operations.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/file.h"

namespace quillbox {
namespace {

int fd_of(std::intptr_t handle) {
  return static_cast<int>(handle);
}

}  // namespace

Error os_error(int code) {
  char buf[256] = {};
  // GNU strerror_r may return a static string instead of filling buf.
  const char* msg = strerror_r(code, buf, sizeof buf);
  return Error{std::string(msg) + " (os error " + std::to_string(code) + ")", code};
}

Error last_os_error() {
  return os_error(errno);
}

namespace {
std::expected<File, Error> open_with(const std::filesystem::path& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(last_os_error());
  // open(2) happily opens a directory read-only; a file operation on one is an error.
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    return std::unexpected(os_error(EISDIR));
  }
  return File::adopt(fd);
}
}  // namespace

std::expected<File, Error> File::create(const std::filesystem::path& path) {
  return open_with(path, O_RDWR | O_CREAT | O_TRUNC);
}

std::expected<File, Error> File::open_existing(const std::filesystem::path& path) {
  return open_with(path, O_RDWR);
}

std::expected<File, Error> File::open_read(const std::filesystem::path& path) {
  return open_with(path, O_RDONLY);
}

std::expected<std::size_t, Error> File::write_some(const void* data, std::size_t size) {
  for (;;) {
    const ssize_t n = ::write(fd_of(handle_), data, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return std::unexpected(last_os_error());
  }
}

std::expected<std::size_t, Error> File::read_some(void* data, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd_of(handle_), data, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return std::unexpected(last_os_error());
  }
}

std::expected<void, Error> File::seek(std::uint64_t offset) {
  if (::lseek(fd_of(handle_), static_cast<off_t>(offset), SEEK_SET) < 0)
    return std::unexpected(last_os_error());
  return {};
}

std::expected<std::uint64_t, Error> File::length() {
  struct stat st {};
  if (::fstat(fd_of(handle_), &st) != 0) return std::unexpected(last_os_error());
  return static_cast<std::uint64_t>(st.st_size);
}

std::expected<FilePlace, Error> File::place(const std::filesystem::path& path) {
  struct stat mine {};
  if (::fstat(fd_of(handle_), &mine) != 0) return std::unexpected(last_os_error());
  if (mine.st_nlink == 0) return FilePlace::Deleted;
  struct stat there {};
  if (::stat(path.c_str(), &there) != 0) {
    // Nothing by that name any more; any other failure says nothing of the file.
    if (errno == ENOENT || errno == ENOTDIR) return FilePlace::Moved;
    return std::unexpected(last_os_error());
  }
  if (there.st_dev != mine.st_dev || there.st_ino != mine.st_ino) return FilePlace::Moved;
  return FilePlace::AtName;
}

void File::close() {
  if (handle_ != INVALID) {
    ::close(fd_of(handle_));
    handle_ = INVALID;
  }
}

std::expected<void, Error> rename_replace(const std::filesystem::path& from,
                                          const std::filesystem::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return std::unexpected(last_os_error());
  return {};
}

bool exists_at(const std::filesystem::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::expected<void, Error> create_dir(const std::filesystem::path& path) {
  if (::mkdir(path.c_str(), 0777) != 0) return std::unexpected(last_os_error());
  return {};
}

}  // namespace quillbox
