#include "base/buffered_file.h"

#include <cstring>

namespace quillbox {

std::expected<void, Error> BufferedFile::write(std::span<const std::byte> data) {
  if (data.size() > room()) {
    if (auto r = flush(); !r) return r;
  }
  if (data.size() >= CAPACITY) return write_all(file_, data);
  std::memcpy(buffer_.data() + used_, data.data(), data.size());
  used_ += data.size();
  return {};
}

std::expected<void, Error> BufferedFile::flush() {
  std::size_t done = 0;
  while (done < used_) {
    auto n = file_.write_some(buffer_.data() + done, used_ - done);
    if (!n || *n == 0) {
      // Keep what the file did not take, so a later flush can retry it.
      std::memmove(buffer_.data(), buffer_.data() + done, used_ - done);
      used_ -= done;
      if (!n) return std::unexpected(n.error());
      return std::unexpected(app_error("failed to write whole buffer"));
    }
    done += *n;
  }
  used_ = 0;
  return {};
}

void BufferedFile::close() {
  if (file_.is_open()) (void)flush();
  used_ = 0;
  file_.close();
}

}  // namespace quillbox
