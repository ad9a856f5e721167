#pragma once

#include <array>
#include <cstddef>
#include <expected>
#include <span>

#include "base/file.h"

namespace quillbox {

// A file behind an 8192-byte write buffer. Bytes reach the file in the order
// they were written; the buffer is flushed when it has no room left.
class BufferedFile {
 public:
  static constexpr std::size_t CAPACITY = 8192;

  BufferedFile() = default;
  explicit BufferedFile(File file) : file_(std::move(file)) {}

  std::expected<void, Error> write(std::span<const std::byte> data);
  // Room left in the buffer; callers that encode straight into the buffer use
  // `reserve`/`commit`.
  std::size_t room() const { return CAPACITY - used_; }
  std::byte* reserve() { return buffer_.data() + used_; }
  void commit(std::size_t n) { used_ += n; }

  // Writes the buffered bytes to the file. On failure the bytes the file did
  // not accept stay buffered.
  std::expected<void, Error> flush();

  File& file() { return file_; }
  bool is_open() const { return file_.is_open(); }
  std::size_t buffered() const { return used_; }

  // Flushes (ignoring errors) and closes.
  void close();

 private:
  File file_;
  std::array<std::byte, CAPACITY> buffer_{};
  std::size_t used_ = 0;
};

}  // namespace quillbox
