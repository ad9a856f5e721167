#pragma once

// Helpers shared by the tests: a private scratch directory, whole-file reads
// and writes, little-endian field access, and a bounded wait on a condition.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace quillbox::test_support {

// A fresh directory under the system's temporary folder, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    static std::atomic<unsigned> counter{0};
    const auto tick = std::chrono::steady_clock::now().time_since_epoch().count();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = "quillbox-";
    if (info != nullptr) name += std::string(info->name()) + "-";
    name += std::to_string(tick) + "-" + std::to_string(counter++);
    path_ = std::filesystem::temp_directory_path() / name;
    std::filesystem::create_directories(path_);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }

  // Every entry's file name, sorted.
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(path_))
      out.push_back(e.path().filename().string());
    std::ranges::sort(out);
    return out;
  }

 private:
  std::filesystem::path path_;
};

// The whole file as bytes of type B (std::byte or std::uint8_t).
template <typename B = std::byte>
std::vector<B> read_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> chars((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<B> bytes(chars.size());
  for (std::size_t i = 0; i < chars.size(); ++i) bytes[i] = static_cast<B>(chars[i]);
  return bytes;
}

inline void write_bytes(const std::filesystem::path& path, std::span<const std::byte> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// Any contiguous range of one-byte values.
template <typename Range>
void write_bytes(const std::filesystem::path& path, const Range& bytes) {
  write_bytes(path, std::as_bytes(std::span(bytes)));
}

inline std::vector<std::byte> bytes_of(std::initializer_list<int> values) {
  std::vector<std::byte> out;
  for (int v : values) out.push_back(static_cast<std::byte>(v));
  return out;
}

inline std::vector<std::byte> pattern(std::size_t size, unsigned seed = 1) {
  std::vector<std::byte> out(size);
  for (std::size_t i = 0; i < size; ++i)
    out[i] = static_cast<std::byte>((i * 131 + seed * 17) >> 1);
  return out;
}

inline std::uint16_t le16(std::span<const std::byte> b, std::size_t at) {
  return static_cast<std::uint16_t>(std::to_integer<unsigned>(b[at]) |
                                    std::to_integer<unsigned>(b[at + 1]) << 8);
}

inline std::uint32_t le32(std::span<const std::byte> b, std::size_t at) {
  return std::uint32_t{le16(b, at)} | std::uint32_t{le16(b, at + 2)} << 16;
}

inline std::string tag(std::span<const std::byte> b, std::size_t at) {
  return std::string(reinterpret_cast<const char*>(b.data() + at), 4);
}

// Polls `done` until it holds; false when it still does not after `limit`. A
// test waits for what another thread brings about, never for a guessed time:
// the limit only ends a wait that would otherwise hang.
template <typename Condition>
bool eventually(Condition&& done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace quillbox::test_support
