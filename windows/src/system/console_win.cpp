#include <windows.h>

#include "base/console.h"
#include "base/text.h"

namespace quillbox {
namespace {

void write_handle(DWORD which, std::string_view text) {
  HANDLE h = ::GetStdHandle(which);
  // A desktop start has no standard streams; the text then goes nowhere.
  if (h == nullptr || h == INVALID_HANDLE_VALUE || text.empty()) return;
  DWORD mode = 0;
  if (::GetConsoleMode(h, &mode)) {
    const std::u16string wide = utf8_to_utf16(text);
    DWORD done = 0;
    ::WriteConsoleW(h, wide.data(), static_cast<DWORD>(wide.size()), &done, nullptr);
    return;
  }
  while (!text.empty()) {
    DWORD done = 0;
    if (!::WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &done, nullptr) || done == 0)
      return;
    text.remove_prefix(done);
  }
}

}  // namespace

void write_stdout(std::string_view text) {
  write_handle(STD_OUTPUT_HANDLE, text);
}
void write_stderr(std::string_view text) {
  write_handle(STD_ERROR_HANDLE, text);
}

}  // namespace quillbox
