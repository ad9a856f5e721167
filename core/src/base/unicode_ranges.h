#pragma once

namespace quillbox {

// True for a letter or digit in the Unicode sense: the Alphabetic property or
// one of the numeric general categories Nd, Nl and No.
bool is_alphanumeric(char32_t c);

}  // namespace quillbox
