#include "flows/app_state.h"

#include "base/text.h"

namespace quillbox {

StartRequest start_values(const Options& options, const std::filesystem::path& default_dir) {
  StartRequest values;
  values.output_dir =
      options.duration && options.output ? *options.output : path_to_text(default_dir);
  values.devices = options.devices;
  values.format = options.format;
  values.record_system = true;
  values.record_mic = options.mic;
  values.mode = options.mode;
  return values;
}

}  // namespace quillbox
