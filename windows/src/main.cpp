// The Windows program: a desktop (GUI-subsystem) executable that never creates
// or attaches a console. Console output reaches only streams it inherited,
// such as a redirected file or pipe.

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/console.h"
#include "base/text.h"
#include "cli/app.h"
#include "wasapi/wasapi_platform.h"
#include "window/main_window.h"

namespace {

// The process's arguments without the program path, split by the platform's
// quoting rules and converted to UTF-8 (unpaired surrogates become U+FFFD).
// Absent when the command line cannot be split.
std::optional<std::vector<std::string>> command_line_args() {
  int count = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (argv == nullptr) return std::nullopt;
  std::vector<std::string> args;
  for (int i = 1; i < count; ++i) {
    const std::wstring_view arg = argv[i];
    args.push_back(quillbox::utf16_to_utf8(std::u16string(arg.begin(), arg.end())));
  }
  ::LocalFree(argv);
  return args;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const auto args = command_line_args();
  if (!args) {
    quillbox::write_stderr("quillbox: " + quillbox::last_os_error().text + "\n");
    return quillbox::EXIT_STATUS_FAILURE;
  }
  quillbox::ConsoleEnv console;
  console.capture = quillbox::make_wasapi_platform();
  const quillbox::EntryOutcome outcome = quillbox::run_console_modes(*args, console);
  if (const auto* finished = std::get_if<quillbox::Finished>(&outcome))
    return finished->exit_status;
  return quillbox::run_window(std::get<quillbox::OpenWindow>(outcome).options);
}
