#include "base/file_moves.h"

#include <system_error>

#include "base/file.h"
#include "base/text.h"

namespace quillbox {
namespace {

std::filesystem::path tidy(const std::filesystem::path& p) {
  std::filesystem::path normal = p.lexically_normal();
  if (normal.has_relative_path() && normal.filename().empty()) normal = normal.parent_path();
  return normal;
}

Error fs_error(const std::error_code& ec) {
  return ec.category() == std::system_category() ? os_error(ec.value()) : app_error(ec.message());
}

}  // namespace

bool same_file(const std::filesystem::path& a, const std::filesystem::path& b) {
  if (same_path(a, b)) return true;
  std::error_code ec;
  return std::filesystem::equivalent(a, b, ec) && !ec;
}

bool same_path(const std::filesystem::path& a, const std::filesystem::path& b) {
  return tidy(a) == tidy(b);
}

bool path_inside(const std::filesystem::path& path, const std::filesystem::path& dir) {
  const std::filesystem::path p = tidy(path);
  const std::filesystem::path d = tidy(dir);
  auto pi = p.begin();
  for (auto di = d.begin(); di != d.end(); ++di, ++pi)
    if (pi == p.end() || *pi != *di) return false;
  return pi != p.end();
}

std::expected<void, Error> move_file(const std::filesystem::path& from,
                                     const std::filesystem::path& to, bool overwrite,
                                     const RenameFn& rename) {
  if (same_file(from, to)) return {};
  if (exists_at(to)) {
    if (!overwrite) return std::unexpected(app_error(path_to_text(to) + " already exists"));
    std::error_code ec;
    std::filesystem::remove(to, ec);
    if (ec) return std::unexpected(fs_error(ec));
  }
  auto renamed = rename(from, to);
  if (renamed) return {};
  std::error_code ec;
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, ec);
  if (ec) return std::unexpected(renamed.error());
  std::filesystem::remove(from, ec);
  if (ec) return std::unexpected(fs_error(ec));
  return {};
}

}  // namespace quillbox
