#include "engine/capture.h"

#include <span>
#include <utility>

#include "base/file.h"

namespace quillbox {

// --- Device entries ------------------------------------------------------

std::string loopback_entry(std::string_view friendly_name) {
  std::string entry(LOOPBACK_PREFIX);
  entry += friendly_name;
  return entry;
}

bool is_loopback_entry(std::string_view entry) {
  return entry.size() > 10 && entry.starts_with(LOOPBACK_PREFIX);
}

std::string_view strip_loopback_prefix(std::string_view entry) {
  return is_loopback_entry(entry) ? entry.substr(LOOPBACK_PREFIX.size()) : entry;
}

const OutputDeviceInfo* find_output_device(const std::vector<OutputDeviceInfo>& devices,
                                           std::string_view entry) {
  const std::string_view name = strip_loopback_prefix(entry);
  for (const auto& device : devices) {
    if (device.name == name) return &device;
  }
  return nullptr;
}

const InputDeviceInfo* find_input_device(const std::vector<InputDeviceInfo>& devices,
                                         std::string_view name) {
  for (const auto& device : devices) {
    if (device.name == name) return &device;
  }
  return nullptr;
}

std::vector<std::string> device_entries(const std::vector<OutputDeviceInfo>& outputs,
                                        const std::vector<InputDeviceInfo>& inputs) {
  std::vector<std::string> entries;
  entries.reserve(outputs.size() + inputs.size());
  for (const auto& device : outputs) entries.push_back(loopback_entry(device.name));
  for (const auto& device : inputs) entries.push_back(device.name);
  return entries;
}

// --- Starting sources ----------------------------------------------------

StreamResult start_input_device(CapturePlatform& platform, const std::string& name,
                                std::shared_ptr<AudioBuf> buffer) {
  const InputDeviceList list = platform.list_input_devices();
  const InputDeviceInfo* device = find_input_device(list.devices, name);
  if (device == nullptr) return std::unexpected(name + ": input device not found");
  return platform.start_input(*device, std::move(buffer));
}

std::string start_failure_text(const SourceKey& key, std::string_view error) {
  switch (key.kind) {
    case SourceKind::SystemLoopback:
      return "Failed to start loopback: " + std::string(error);
    case SourceKind::DefaultMic:
      return "Failed to start mic: " + std::string(error);
    case SourceKind::InputDevice:
      return "Failed to start " + key.name + ": " + std::string(error);
    case SourceKind::LoopbackDevice:
      return "Failed to start loopback " + key.name + ": " + std::string(error);
  }
  return std::string(error);
}

std::expected<StreamHandle, std::string> start_source(CapturePlatform& platform,
                                                      const SourceKey& key,
                                                      std::shared_ptr<AudioBuf> buffer) {
  StreamResult started;
  switch (key.kind) {
    case SourceKind::SystemLoopback:
      started = platform.start_loopback(std::nullopt, std::move(buffer));
      break;
    case SourceKind::DefaultMic:
      started = platform.start_default_mic(std::move(buffer));
      break;
    case SourceKind::InputDevice:
      started = start_input_device(platform, key.name, std::move(buffer));
      break;
    case SourceKind::LoopbackDevice: {
      const auto outputs = platform.list_output_devices();
      const OutputDeviceInfo* device = find_output_device(outputs, key.name);
      if (device == nullptr) return std::unexpected(key.name + ": device not found");
      started = platform.start_loopback(device->id, std::move(buffer));
      break;
    }
    default:
      return std::unexpected(std::string("unknown source kind"));
  }
  if (!started) return std::unexpected(start_failure_text(key, started.error()));
  return StreamHandle{key, std::move(*started)};
}

// --- Failures after the start --------------------------------------------

void report_loopback_failure(AudioBuf& buffer, std::string_view msg,
                             const std::optional<std::filesystem::path>& exe_dir) {
  const std::filesystem::path name{std::string(LOOPBACK_ERROR_FILE)};
  buffer.fail(CaptureFailure{
      "Loopback capture error: " + std::string(msg),
      ErrorFile{exe_dir ? *exe_dir / name : name, "Loopback error: " + std::string(msg) + "\n"}});
}

void report_input_failure(AudioBuf& buffer, std::string_view err) {
  buffer.fail("Mic stream error: " + std::string(err));
}

std::optional<std::string> take_capture_failure(AudioBuf& buffer) {
  auto failure = buffer.take_failure();
  if (!failure) return std::nullopt;
  if (const auto& error_file = failure->file) {
    if (auto file = File::create(error_file->path)) {
      const std::string& text = error_file->text;
      (void)write_all(*file, std::as_bytes(std::span(text.data(), text.size())));
    }
  }
  return std::move(failure->line);
}

// --- The default output device ------------------------------------------

bool DefaultOutputId::remember(std::string id) {
  std::lock_guard lock(mutex_);
  if (id_) return false;
  id_ = std::move(id);
  return true;
}

std::optional<std::string> DefaultOutputId::get() const {
  std::lock_guard lock(mutex_);
  return id_;
}

// --- Device lists --------------------------------------------------------

std::vector<OutputDeviceInfo> without_default_output(std::vector<OutputDeviceInfo> devices,
                                                     const DefaultOutputId& default_id) {
  if (const auto hidden = default_id.get()) {
    std::erase_if(devices, [&](const OutputDeviceInfo& d) { return d.id == *hidden; });
  }
  return devices;
}

InputDeviceList make_input_device_list(std::optional<std::string> default_name,
                                       std::vector<InputDeviceInfo> candidates) {
  if (default_name) {
    std::erase_if(candidates, [&](const InputDeviceInfo& d) { return d.name == *default_name; });
  }
  return InputDeviceList{std::move(default_name), std::move(candidates)};
}

}  // namespace quillbox
