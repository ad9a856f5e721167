#pragma once

// Starting, reading and killing a helper program from a test. Implemented in
// linux/tests/system/child_process_posix.cpp and windows/tests/system/child_process_win.cpp.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <vector>

namespace quillbox::test_support {

// A running program whose standard output the test reads through a pipe.
class ChildProcess {
 public:
  // Starts `program` with `args` (plain ASCII) in the working directory `dir`.
  static std::expected<ChildProcess, std::string> start(const std::filesystem::path& program,
                                                        const std::vector<std::string>& args,
                                                        const std::filesystem::path& dir);

  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&&) = delete;
  ~ChildProcess();  // kills a child still running

  // Blocks until the child wrote something or closed its output; 0 at the end.
  std::size_t read(char* buffer, std::size_t size);
  // Ends the child at once, as a crash or a power cut would (SIGKILL,
  // TerminateProcess), and waits until it is gone.
  void kill();

 private:
  ChildProcess(std::intptr_t process, std::intptr_t output) : process_(process), output_(output) {}
  std::intptr_t process_ = -1;
  std::intptr_t output_ = -1;
};

// A program built next to the test executable; `name` without ".exe".
std::filesystem::path test_program(const std::string& name);

}  // namespace quillbox::test_support
