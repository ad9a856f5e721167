#pragma once

// The Windows capture platform: WASAPI devices, loopback streams of output
// devices and input streams of input devices, behind the core's capture seam.

#include <memory>

#include "engine/capture.h"
#include "wasapi/loopback_stream.h"

namespace quillbox {

// The platform the Windows program hands to the recorder. It remembers the
// default output id in the process-wide slot.
std::shared_ptr<CapturePlatform> make_wasapi_platform();

namespace wasapi {

class WasapiPlatform final : public CapturePlatform {
 public:
  // `default_output` must outlive the platform; `settings` go to every stream.
  explicit WasapiPlatform(DefaultOutputId& default_output, StreamSettings settings = {});

  std::vector<OutputDeviceInfo> list_output_devices() override;
  InputDeviceList list_input_devices() override;
  std::optional<std::string> default_input_name() override;
  std::expected<AudioFormat, std::string> probe_loopback_format(
      const std::optional<std::string>& id) override;
  std::optional<AudioFormat> probe_input_format(const std::string& name) override;
  StreamResult start_loopback(const std::optional<std::string>& id,
                              std::shared_ptr<AudioBuf> buffer) override;
  StreamResult start_default_mic(std::shared_ptr<AudioBuf> buffer) override;
  StreamResult start_input(const InputDeviceInfo& device,
                           std::shared_ptr<AudioBuf> buffer) override;
  std::optional<OutputDeviceInfo> default_output_device() override;
  std::unique_ptr<DefaultOutputWatch> watch_default_output(std::function<void()> changed) override;

  // What the window's start-up query does: remembers the default output id.
  bool remember_default_output_id();

 private:
  DefaultOutputId& default_output_;
  StreamSettings settings_;
};

}  // namespace wasapi
}  // namespace quillbox
