#include "flows/device_list_model.h"

#include <algorithm>

#include "flows/recording_control.h"

namespace quillbox {

std::string device_entry_text(std::string_view name, bool checked) {
  std::string text = checked ? "on " : "off";
  text += "  \u2014  ";
  text += name;
  return text;
}

namespace {

void show_entries(AppContext& app) {
  std::vector<std::string> texts;
  for (std::size_t i = 0; i < app.state.device_names.size(); ++i)
    texts.push_back(device_entry_text(app.state.device_names[i], app.state.device_checked[i]));
  app.ui.set_entries(Control::DeviceList, texts);
}

}  // namespace

void refresh_device_list(AppContext& app, CapturePlatform& capture) {
  const std::vector<std::string> names =
      device_entries(capture.list_output_devices(), capture.list_input_devices().devices);
  std::vector<bool> checked;
  for (const std::string& name : names) {
    const auto old = std::ranges::find(app.state.device_names, name);
    checked.push_back(old != app.state.device_names.end() &&
                      app.state.device_checked[old - app.state.device_names.begin()]);
  }
  app.state.device_names = names;
  app.state.device_checked = std::move(checked);
  show_entries(app);
}

void check_device_entries(AppContext& app, const std::vector<std::string>& names) {
  for (std::size_t i = 0; i < app.state.device_names.size(); ++i) {
    if (app.state.device_checked[i] ||
        std::ranges::find(names, app.state.device_names[i]) == names.end())
      continue;
    app.state.device_checked[i] = true;
    app.ui.set_entry(Control::DeviceList, i, device_entry_text(app.state.device_names[i], true));
  }
}

void toggle_device_entry(AppContext& app, std::size_t index) {
  if (index >= app.state.device_names.size()) return;
  const bool now_checked = !app.state.device_checked[index];
  app.state.device_checked[index] = now_checked;
  const std::string& name = app.state.device_names[index];
  app.ui.set_entry(Control::DeviceList, index, device_entry_text(name, now_checked));
  const SourceKind kind =
      name.starts_with(LOOPBACK_PREFIX) ? SourceKind::LoopbackDevice : SourceKind::InputDevice;
  switch_source_live(app, SourceKey{kind, name}, now_checked);
}

std::size_t list_rows(std::size_t entries) {
  return std::max<std::size_t>(entries, 2);
}

float layout_scale(float dpi_scale, int screen_width, int screen_height, std::size_t rows) {
  const float aw = static_cast<float>(screen_width - 40);
  const float ah = static_cast<float>(screen_height - 100);
  const float height = 358.0f + 16.0f * static_cast<float>(rows);
  const float fit = std::min(aw / 1920.0f, ah / 1080.0f);
  float s = std::max(dpi_scale, fit);
  s = std::max(s, 1.0f);
  s = std::min(aw / 600.0f, s);
  s = std::min(ah / height, s);
  return std::max(s, 0.75f);
}

}  // namespace quillbox
