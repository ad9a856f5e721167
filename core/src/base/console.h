#pragma once

#include <functional>
#include <string_view>

namespace quillbox {

// The process's standard streams. Text is UTF-8 and written byte for byte
// (no newline translation). A stream that is not connected, as in a desktop
// start, swallows the text without error.
void write_stdout(std::string_view text);
void write_stderr(std::string_view text);

// Where a unit sends text meant for a standard stream, so that a test (or
// a front end) can take it instead.
using TextSink = std::function<void(std::string_view)>;

// Writes to `sink`, or to standard error when there is none.
inline void write_err(const TextSink& sink, std::string_view text) {
  if (sink) {
    sink(text);
  } else {
    write_stderr(text);
  }
}

}  // namespace quillbox
