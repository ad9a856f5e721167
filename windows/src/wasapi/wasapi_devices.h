#pragma once

// The audio endpoints Windows offers: output (render) devices recorded by
// loopback, input (capture) devices recorded directly, their names, ids,
// default configurations and native formats. Every function sets up COM on
// its calling thread itself; no interface pointer outlives a call unless it
// is handed back in a ComPtr.

#include <windows.h>

#include <audioclient.h>
#include <mmdeviceapi.h>

#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "engine/capture.h"
#include "wasapi/com_support.h"
#include "wasapi/wasapi_formats.h"

namespace quillbox::wasapi {

// The process's remembered default output id.
DefaultOutputId& process_default_output_id();

// The device enumerator, or "CoCreateInstance: 0x{hr}".
std::expected<ComPtr<IMMDeviceEnumerator>, std::string> create_enumerator();

// The render endpoint of that id, or the default one for the console role;
// "GetDevice/GetDefaultAudioEndpoint: 0x{hr}" when it cannot be had.
std::expected<ComPtr<IMMDevice>, std::string> open_render_device(
    IMMDeviceEnumerator& enumerator, const std::optional<std::string>& id);

// The first active capture endpoint of that friendly name, or the default
// one for the console role without a name.
ComPtr<IMMDevice> find_capture_device(IMMDeviceEnumerator& enumerator,
                                      const std::optional<std::string>& name);

// The endpoint's friendly name; counts only as a wide string (null: "").
std::optional<std::string> friendly_name(IMMDevice& device);
// The endpoint id (null: "").
std::optional<std::string> endpoint_id(IMMDevice& device);
// The endpoint's native format from its device-format property.
std::optional<AudioFormat> device_format(IMMDevice& device);
// A format block as the system hands it out (its fixed part and cbSize more
// bytes); nothing when it is null or cannot be read.
std::optional<WaveFormat> wave_format_of(const WAVEFORMATEX* format);
// The shared-mode mix format: "Activate: 0x{hr}" or "GetMixFormat: 0x{hr}".
std::expected<WaveFormat, std::string> mix_format(IMMDevice& device);
// An input device's default configuration as the mix format gives it. A
// format the capture cannot convert is listed as float; starting it then
// fails with "StreamConfigNotSupported".
InputDeviceConfig input_config(const WaveFormat& mix);

std::vector<OutputDeviceInfo> list_output_devices(const DefaultOutputId& default_output);
InputDeviceList list_input_devices();
std::optional<std::string> default_input_name();
std::expected<AudioFormat, std::string> probe_loopback_format(const std::optional<std::string>& id,
                                                              DefaultOutputId& default_output);
std::optional<AudioFormat> probe_input_format(const std::string& name);

// Reads the default output device's id and remembers it when nothing is
// remembered yet (what the window runs at start-up); whether an id was read.
bool remember_default_output_id(DefaultOutputId& default_output);

}  // namespace quillbox::wasapi
