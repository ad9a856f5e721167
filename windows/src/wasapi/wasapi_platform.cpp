#include "wasapi/wasapi_platform.h"

#include <utility>

#include "wasapi/default_output_watch.h"
#include "wasapi/input_stream.h"
#include "wasapi/wasapi_devices.h"

namespace quillbox {

std::shared_ptr<CapturePlatform> make_wasapi_platform() {
  return std::make_shared<wasapi::WasapiPlatform>(wasapi::process_default_output_id());
}

namespace wasapi {

WasapiPlatform::WasapiPlatform(DefaultOutputId& default_output, StreamSettings settings)
    : default_output_(default_output), settings_(std::move(settings)) {}

std::vector<OutputDeviceInfo> WasapiPlatform::list_output_devices() {
  return wasapi::list_output_devices(default_output_);
}

InputDeviceList WasapiPlatform::list_input_devices() {
  return wasapi::list_input_devices();
}

std::optional<std::string> WasapiPlatform::default_input_name() {
  return wasapi::default_input_name();
}

std::expected<AudioFormat, std::string> WasapiPlatform::probe_loopback_format(
    const std::optional<std::string>& id) {
  return wasapi::probe_loopback_format(id, default_output_);
}

std::optional<AudioFormat> WasapiPlatform::probe_input_format(const std::string& name) {
  return wasapi::probe_input_format(name);
}

bool WasapiPlatform::remember_default_output_id() {
  return wasapi::remember_default_output_id(default_output_);
}

StreamResult WasapiPlatform::start_loopback(const std::optional<std::string>& id,
                                            std::shared_ptr<AudioBuf> buffer) {
  auto format = probe_loopback_format(id);
  if (!format) return std::unexpected(format.error());
  return std::make_unique<LoopbackStream>(render_device_opener(id), std::move(buffer), *format,
                                          settings_);
}

std::optional<OutputDeviceInfo> WasapiPlatform::default_output_device() {
  ComApartment com;
  auto enumerator = create_enumerator();
  if (!enumerator) return std::nullopt;
  const auto device = open_render_device(**enumerator, std::nullopt);
  if (!device) return std::nullopt;
  auto name = friendly_name(**device);
  auto id = endpoint_id(**device);
  if (!name || !id) return std::nullopt;
  return OutputDeviceInfo{std::move(*name), std::move(*id)};
}

std::unique_ptr<DefaultOutputWatch> WasapiPlatform::watch_default_output(
    std::function<void()> changed) {
  return watch_default_render(std::move(changed));
}

StreamResult WasapiPlatform::start_default_mic(std::shared_ptr<AudioBuf> buffer) {
  std::string name;
  std::string id;
  {
    ComApartment com;
    auto enumerator = create_enumerator();
    if (!enumerator) return std::unexpected(std::string("No default input device"));
    const auto device = find_capture_device(**enumerator, std::nullopt);
    if (!device) return std::unexpected(std::string("No default input device"));
    auto found_id = endpoint_id(*device.get());
    if (!found_id) return std::unexpected(std::string("No default input device"));
    id = std::move(*found_id);
    name = friendly_name(*device.get()).value_or("Default Mic");
    const auto mix = mix_format(*device.get());
    if (!mix) return std::unexpected("default_input_config: " + mix.error());
  }
  auto stream = InputStream::start(capture_device_opener(std::move(id)), std::move(name),
                                   std::move(buffer), settings_);
  if (!stream) return std::unexpected(stream.error());
  return std::move(*stream);
}

StreamResult WasapiPlatform::start_input(const InputDeviceInfo& device,
                                         std::shared_ptr<AudioBuf> buffer) {
  std::string id;
  {
    ComApartment com;
    auto enumerator = create_enumerator();
    if (!enumerator) return std::unexpected(std::string("DeviceNotAvailable"));
    // The default device is never listed: its namesakes are passed over.
    const auto default_name = wasapi::default_input_name();
    ComPtr<IMMDevice> found;
    if (!default_name || *default_name != device.name) {
      found = find_capture_device(**enumerator, device.name);
    }
    if (!found) return std::unexpected(device.name + ": input device not found");
    auto found_id = endpoint_id(*found.get());
    if (!found_id) return std::unexpected(std::string("DeviceNotAvailable"));
    id = std::move(*found_id);
  }
  auto stream = InputStream::start(capture_device_opener(std::move(id)), device.name,
                                   std::move(buffer), settings_);
  if (!stream) return std::unexpected(stream.error());
  return std::move(*stream);
}

}  // namespace wasapi
}  // namespace quillbox
