#include "flows/file_tools_flow.h"

#include <algorithm>
#include <string>

#include "base/text.h"
#include "wav/normalize.h"
#include "wav/repair.h"

namespace quillbox {

void run_repair_button(AppContext& app) {
  const std::string dir = app.ui.text(Control::FolderEdit);
  // The running recording's files are its processor's until it stops.
  LeaveAlone live;
  if (const Recorder* recorder = app.state.recorder ? &*app.state.recorder : nullptr)
    live = [recorder](const std::filesystem::path& file) { return recorder->writes_to(file); };
  const std::vector<RepairOutcome> outcomes = repair_directory(path_from_utf8(dir), live);
  std::string text;
  if (outcomes.empty()) {
    text = "No incomplete recordings found.";
  } else {
    const auto ok = static_cast<std::size_t>(std::ranges::count_if(
        outcomes, [](const RepairOutcome& o) { return o.result.has_value(); }));
    const std::size_t failed = outcomes.size() - ok;
    text = std::to_string(outcomes.size()) + " incomplete recording(s) found.\n" +
           std::to_string(ok) + " repaired successfully.";
    if (failed > 0) text += "\n" + std::to_string(failed) + " failed to repair.";
  }
  text += "\n\nDirectory checked:\n" + dir;
  app.ui.show_message({"Repair Results", text, MessageIcon::Information});
}

void run_normalize_button(AppContext& app) {
  const DialogResult chosen =
      app.ui.open_file_dialog({"Select WAV file to normalize",
                               {{"WAV Files (*.wav)", "*.wav"}, {"All Files (*.*)", "*.*"}}});
  // A dialog that fails counts as cancelled.
  const auto* path = std::get_if<std::filesystem::path>(&chosen);
  if (path == nullptr) return;
  const std::string shown = path_to_text(*path);
  Message message;
  if (auto normalized = normalize_file(*path); !normalized) {
    message = {"Normalize error", "Normalize failed: " + normalized.error().text,
               MessageIcon::Error};
  } else if (*normalized) {
    message = {"Normalize complete", "Normalized: " + shown, MessageIcon::Information};
  } else {
    message = {"Normalize skipped", "Already at peak, no change: " + shown,
               MessageIcon::Information};
  }
  app.ui.set_status(message.text);
  app.ui.show_message(message);
}

}  // namespace quillbox
