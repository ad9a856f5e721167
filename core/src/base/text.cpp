#include "base/text.h"

#include <cstdint>

namespace quillbox {
namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

char32_t decode_utf8(std::string_view s, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  int len = 0;
  char32_t c = 0;
  char32_t min = 0;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, c = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, c = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, c = b0 & 0x07, min = 0x10000;
  } else {
    ++i;
    return REPLACEMENT;
  }
  if (i + len > s.size()) {
    ++i;
    return REPLACEMENT;
  }
  for (int k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return REPLACEMENT;
    }
    c = (c << 6) | (b & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    ++i;
    return REPLACEMENT;
  }
  i += len;
  return c;
}

std::string utf16_to_utf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = REPLACEMENT;
    }
    append_utf8(out, c);
  }
  return out;
}

std::u16string utf8_to_utf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const char32_t c = decode_utf8(text, i);
    if (c >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

std::size_t utf8_length(std::string_view text) {
  std::size_t count = 0;
  for (const char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  }
  return count;
}

std::string sanitize_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) append_utf8(out, decode_utf8(bytes, i));
  return out;
}

namespace {

// Windows paths are UTF-16, POSIX paths are bytes; each overload serves one.
[[maybe_unused]] std::filesystem::path path_from(std::string_view text, const std::wstring*) {
  const std::u16string wide = utf8_to_utf16(text);
  return std::filesystem::path(std::wstring(wide.begin(), wide.end()));
}
[[maybe_unused]] std::filesystem::path path_from(std::string_view text, const std::string*) {
  return std::filesystem::path(std::string(text));
}
[[maybe_unused]] std::string text_of(const std::wstring& native) {
  return utf16_to_utf8(std::u16string(native.begin(), native.end()));
}
[[maybe_unused]] std::string text_of(const std::string& native) {
  return sanitize_utf8(native);
}

}  // namespace

std::filesystem::path path_from_utf8(std::string_view text) {
  return path_from(text, static_cast<const std::filesystem::path::string_type*>(nullptr));
}

std::string path_to_text(const std::filesystem::path& path) {
  return text_of(path.native());
}

}  // namespace quillbox
