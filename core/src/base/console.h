#pragma once

#include <string_view>

namespace quillbox {

// The process's standard streams. Text is UTF-8 and written byte for byte
// (no newline translation). A stream that is not connected, as in a desktop
// start, swallows the text without error.
void write_stdout(std::string_view text);
void write_stderr(std::string_view text);

}  // namespace quillbox
