#include "engine/session_rescue.h"

#include <optional>
#include <system_error>

#include "base/path_names.h"

namespace quillbox {
namespace fs = std::filesystem;

template <typename Make>
std::expected<fs::path, Error> SessionRescue::first_place(const fs::path& path,
                                                          const Make& make) const {
  if (dirs_.empty()) return std::unexpected(app_error("no folder to save it in"));
  // Its place inside the session's folder: the session folder and file name.
  fs::path inside = path.lexically_normal().lexically_relative(dirs_.front().lexically_normal());
  if (inside.empty() || *inside.begin() == "..") inside = path.filename();
  std::optional<Error> first_error;
  for (const fs::path& dir : dirs_) {
    const fs::path target = dir / inside;
    auto made = create_dir_all(target.parent_path());
    if (made) {
      const fs::path free = unique_path(target);
      made = make(free);
      if (made) return free;
    }
    if (!first_error) first_error = made.error();
  }
  return std::unexpected(*first_error);
}

std::expected<fs::path, Error> SessionRescue::place(const fs::path& wanted) const {
  return first_place(wanted, [](const fs::path&) -> std::expected<void, Error> { return {}; });
}

std::expected<fs::path, Error> SessionRescue::copy_out(File& file, const fs::path& path) const {
  return first_place(path, [&file](const fs::path& target) -> std::expected<void, Error> {
    auto copy = File::create(target);
    if (!copy) return std::unexpected(copy.error());
    auto copied = copy_contents(file, *copy);
    copy->close();
    if (!copied) {
      std::error_code ec;
      fs::remove(target, ec);
    }
    return copied;
  });
}

}  // namespace quillbox
