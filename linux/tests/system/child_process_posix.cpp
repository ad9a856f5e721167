// POSIX side of the tests' child processes: fork, exec, a pipe, SIGKILL.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "child_process.h"

namespace quillbox::test_support {

std::expected<ChildProcess, std::string> ChildProcess::start(const std::filesystem::path& program,
                                                             const std::vector<std::string>& args,
                                                             const std::filesystem::path& dir) {
  // Everything the child needs is prepared before fork: after it, only
  // async-signal-safe calls.
  std::vector<std::string> strings{program.string()};
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  const std::string workdir = dir.string();

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(std::string("pipe: ") + strerror(errno));
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return std::unexpected(std::string("fork: ") + strerror(errno));
  }
  if (pid == 0) {
    if (::dup2(fds[1], STDOUT_FILENO) < 0 || ::chdir(workdir.c_str()) != 0) ::_exit(126);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  return ChildProcess(pid, fds[0]);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : process_(other.process_), output_(other.output_) {
  other.process_ = -1;
  other.output_ = -1;
}

ChildProcess::~ChildProcess() {
  kill();
  if (output_ >= 0) ::close(static_cast<int>(output_));
}

std::size_t ChildProcess::read(char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(static_cast<int>(output_), buffer, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return 0;
  }
}

void ChildProcess::kill() {
  if (process_ < 0) return;
  const auto pid = static_cast<pid_t>(process_);
  ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  process_ = -1;
}

std::filesystem::path test_program(const std::string& name) {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return self.parent_path() / name;
}

}  // namespace quillbox::test_support
