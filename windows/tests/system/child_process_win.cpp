// Windows side of the tests' child processes: CreateProcess with a pipe for
// standard output, TerminateProcess.

#include <windows.h>

#include <string>

#include "child_process.h"

namespace quillbox::test_support {
namespace {

HANDLE handle_of(std::intptr_t h) {
  return reinterpret_cast<HANDLE>(h);
}

std::string last_error(const char* step) {
  return std::string(step) + " failed: " + std::to_string(::GetLastError());
}

std::wstring quoted(const std::wstring& arg) {
  return L"\"" + arg + L"\"";
}

}  // namespace

std::expected<ChildProcess, std::string> ChildProcess::start(const std::filesystem::path& program,
                                                             const std::vector<std::string>& args,
                                                             const std::filesystem::path& dir) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!::CreatePipe(&read_end, &write_end, &inherit, 0))
    return std::unexpected(last_error("CreatePipe"));
  // Only the child's end is inherited, so the pipe ends when the child does.
  ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);

  std::wstring command = quoted(program.wstring());
  for (const auto& arg : args) command += L" " + quoted(std::wstring(arg.begin(), arg.end()));

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = INVALID_HANDLE_VALUE;
  startup.hStdOutput = write_end;
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info{};
  const std::wstring workdir = dir.wstring();
  const BOOL ok = ::CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE,
                                   CREATE_NO_WINDOW, nullptr, workdir.c_str(), &startup, &info);
  ::CloseHandle(write_end);
  if (!ok) {
    const std::string error = last_error("CreateProcessW");
    ::CloseHandle(read_end);
    return std::unexpected(error);
  }
  ::CloseHandle(info.hThread);
  return ChildProcess(reinterpret_cast<std::intptr_t>(info.hProcess),
                      reinterpret_cast<std::intptr_t>(read_end));
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : process_(other.process_), output_(other.output_) {
  other.process_ = -1;
  other.output_ = -1;
}

ChildProcess::~ChildProcess() {
  kill();
  if (output_ != -1) ::CloseHandle(handle_of(output_));
}

std::size_t ChildProcess::read(char* buffer, std::size_t size) {
  DWORD got = 0;
  if (!::ReadFile(handle_of(output_), buffer, static_cast<DWORD>(size), &got, nullptr)) return 0;
  return got;
}

void ChildProcess::kill() {
  if (process_ == -1) return;
  ::TerminateProcess(handle_of(process_), 137);
  ::WaitForSingleObject(handle_of(process_), INFINITE);
  ::CloseHandle(handle_of(process_));
  process_ = -1;
}

std::filesystem::path test_program(const std::string& name) {
  std::wstring self(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
    if (n < self.size()) {
      self.resize(n);
      break;
    }
    self.resize(self.size() * 2);
  }
  return std::filesystem::path(self).parent_path() / (name + ".exe");
}

}  // namespace quillbox::test_support
