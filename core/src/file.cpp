#include "file.h"

namespace quillbox {

File::File(File&& other) noexcept : handle_(other.handle_) {
  other.handle_ = INVALID;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.handle_;
    other.handle_ = INVALID;
  }
  return *this;
}

File::~File() {
  close();
}

std::expected<void, Error> write_all(File& file, std::span<const std::byte> data) {
  while (!data.empty()) {
    auto n = file.write_some(data.data(), data.size());
    if (!n) return std::unexpected(n.error());
    if (*n == 0) return std::unexpected(app_error("failed to write whole buffer"));
    data = data.subspan(*n);
  }
  return {};
}

std::expected<void, Error> read_exact(File& file, std::span<std::byte> data) {
  while (!data.empty()) {
    auto n = file.read_some(data.data(), data.size());
    if (!n) return std::unexpected(n.error());
    if (*n == 0) return std::unexpected(app_error("failed to fill whole buffer"));
    data = data.subspan(*n);
  }
  return {};
}

}  // namespace quillbox
