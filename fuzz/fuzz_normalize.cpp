// libFuzzer target: normalize_file and wav_peak on arbitrary file contents.
//
// Besides crashes and sanitizer reports it checks what the tool promises:
// a file that is left unchanged or rejected keeps its bytes, a normalized
// file reads back with its peak at full scale, and no temporary file stays.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "wav/normalize.h"

namespace {

using namespace fuzz_support;

[[noreturn]] void fail(const char* what, const std::string& detail = {}) {
  fail_target("fuzz_normalize", what, detail);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fs::path path = scratch().path / "in.wav";
  const fs::path temp = scratch().path / "in.wav.tmp";
  write_file(path, data, size);
  const Bytes original(data, data + size);

  const auto peak = quillbox::wav_peak(path);
  const auto result = quillbox::normalize_file(path);
  if (fs::exists(temp)) fail("temporary file left behind");

  if (!result) {
    if (read_file(path) != original) fail("rejected input was modified:", result.error().text);
    if (result.error().text.empty()) fail("error without a text");
    // Whatever wav_peak can measure, normalize_file can read.
    if (peak) fail("measurable file rejected:", result.error().text);
  } else if (!*result) {
    if (read_file(path) != original) fail("unchanged file was modified");
    if (!peak) fail("file left unchanged but not measurable");
    const bool silent = *peak < quillbox::SILENCE_THRESHOLD;
    if (!silent && std::fabs(1.0f - *peak) >= quillbox::PEAK_TOLERANCE)
      fail("quiet file left unchanged:", std::to_string(*peak));
  } else {
    if (!peak) fail("normalized a file that is not measurable");
    const auto after = quillbox::wav_peak(path);
    if (!after) fail("normalized file does not read back");
    // Truncation toward zero can leave an 8-bit peak one step below 127.
    if (*after > 1.0f || *after < 0.99f) fail("normalized peak off:", std::to_string(*after));
  }

  std::error_code ec;
  fs::remove(path, ec);
  return 0;
}
