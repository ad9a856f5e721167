#include <unistd.h>

#include <cerrno>

#include "base/console.h"

namespace quillbox {
namespace {

void write_fd(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // an unconnected or closed stream swallows the text
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

void write_stdout(std::string_view text) {
  write_fd(STDOUT_FILENO, text);
}
void write_stderr(std::string_view text) {
  write_fd(STDERR_FILENO, text);
}

}  // namespace quillbox
