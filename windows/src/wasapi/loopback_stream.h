#pragma once

// Loopback capture of an output device: what the device plays, captured by
// the program's own shared-mode loopback client on a thread of its own that
// polls the device every 3 ms and pushes one chunk per packet. While it
// runs, a silent render stream on the same endpoint keeps the device
// playing, because Windows delivers no loopback packets at all while nothing
// plays there, and the loopback source would then fall behind every other.

#include <windows.h>

#include <audioclient.h>
#include <mmdeviceapi.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "base/console.h"
#include "engine/capture.h"
#include "wasapi/com_support.h"

namespace quillbox::wasapi {

// Opens the endpoint on the stream's own thread (after its COM set-up); the
// error text is the failing step's "{step}: 0x{hr}".
using DeviceOpener = std::function<std::expected<ComPtr<IMMDevice>, std::string>()>;

// What a capture stream needs of its surroundings; tests replace them.
struct StreamSettings {
  // Pause between two drains of the loopback client. Packets are placed by
  // their device positions, not by when a drain reads them, and the 2 s
  // buffer holds far more, so a drain every 20 ms costs no timing.
  std::chrono::microseconds poll_interval{20000};
  // Notices (a discontinuity, a failed keep-alive stream), one whole line
  // each; standard error when empty.
  TextSink notice;
  // Where the loopback error file goes; the program's folder when empty.
  std::function<std::optional<std::filesystem::path>()> error_file_dir;
  // Keep a silent render stream open beside the loopback capture.
  bool keep_device_playing = true;
};

// A silent shared-mode render stream that keeps an endpoint playing. Every
// failure is "{step}: 0x{hr}"; after one the stream is dropped.
class SilentRenderStream {
 public:
  SilentRenderStream() = default;
  SilentRenderStream(const SilentRenderStream&) = delete;
  SilentRenderStream& operator=(const SilentRenderStream&) = delete;
  ~SilentRenderStream() { close(); }

  std::optional<std::string> open(IMMDevice& device);
  // Tops the device's buffer up with silence.
  std::optional<std::string> feed();
  void close();
  bool running() const { return static_cast<bool>(render_); }

 private:
  ComPtr<IAudioClient> client_;
  ComPtr<IAudioRenderClient> render_;
  UINT32 buffer_frames_ = 0;
};

class LoopbackStream final : public CaptureStream {
 public:
  // Starts the loopback thread and returns at once; setup failures on the
  // thread go to the error file and the buffer's failure line.
  LoopbackStream(DeviceOpener open, std::shared_ptr<AudioBuf> buffer, AudioFormat format,
                 StreamSettings settings = {});
  LoopbackStream(const LoopbackStream&) = delete;
  LoopbackStream& operator=(const LoopbackStream&) = delete;
  // Stops the thread and waits for it.
  ~LoopbackStream() override;

  AudioFormat format() const override { return format_; }

 private:
  void run();
  std::optional<std::string> setup_and_capture();
  // Sleeps one poll interval; false once the stream is told to stop.
  bool wait_poll();

  DeviceOpener open_;
  std::shared_ptr<AudioBuf> buffer_;
  AudioFormat format_;
  StreamSettings settings_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The loopback of the output device of that endpoint id (the default output
// device without one), opened on the stream's thread.
DeviceOpener render_device_opener(std::optional<std::string> id);

}  // namespace quillbox::wasapi
