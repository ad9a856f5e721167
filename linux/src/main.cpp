// The Linux program. Arguments arrive as bytes in no promised encoding; the
// program works in UTF-8 text, so every invalid UTF-8 sequence becomes U+FFFD.
// A folder whose name is not valid UTF-8 therefore cannot be named with
// --output.

#include <string>
#include <vector>

#include "app.h"
#include "text.h"

int main(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(quillbox::sanitize_utf8(argv[i]));
  return quillbox::app_main(args);
}
