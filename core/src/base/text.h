#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace quillbox {

// Text inside the program is UTF-8; these convert at the edges.

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string utf16_to_utf8(std::u16string_view text);
// UTF-8 to UTF-16; invalid sequences become U+FFFD.
std::u16string utf8_to_utf16(std::string_view text);
// The code point at `i`, advancing `i` past it; an invalid or overlong
// sequence or a surrogate yields U+FFFD and consumes one byte.
char32_t decode_utf8(std::string_view text, std::size_t& i);
// Replaces every invalid UTF-8 sequence with U+FFFD.
std::string sanitize_utf8(std::string_view bytes);
// Characters (code points) in UTF-8 text: every byte that does not continue a
// sequence starts one. Columns of text line up by it.
std::size_t utf8_length(std::string_view text);

// A path from UTF-8 text (never through the ANSI code page).
std::filesystem::path path_from_utf8(std::string_view text);
// A path as UTF-8 text for display; what cannot be represented becomes U+FFFD.
std::string path_to_text(const std::filesystem::path& path);

}  // namespace quillbox
