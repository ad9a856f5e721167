#include "wasapi/wasapi_devices.h"

#include <cstring>
#include <span>

namespace quillbox::wasapi {
namespace {

// PKEY_Device_FriendlyName and PKEY_AudioEngine_DeviceFormat, spelled out so
// that no header has to instantiate them.
const PROPERTYKEY FRIENDLY_NAME_KEY = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 14};
const PROPERTYKEY DEVICE_FORMAT_KEY = {
    {0xf19f064d, 0x082c, 0x4e27, {0xbc, 0x73, 0x68, 0x82, 0xa1, 0xbb, 0x8e, 0x4c}}, 0};

// Each active endpoint of one direction, in the system's order; empty when
// the enumeration fails.
template <typename F>
void for_each_endpoint(IMMDeviceEnumerator& enumerator, EDataFlow flow, F each) {
  ComPtr<IMMDeviceCollection> collection;
  if (FAILED(enumerator.EnumAudioEndpoints(flow, DEVICE_STATE_ACTIVE, collection.put()))) return;
  UINT count = 0;
  if (FAILED(collection->GetCount(&count))) return;
  for (UINT i = 0; i < count; ++i) {
    ComPtr<IMMDevice> device;
    if (FAILED(collection->Item(i, device.put())) || !device) continue;
    if (!each(*device.get())) return;
  }
}

}  // namespace

std::optional<WaveFormat> wave_format_of(const WAVEFORMATEX* format) {
  if (format == nullptr) return std::nullopt;
  // The fixed part is 18 bytes; cbSize counts what follows it.
  const std::size_t size = 18 + std::size_t{format->cbSize};
  return parse_wave_format(std::span(reinterpret_cast<const unsigned char*>(format), size));
}

DefaultOutputId& process_default_output_id() {
  static DefaultOutputId slot;
  return slot;
}

std::expected<ComPtr<IMMDeviceEnumerator>, std::string> create_enumerator() {
  ComPtr<IMMDeviceEnumerator> enumerator;
  const HRESULT hr = ::CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                        __uuidof(IMMDeviceEnumerator), enumerator.put_void());
  if (FAILED(hr)) return std::unexpected(hr_text("CoCreateInstance", hr));
  return enumerator;
}

std::expected<ComPtr<IMMDevice>, std::string> open_render_device(
    IMMDeviceEnumerator& enumerator, const std::optional<std::string>& id) {
  ComPtr<IMMDevice> device;
  const HRESULT hr = id ? enumerator.GetDevice(utf8_to_wide(*id).c_str(), device.put())
                        : enumerator.GetDefaultAudioEndpoint(eRender, eConsole, device.put());
  if (FAILED(hr)) return std::unexpected(hr_text("GetDevice/GetDefaultAudioEndpoint", hr));
  return device;
}

ComPtr<IMMDevice> find_capture_device(IMMDeviceEnumerator& enumerator,
                                      const std::optional<std::string>& name) {
  ComPtr<IMMDevice> found;
  if (!name) {
    (void)enumerator.GetDefaultAudioEndpoint(eCapture, eConsole, found.put());
    return found;
  }
  for_each_endpoint(enumerator, eCapture, [&](IMMDevice& device) {
    if (friendly_name(device) != *name) return true;
    device.AddRef();
    found = ComPtr<IMMDevice>(&device);
    return false;
  });
  return found;
}

std::optional<std::string> friendly_name(IMMDevice& device) {
  ComPtr<IPropertyStore> store;
  if (FAILED(device.OpenPropertyStore(STGM_READ, store.put()))) return std::nullopt;
  PropVariant value;
  if (FAILED(store->GetValue(FRIENDLY_NAME_KEY, value.put()))) return std::nullopt;
  if (value.get().vt != VT_LPWSTR) return std::nullopt;
  return wide_to_utf8(value.get().pwszVal);
}

std::optional<std::string> endpoint_id(IMMDevice& device) {
  CoTaskMem<wchar_t> id;
  if (FAILED(device.GetId(id.put()))) return std::nullopt;
  return wide_to_utf8(id.get());
}

std::optional<AudioFormat> device_format(IMMDevice& device) {
  ComPtr<IPropertyStore> store;
  if (FAILED(device.OpenPropertyStore(STGM_READ, store.put()))) return std::nullopt;
  PropVariant value;
  if (FAILED(store->GetValue(DEVICE_FORMAT_KEY, value.put()))) return std::nullopt;
  if (value.get().vt != VT_BLOB || value.get().blob.pBlobData == nullptr) return std::nullopt;
  return device_format_from_blob(std::span(
      static_cast<const unsigned char*>(value.get().blob.pBlobData), value.get().blob.cbSize));
}

std::expected<WaveFormat, std::string> mix_format(IMMDevice& device) {
  ComPtr<IAudioClient> client;
  HRESULT hr = device.Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, client.put_void());
  if (FAILED(hr)) return std::unexpected(hr_text("Activate", hr));
  CoTaskMem<WAVEFORMATEX> format;
  hr = client->GetMixFormat(format.put());
  if (FAILED(hr)) return std::unexpected(hr_text("GetMixFormat", hr));
  const auto parsed = wave_format_of(format.get());
  if (!parsed) return std::unexpected(hr_text("GetMixFormat", E_POINTER));
  return *parsed;
}

InputDeviceConfig input_config(const WaveFormat& mix) {
  InputDeviceConfig config;
  config.channels = mix.channels;
  config.sample_rate = mix.sample_rate;
  const auto format = capture_sample_format(mix);
  if (const auto* known = std::get_if<SampleFormat>(&format)) config.format = *known;
  return config;
}

std::vector<OutputDeviceInfo> list_output_devices(const DefaultOutputId& default_output) {
  ComApartment com;
  std::vector<OutputDeviceInfo> devices;
  auto enumerator = create_enumerator();
  if (!enumerator) return devices;
  for_each_endpoint(**enumerator, eRender, [&](IMMDevice& device) {
    auto name = friendly_name(device);
    auto id = endpoint_id(device);
    if (name && id) devices.push_back(OutputDeviceInfo{std::move(*name), std::move(*id)});
    return true;
  });
  return without_default_output(std::move(devices), default_output);
}

std::optional<std::string> default_input_name() {
  ComApartment com;
  auto enumerator = create_enumerator();
  if (!enumerator) return std::nullopt;
  const auto device = find_capture_device(**enumerator, std::nullopt);
  if (!device) return std::nullopt;
  return friendly_name(*device.get());
}

InputDeviceList list_input_devices() {
  ComApartment com;
  auto default_name = default_input_name();
  std::vector<InputDeviceInfo> candidates;
  if (auto enumerator = create_enumerator()) {
    for_each_endpoint(**enumerator, eCapture, [&](IMMDevice& device) {
      auto name = friendly_name(device);
      if (!name) return true;
      // A device whose configuration cannot be read is not listed.
      if (const auto mix = mix_format(device)) {
        candidates.push_back(InputDeviceInfo{std::move(*name), input_config(*mix)});
      }
      return true;
    });
  }
  return make_input_device_list(std::move(default_name), std::move(candidates));
}

std::expected<AudioFormat, std::string> probe_loopback_format(const std::optional<std::string>& id,
                                                              DefaultOutputId& default_output) {
  ComApartment com;
  auto enumerator = create_enumerator();
  if (!enumerator) return std::unexpected(enumerator.error());
  auto device = open_render_device(**enumerator, id);
  if (!device) return std::unexpected(device.error());
  if (!id) {
    if (auto found = endpoint_id(*device->get())) default_output.remember(std::move(*found));
  }
  const auto mix = mix_format(*device->get());
  if (!mix) return std::unexpected(mix.error());
  AudioFormat spec{mix->sample_rate, mix->channels, 16, false};
  // The device is fetched afresh for its format, as a second look.
  if (auto again = open_render_device(**enumerator, id)) {
    if (const auto native = device_format(*again->get())) {
      spec.bits_per_sample = native->bits_per_sample;
      spec.is_float = native->is_float;
    }
  }
  return spec;
}

std::optional<AudioFormat> probe_input_format(const std::string& name) {
  ComApartment com;
  auto enumerator = create_enumerator();
  if (!enumerator) return std::nullopt;
  std::optional<AudioFormat> format;
  for_each_endpoint(**enumerator, eCapture, [&](IMMDevice& device) {
    if (friendly_name(device) != name) return true;
    format = device_format(device);
    return false;
  });
  return format;
}

bool remember_default_output_id(DefaultOutputId& default_output) {
  ComApartment com;
  auto enumerator = create_enumerator();
  if (!enumerator) return false;
  auto device = open_render_device(**enumerator, std::nullopt);
  if (!device) return false;
  auto id = endpoint_id(*device->get());
  if (!id) return false;
  default_output.remember(std::move(*id));
  return true;
}

}  // namespace quillbox::wasapi
