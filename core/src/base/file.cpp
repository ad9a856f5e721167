#include "base/file.h"

#include <array>
#include <system_error>

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

std::expected<void, Error> copy_contents(File& from, File& to) {
  if (auto r = from.seek(0); !r) return r;
  std::array<std::byte, 65536> buffer;
  for (;;) {
    auto n = from.read_some(buffer.data(), buffer.size());
    if (!n) return std::unexpected(n.error());
    if (*n == 0) return {};
    if (auto r = write_all(to, std::span(buffer).first(*n)); !r) return r;
  }
}

std::expected<void, Error> create_dir_all(const std::filesystem::path& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) return {};
  // The directory itself first, so that a failure names the real cause (a
  // file in the way, no permission) rather than a parent's.
  auto created = create_dir(path);
  if (created) return {};
  // Someone else may have made it meanwhile; a trailing separator names it twice.
  if (std::filesystem::is_directory(path, ec)) return {};
  const std::filesystem::path parent = path.parent_path();
  if (parent.empty() || parent == path || exists_at(parent)) return created;
  if (auto r = create_dir_all(parent); !r) return r;
  created = create_dir(path);
  if (!created && std::filesystem::is_directory(path, ec)) return {};
  return created;
}

}  // namespace quillbox
