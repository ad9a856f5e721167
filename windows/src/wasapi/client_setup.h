#pragma once

// Setting up a shared-mode audio client on an endpoint, the sequence every
// stream runs: Activate, GetMixFormat, Initialize in the mix format,
// GetService. Each stream adds its own steps at two points and words a
// failing call its own way.

#include <windows.h>

#include <audioclient.h>
#include <mmdeviceapi.h>

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "wasapi/com_support.h"
#include "wasapi/wasapi_formats.h"

namespace quillbox::wasapi {

// The text of a failed call: `hr_text` ("{step}: 0x{hr}") or `stream_error_kind`.
using StepWording = std::string (*)(std::string_view step, std::uint32_t hr);

// A step a stream adds; its text, when it fails, ends the set-up.
using ExtraStep = std::optional<std::string>;

struct ClientSetup {
  DWORD stream_flags = 0;     // besides shared mode
  REFERENCE_TIME buffer = 0;  // in 100 ns units
  StepWording word = hr_text;
  // Runs with the mix format before the client is initialised in it. A mix
  // format that cannot be read fails as "GetMixFormat" with
  // AUDCLNT_E_UNSUPPORTED_FORMAT before this runs.
  std::function<ExtraStep(const WaveFormat& mix)> before_initialize{};
  // Runs on the initialised client before its service is asked for.
  std::function<ExtraStep(IAudioClient& client, const WaveFormat& mix)> after_initialize{};
};

// An initialised client, the service asked of it and its mix format.
template <typename Service>
struct SetUpClient {
  ComPtr<IAudioClient> client;
  ComPtr<Service> service;
  WaveFormat mix;
};

// The sequence itself: fills `client` and the service of `service_id`, and
// returns the mix format; or the first failing step's text.
std::expected<WaveFormat, std::string> set_up_client(IMMDevice& device, const ClientSetup& setup,
                                                     ComPtr<IAudioClient>& client,
                                                     REFIID service_id, void** service);

template <typename Service>
std::expected<SetUpClient<Service>, std::string> set_up_client(IMMDevice& device,
                                                               const ClientSetup& setup) {
  SetUpClient<Service> out;
  auto mix = set_up_client(device, setup, out.client, __uuidof(Service), out.service.put_void());
  if (!mix) return std::unexpected(std::move(mix.error()));
  out.mix = *mix;
  return out;
}

}  // namespace quillbox::wasapi
