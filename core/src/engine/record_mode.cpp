#include "engine/record_mode.h"

namespace quillbox {

std::optional<FormatPreset> find_preset(std::string_view key) {
  for (const FormatPreset& preset : FORMAT_PRESETS) {
    if (preset.key && *preset.key == key) return preset;
  }
  return std::nullopt;
}

}  // namespace quillbox
