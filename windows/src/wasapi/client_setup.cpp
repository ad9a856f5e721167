#include "wasapi/client_setup.h"

#include "wasapi/wasapi_devices.h"

namespace quillbox::wasapi {

std::expected<WaveFormat, std::string> set_up_client(IMMDevice& device, const ClientSetup& setup,
                                                     ComPtr<IAudioClient>& client,
                                                     REFIID service_id, void** service) {
  const auto failed = [&](std::string_view step, HRESULT hr) {
    return std::unexpected(setup.word(step, static_cast<std::uint32_t>(hr)));
  };
  HRESULT hr = device.Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, client.put_void());
  if (FAILED(hr)) return failed("Activate", hr);
  std::optional<WaveFormat> wave;
  {
    CoTaskMem<WAVEFORMATEX> mix;
    hr = client->GetMixFormat(mix.put());
    if (FAILED(hr)) return failed("GetMixFormat", hr);
    wave = wave_format_of(mix.get());
    if (!wave) return failed("GetMixFormat", static_cast<HRESULT>(HR_UNSUPPORTED_FORMAT));
    if (setup.before_initialize) {
      if (auto extra = setup.before_initialize(*wave)) return std::unexpected(std::move(*extra));
    }
    hr = client->Initialize(AUDCLNT_SHAREMODE_SHARED, setup.stream_flags, setup.buffer, 0,
                            mix.get(), nullptr);
    if (FAILED(hr)) return failed("Initialize", hr);
  }
  if (setup.after_initialize) {
    if (auto extra = setup.after_initialize(*client.get(), *wave))
      return std::unexpected(std::move(*extra));
  }
  hr = client->GetService(service_id, service);
  if (FAILED(hr)) return failed("GetService", hr);
  return *wave;
}

}  // namespace quillbox::wasapi
