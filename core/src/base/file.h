#pragma once

// The file operations the core needs of the operating system. The core states
// what it needs here; linux/src and windows/src implement it.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>

#include "base/error.h"

namespace quillbox {

// Where an open file stands against the name it was opened under.
enum class FilePlace : std::uint8_t {
  AtName,   // the name still leads to this file
  Deleted,  // deleted, or waiting to be once its handles close: only the handles reach its data
  Moved,    // still there, but the name leads nowhere or to another file (renamed, or its folder
            // moved)
};

class File {
 public:
  File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  ~File();

  // Creates the file or truncates an existing one, open for reading and
  // writing. Other processes may read, write, rename and delete it meanwhile,
  // so a recording in progress never locks anyone out.
  static std::expected<File, Error> create(const std::filesystem::path& path);
  // Opens an existing file for reading and writing; never creates or truncates.
  static std::expected<File, Error> open_existing(const std::filesystem::path& path);
  // Opens an existing file for reading only.
  static std::expected<File, Error> open_read(const std::filesystem::path& path);

  // Wraps a native handle (a POSIX descriptor or a Windows HANDLE); used by
  // the platform implementations.
  static File adopt(std::intptr_t native) { return File(native); }

  bool is_open() const { return handle_ != INVALID; }

  // One write at the current position; may accept fewer bytes than given.
  // Writes interrupted by a signal are retried inside.
  std::expected<std::size_t, Error> write_some(const void* data, std::size_t size);
  // One read at the current position; 0 means end of file.
  std::expected<std::size_t, Error> read_some(void* data, std::size_t size);
  std::expected<void, Error> seek(std::uint64_t offset);
  std::expected<std::uint64_t, Error> length();
  // Where this file stands against `path`, asked of the handle itself (and of
  // what `path` names now), so a recording whose file or folder was deleted or
  // moved meanwhile finds out while its handle still reaches the data.
  std::expected<FilePlace, Error> place(const std::filesystem::path& path);
  // Releases the handle; further calls fail. Closing a closed file does nothing.
  void close();

 private:
  static constexpr std::intptr_t INVALID = -1;
  explicit File(std::intptr_t handle) : handle_(handle) {}
  std::intptr_t handle_ = INVALID;
};

// Writes everything; a write that accepts no bytes fails with
// "failed to write whole buffer".
std::expected<void, Error> write_all(File& file, std::span<const std::byte> data);
// Reads exactly data.size() bytes; an early end fails with "failed to fill whole buffer".
std::expected<void, Error> read_exact(File& file, std::span<std::byte> data);

// Appends everything `from` holds, from its start, to `to`.
std::expected<void, Error> copy_contents(File& from, File& to);

// Renames `from` to `to` in one step, replacing an existing `to`.
std::expected<void, Error> rename_replace(const std::filesystem::path& from,
                                          const std::filesystem::path& to);

// True when the attributes of `path` can be queried; any failure counts as
// "nothing exists there".
bool exists_at(const std::filesystem::path& path);

// Creates one directory; its parent must exist. Something already at `path`
// is an error. Errors are the system's own codes and messages.
std::expected<void, Error> create_dir(const std::filesystem::path& path);
// Creates `path` and every missing parent; an existing directory is fine.
std::expected<void, Error> create_dir_all(const std::filesystem::path& path);

}  // namespace quillbox
