#include "wasapi/input_stream.h"

#include <audioclient.h>

#include <future>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "base/console.h"
#include "engine/sample_format.h"
#include "wasapi/client_setup.h"
#include "wasapi/packet_reader.h"
#include "wasapi/wasapi_devices.h"

namespace quillbox::wasapi {
namespace {

// 100 ms in 100 ns units: the shared-mode buffer, several device periods deep,
// so a thread woken late loses nothing.
constexpr REFERENCE_TIME INPUT_BUFFER = 1'000'000;
// The longest wait for a packet event; a stream whose events stall is still drained.
constexpr DWORD WAIT_MS = 20;
// The rest after a drain before the next wait: the device signals every
// period (10 ms in shared mode), but packets are placed by their positions
// and the buffer holds 100 ms, so draining two or three at a time costs no
// timing and wakes the thread half as often.
constexpr DWORD DRAIN_REST_MS = 20;

}  // namespace

// What the owner and the capture thread share.
struct InputStream::Shared {
  std::shared_ptr<AudioBuf> buffer;
  StreamSettings settings;
  HANDLE stop_event = nullptr;
  std::optional<InputChunker> chunker;  // made on the thread before its report
  std::uint32_t rate = 0;
  std::uint16_t channels = 0;
  std::thread thread;

  ~Shared() {
    if (stop_event != nullptr) ::CloseHandle(stop_event);
  }

  // The capture thread's body: sets up the stream, reports, then delivers
  // until told to stop, and pushes the last partial chunk.
  void run(const DeviceOpener& open, std::promise<std::optional<std::string>>& report) {
    ComApartment com;
    ProAudioThread scheduling;
    auto device = open();
    if (!device) {
      report.set_value(device.error());
      return;
    }
    HANDLE data_event = nullptr;
    struct EventCloser {
      HANDLE& h;
      ~EventCloser() {
        if (h != nullptr) ::CloseHandle(h);
      }
    } close_data_event{data_event};
    SampleFormat format{};
    const ClientSetup setup{
        .stream_flags = AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
        .buffer = INPUT_BUFFER,
        .word = stream_error_kind,
        .before_initialize = [&](const WaveFormat& mix) -> ExtraStep {
          const auto sample = capture_sample_format(mix);
          if (const auto* name = std::get_if<std::string>(&sample)) {
            write_err(settings.notice, "Mic stream: unsupported sample format " + *name + "\n");
            return "StreamConfigNotSupported";
          }
          format = std::get<SampleFormat>(sample);
          data_event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
          if (data_event == nullptr) {
            return stream_error_kind("CreateEvent", HRESULT_FROM_WIN32(::GetLastError()));
          }
          return std::nullopt;
        },
        .after_initialize = [&](IAudioClient& client, const WaveFormat&) -> ExtraStep {
          const HRESULT hr = client.SetEventHandle(data_event);
          if (FAILED(hr)) return stream_error_kind("SetEventHandle", hr);
          return std::nullopt;
        }};
    auto set_up = set_up_client<IAudioCaptureClient>(**device, setup);
    if (!set_up) {
      report.set_value(set_up.error());
      return;
    }
    ComPtr<IAudioClient> client = std::move(set_up->client);
    ComPtr<IAudioCaptureClient> capture = std::move(set_up->service);
    rate = set_up->mix.sample_rate;
    channels = set_up->mix.channels;
    chunker.emplace(buffer, rate, channels);
    const HRESULT hr = client->Start();
    if (FAILED(hr)) {
      report.set_value(stream_error_kind("Start", hr));
      return;
    }
    report.set_value(std::nullopt);

    PacketReader reader(rate, std::size_t{channels} * sample_bytes(format));
    std::vector<float> silence;
    const auto deliver = [&](const BYTE* data, UINT32 frames, CaptureTime time) {
      const std::size_t count = std::size_t{frames} * channels;
      if (data != nullptr) {
        chunker->accept(format, data, count, time);
      } else {
        if (silence.size() < count) silence.resize(count, 0.0f);
        chunker->accept(silence.data(), count, time);
      }
    };
    bool delivering = true;
    const HANDLE events[2] = {stop_event, data_event};
    for (;;) {
      const DWORD woke = ::WaitForMultipleObjects(delivering ? 2 : 1, events, FALSE,
                                                  delivering ? WAIT_MS : INFINITE);
      if (woke == WAIT_OBJECT_0) break;
      const auto failure = reader.drain(*capture.get(), deliver);
      if (reader.take_discontinuity()) {
        write_err(settings.notice, "Mic stream: data discontinuity (some audio was lost)\n");
      }
      // A device that is gone ends the delivery; other failures are polled past.
      if (failure && device_gone(static_cast<std::uint32_t>(failure->hr))) {
        report_input_failure(*buffer, stream_failure_text(failure->step, failure->hr));
        delivering = false;
      }
      if (delivering && ::WaitForSingleObject(stop_event, DRAIN_REST_MS) == WAIT_OBJECT_0) break;
    }
    client->Stop();
    capture.reset();
    client.reset();
    chunker->finish();
  }
};

InputStream::InputStream(std::string device_name, std::shared_ptr<Shared> shared)
    : device_name_(std::move(device_name)), shared_(std::move(shared)) {}

std::expected<std::unique_ptr<InputStream>, std::string> InputStream::start(
    DeviceOpener open, std::string device_name, std::shared_ptr<AudioBuf> buffer,
    StreamSettings settings) {
  auto shared = std::make_shared<Shared>();
  shared->buffer = std::move(buffer);
  shared->settings = std::move(settings);
  shared->stop_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (shared->stop_event == nullptr) {
    return std::unexpected(stream_error_kind("CreateEvent", HRESULT_FROM_WIN32(::GetLastError())));
  }
  std::promise<std::optional<std::string>> report;
  auto reported = report.get_future();
  shared->thread =
      std::thread([s = shared.get(), open = std::move(open), report = std::move(report)]() mutable {
        try {
          s->run(open, report);
        } catch (...) {
          // A thread that dies without its report is what the start says below.
        }
      });
  std::optional<std::string> error;
  try {
    error = reported.get();
  } catch (const std::future_error&) {
    error = "mic capture thread exited before starting";
  }
  if (error) {
    shared->thread.join();
    return std::unexpected(*error);
  }

  // The native format is read on a short-lived thread of its own.
  std::optional<AudioFormat> native;
  std::thread probe([&] { native = probe_input_format(device_name); });
  probe.join();
  auto stream = std::unique_ptr<InputStream>(new InputStream(device_name, shared));
  // The stream delivers the mix format's rate and channels whatever the
  // device's own format says; only bits and float come from the latter.
  stream->format_ = AudioFormat{shared->rate, shared->channels,
                                native ? native->bits_per_sample : std::uint16_t{16},
                                native ? native->is_float : false};
  return stream;
}

InputStream::~InputStream() {
  if (shared_->chunker) shared_->chunker->stop_accepting();
  ::SetEvent(shared_->stop_event);
  if (shared_->thread.joinable()) shared_->thread.join();
}

DeviceOpener capture_device_opener(std::string id) {
  return [id = std::move(id)]() -> std::expected<ComPtr<IMMDevice>, std::string> {
    auto enumerator = create_enumerator();
    if (!enumerator) return std::unexpected(std::string("DeviceNotAvailable"));
    ComPtr<IMMDevice> device;
    const HRESULT hr = (*enumerator)->GetDevice(utf8_to_wide(id).c_str(), device.put());
    if (FAILED(hr)) return std::unexpected(stream_error_kind("GetDevice", hr));
    return device;
  };
}

}  // namespace quillbox::wasapi
