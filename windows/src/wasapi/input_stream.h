#pragma once

// Capture of an input device: a shared-mode, event-driven WASAPI stream
// owned by an input capture thread, which converts every packet by the
// stream's mix format and gathers packets into chunks of at least 5 ms
// through `InputChunker`.

#include <windows.h>

#include <atomic>
#include <expected>
#include <memory>
#include <string>

#include "engine/capture.h"
#include "engine/input_chunker.h"
#include "wasapi/loopback_stream.h"

namespace quillbox::wasapi {

class InputStream final : public CaptureStream {
 public:
  // Runs the capture thread and waits for its report: success, or the
  // error kind it met ("StreamConfigNotSupported", "DeviceNotAvailable",
  // ...; "mic capture thread exited before starting" when it reported
  // nothing). `device_name` is what the native-format probe looks for.
  static std::expected<std::unique_ptr<InputStream>, std::string> start(
      DeviceOpener open, std::string device_name, std::shared_ptr<AudioBuf> buffer,
      StreamSettings settings = {});

  InputStream(const InputStream&) = delete;
  InputStream& operator=(const InputStream&) = delete;
  // Stops accepting, stops the thread and waits for it; the thread pushes
  // the last partial chunk before it ends.
  ~InputStream() override;

  // The rate and channels the stream delivers; bits and float flag of the
  // device's native format (16-bit integer when it cannot be read).
  AudioFormat format() const override { return format_; }
  const std::string& device_name() const { return device_name_; }

 private:
  struct Shared;
  InputStream(std::string device_name, std::shared_ptr<Shared> shared);

  std::string device_name_;
  std::shared_ptr<Shared> shared_;
  AudioFormat format_;
};

// The capture endpoint of that id, opened on the stream's own thread.
DeviceOpener capture_device_opener(std::string id);

}  // namespace quillbox::wasapi
