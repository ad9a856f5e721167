#include "wasapi/loopback_stream.h"

#include <utility>
#include <vector>

#include "base/console.h"
#include "base/platform_paths.h"
#include "engine/sample_format.h"
#include "wasapi/client_setup.h"
#include "wasapi/packet_reader.h"
#include "wasapi/wasapi_devices.h"

namespace quillbox::wasapi {
namespace {

// Two seconds in 100 ns units: the loopback client's buffer.
constexpr REFERENCE_TIME LOOPBACK_BUFFER = 20'000'000;
// 200 ms of silence queued ahead on the keep-alive stream.
constexpr REFERENCE_TIME SILENT_BUFFER = 2'000'000;

}  // namespace

// --- The silent render stream -------------------------------------------

std::optional<std::string> SilentRenderStream::open(IMMDevice& device) {
  close();
  UINT32 frames = 0;
  const ClientSetup setup{
      .buffer = SILENT_BUFFER,
      .after_initialize = [&](IAudioClient& client, const WaveFormat&) -> ExtraStep {
        const HRESULT hr = client.GetBufferSize(&frames);
        if (FAILED(hr)) return hr_text("GetBufferSize", hr);
        return std::nullopt;
      }};
  auto set_up = set_up_client<IAudioRenderClient>(device, setup);
  if (!set_up) return set_up.error();
  client_ = std::move(set_up->client);
  render_ = std::move(set_up->service);
  buffer_frames_ = frames;
  // The buffer is full of silence before the device starts playing it.
  if (auto failed = feed()) return failed;
  const HRESULT hr = client_->Start();
  if (FAILED(hr)) {
    close();
    return hr_text("Start", hr);
  }
  return std::nullopt;
}

std::optional<std::string> SilentRenderStream::feed() {
  if (!render_) return std::nullopt;
  UINT32 padding = 0;
  HRESULT hr = client_->GetCurrentPadding(&padding);
  if (FAILED(hr)) {
    close();
    return hr_text("GetCurrentPadding", hr);
  }
  const UINT32 free_frames = padding < buffer_frames_ ? buffer_frames_ - padding : 0;
  if (free_frames == 0) return std::nullopt;
  BYTE* data = nullptr;
  hr = render_->GetBuffer(free_frames, &data);
  if (SUCCEEDED(hr)) hr = render_->ReleaseBuffer(free_frames, AUDCLNT_BUFFERFLAGS_SILENT);
  if (FAILED(hr)) {
    close();
    return hr_text("GetBuffer", hr);
  }
  return std::nullopt;
}

void SilentRenderStream::close() {
  if (client_) client_->Stop();
  render_.reset();
  client_.reset();
  buffer_frames_ = 0;
}

// --- The loopback stream ------------------------------------------------

LoopbackStream::LoopbackStream(DeviceOpener open, std::shared_ptr<AudioBuf> buffer,
                               AudioFormat format, StreamSettings settings)
    : open_(std::move(open)),
      buffer_(std::move(buffer)),
      format_(format),
      settings_(std::move(settings)) {
  // Started once every member it reads is in place.
  thread_ = std::thread([this] { run(); });
}

LoopbackStream::~LoopbackStream() {
  {
    std::lock_guard lock(mutex_);
    stop_.store(true);
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool LoopbackStream::wait_poll() {
  std::unique_lock lock(mutex_);
  wake_.wait_for(lock, settings_.poll_interval, [this] { return stop_.load(); });
  return !stop_.load();
}

void LoopbackStream::run() {
  ComApartment com;
  ProAudioThread scheduling;
  if (auto failed = setup_and_capture()) {
    const auto dir = settings_.error_file_dir ? settings_.error_file_dir() : executable_directory();
    report_loopback_failure(*buffer_, *failed, dir);
  }
}

// Runs until stopped; returns the failing setup step's text.
std::optional<std::string> LoopbackStream::setup_and_capture() {
  auto device = open_();
  if (!device) return device.error();
  SampleFormat format{};
  const ClientSetup setup{
      .stream_flags = AUDCLNT_STREAMFLAGS_LOOPBACK,
      .buffer = LOOPBACK_BUFFER,
      // Packets come in the mix format; one the capture cannot convert is refused.
      .after_initialize = [&](IAudioClient&, const WaveFormat& mix) -> ExtraStep {
        const auto sample = capture_sample_format(mix);
        if (const auto* name = std::get_if<std::string>(&sample)) {
          return hr_text("GetMixFormat", HR_UNSUPPORTED_FORMAT) + " (" + *name + ")";
        }
        format = std::get<SampleFormat>(sample);
        return std::nullopt;
      }};
  auto set_up = set_up_client<IAudioCaptureClient>(**device, setup);
  if (!set_up) return set_up.error();
  IAudioClient& client = *set_up->client.get();
  const std::size_t channels = set_up->mix.channels;
  const HRESULT hr = client.Start();
  if (FAILED(hr)) return hr_text("Start", hr);

  SilentRenderStream silent;
  if (settings_.keep_device_playing) {
    if (auto failed = silent.open(**device)) {
      write_err(settings_.notice, "Loopback keep-alive stream: " + *failed + "\n");
    }
  }

  PacketReader reader(set_up->mix.sample_rate, channels * sample_bytes(format));
  const auto deliver = [&](const BYTE* data, UINT32 frames, CaptureTime time) {
    Chunk chunk;
    chunk.time = time;
    chunk.samples.resize(std::size_t{frames} * channels);
    if (data != nullptr) convert_samples(format, data, chunk.samples.size(), chunk.samples.data());
    buffer_->push(std::move(chunk));
  };
  while (wait_poll()) {
    if (silent.running()) {
      if (auto failed = silent.feed())
        write_err(settings_.notice, "Loopback keep-alive stream: " + *failed + "\n");
    }
    const auto failure = reader.drain(*set_up->service.get(), deliver);
    if (reader.take_discontinuity()) {
      write_err(settings_.notice, "Loopback capture: data discontinuity (some audio was lost)\n");
    }
    // A device that is gone ends this stream; other failures are polled past.
    if (failure && device_gone(static_cast<std::uint32_t>(failure->hr))) {
      buffer_->fail("Loopback capture error: " + hr_text(failure->step, failure->hr));
      break;
    }
  }
  client.Stop();
  return std::nullopt;
}

DeviceOpener render_device_opener(std::optional<std::string> id) {
  return [id = std::move(id)]() -> std::expected<ComPtr<IMMDevice>, std::string> {
    auto enumerator = create_enumerator();
    if (!enumerator) return std::unexpected(enumerator.error());
    return open_render_device(**enumerator, id);
  };
}

}  // namespace quillbox::wasapi
