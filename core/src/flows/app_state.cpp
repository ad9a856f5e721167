#include "flows/app_state.h"

#include "base/text.h"
#include "engine/record_mode.h"

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

std::size_t preset_index(const std::optional<AudioFormat>& format) {
  std::size_t found = 0;
  for (std::size_t i = 0; i < FORMAT_PRESETS.size(); ++i)
    if (FORMAT_PRESETS[i].spec == format) found = i;
  return found;
}

void tick_start_values(UiServices& ui, const StartRequest& values) {
  ui.set_checked(Control::MicBox, values.record_mic);
  ui.set_checked(Control::SystemBox, values.record_system);
  ui.set_checked(values.mode == RecordMode::Single         ? Control::SingleRadio
                 : values.mode == RecordMode::StemsSilence ? Control::SilenceRadio
                                                           : Control::InstructedRadio,
                 true);
}

}  // namespace quillbox
