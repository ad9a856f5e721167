#pragma once

// What every fuzz target needs: a scratch folder of its own, whole-file reads
// and writes, and a failure that reports, cleans up and aborts so that
// libFuzzer keeps the input.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fuzz_support {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// One scratch directory per process, removed when the fuzzer exits normally.
struct ScratchDir {
  fs::path path = fs::temp_directory_path() / ("quillbox-fuzz-" + std::to_string(::getpid()));
  ScratchDir() { fs::create_directories(path); }
  ~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

inline const ScratchDir& scratch() {
  static const ScratchDir dir;
  return dir;
}

inline void write_file(const fs::path& path, const std::uint8_t* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

inline Bytes read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

[[noreturn]] inline void fail_target(const char* target, const char* what,
                                     const std::string& detail) {
  std::fprintf(stderr, "%s: %s %s\n", target, what, detail.c_str());
  std::error_code ec;
  fs::remove_all(scratch().path, ec);
  std::abort();
}

}  // namespace fuzz_support
