// libFuzzer target: repair_file on arbitrary `.recpart` contents.
//
// Besides crashes and sanitizer reports it checks that nothing is lost: a
// failed repair leaves the file as it was, a successful one moves it to the
// `.wav` name with every byte after the header unchanged and a data length
// that matches the file.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "wav/normalize.h"
#include "wav/repair.h"

namespace {

using namespace fuzz_support;

std::uint32_t u32_at(const Bytes& b, std::size_t at) {
  return std::uint32_t{b[at]} | std::uint32_t{b[at + 1]} << 8 | std::uint32_t{b[at + 2]} << 16 |
         std::uint32_t{b[at + 3]} << 24;
}

[[noreturn]] void fail(const char* what, const std::string& detail = {}) {
  fail_target("fuzz_repair", what, detail);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fs::path source = scratch().path / "in.recpart";
  const fs::path wav = scratch().path / "in.wav";
  // The repair renames its file, so every run starts from a fresh one.
  write_file(source, data, size);
  const Bytes original(data, data + size);

  const auto result = quillbox::repair_file(source);
  if (!result) {
    if (result.error().text.empty()) fail("error without a text");
    if (fs::exists(wav)) fail("failed repair created", wav.string());
    if (read_file(source) != original) fail("failed repair changed the file:", result.error().text);
  } else {
    if (*result != wav) fail("repaired to an unexpected path:", result->string());
    if (fs::exists(source)) fail("source still there after a repair");
    const Bytes repaired = read_file(wav);
    // The format tag at offset 20 decides the layout: 3 is float with a
    // 58-byte header, anything else integer with 44 bytes.
    const std::size_t header = size >= 22 && data[20] == 3 && data[21] == 0 ? 58 : 44;
    if (repaired.size() != std::max(size, header)) fail("repaired length changed");
    if (std::memcmp(repaired.data(), "RIFF", 4) != 0 ||
        std::memcmp(repaired.data() + header - 8, "data", 4) != 0)
      fail("repaired header lacks its tags");
    // Whole frames of the header's block align (offset 32) only; the bytes
    // of a cut frame stay behind the data chunk.
    const std::uint64_t fits = std::min<std::uint64_t>(repaired.size() - header, 0xFFFFFFFF);
    const std::uint32_t block_align = u32_at(repaired, 32) & 0xFFFF;
    const std::uint64_t data_length = block_align == 0 ? fits : fits - fits % block_align;
    if (u32_at(repaired, header - 4) != data_length)
      fail("data length is not the file's whole frames");
    for (std::size_t i = header; i < size; ++i)
      if (repaired[i] != original[i]) fail("sample byte changed at", std::to_string(i));
    // A repaired file is what the finishing step measures next.
    (void)quillbox::wav_peak(wav);
  }

  std::error_code ec;
  fs::remove(source, ec);
  fs::remove(wav, ec);
  return 0;
}
