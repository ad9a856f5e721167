#pragma once

#include <string>

namespace quillbox {

// An error as the user sees it. System errors carry their code and read
// "{system message} (os error {code})"; the program's own errors are fixed texts.
struct Error {
  std::string text;
  int os_code = 0;  // 0 when the error is not a system error
};

// The platform's message for a system error code (errno on POSIX, GetLastError
// on Windows), formatted "{message} (os error {code})".
Error os_error(int code);

// The calling thread's last system error (errno or GetLastError).
Error last_os_error();

inline Error app_error(std::string text) {
  return Error{std::move(text), 0};
}

}  // namespace quillbox
