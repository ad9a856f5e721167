#include "wasapi/loopback_stream.h"

#include <utility>
#include <vector>

#include "base/console.h"
#include "wasapi/packet_reader.h"
#include "base/platform_paths.h"
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
  ComPtr<IAudioClient> client;
  HRESULT hr = device.Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, client.put_void());
  if (FAILED(hr)) return hr_text("Activate", hr);
  CoTaskMem<WAVEFORMATEX> mix;
  hr = client->GetMixFormat(mix.put());
  if (FAILED(hr)) return hr_text("GetMixFormat", hr);
  hr = client->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, SILENT_BUFFER, 0, mix.get(), nullptr);
  if (FAILED(hr)) return hr_text("Initialize", hr);
  UINT32 frames = 0;
  hr = client->GetBufferSize(&frames);
  if (FAILED(hr)) return hr_text("GetBufferSize", hr);
  ComPtr<IAudioRenderClient> render;
  hr = client->GetService(__uuidof(IAudioRenderClient), render.put_void());
  if (FAILED(hr)) return hr_text("GetService", hr);
  client_ = std::move(client);
  render_ = std::move(render);
  buffer_frames_ = frames;
  // The buffer is full of silence before the device starts playing it.
  if (auto failed = feed()) return failed;
  hr = client_->Start();
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
      settings_(std::move(settings)),
      thread_([this] { run(); }) {}

LoopbackStream::~LoopbackStream() {
  {
    std::lock_guard lock(mutex_);
    stop_.store(true);
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void LoopbackStream::notice(std::string_view text) const {
  if (settings_.notice) {
    settings_.notice(text);
  } else {
    write_stderr(std::string(text) + "\n");
  }
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
  ComPtr<IAudioClient> client;
  HRESULT hr = (*device)->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, client.put_void());
  if (FAILED(hr)) return hr_text("Activate", hr);
  std::optional<WaveFormat> wave;
  {
    CoTaskMem<WAVEFORMATEX> mix;
    hr = client->GetMixFormat(mix.put());
    if (FAILED(hr)) return hr_text("GetMixFormat", hr);
    wave = wave_format_of(mix.get());
    if (!wave) return hr_text("GetMixFormat", HR_UNSUPPORTED_FORMAT);
    hr = client->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_LOOPBACK, LOOPBACK_BUFFER,
                            0, mix.get(), nullptr);
    if (FAILED(hr)) return hr_text("Initialize", hr);
  }
  // Packets come in the mix format; one the capture cannot convert is refused.
  const auto sample = capture_sample_format(*wave);
  if (const auto* name = std::get_if<std::string>(&sample)) {
    return hr_text("GetMixFormat", HR_UNSUPPORTED_FORMAT) + " (" + *name + ")";
  }
  const SampleFormat format = std::get<SampleFormat>(sample);
  const std::size_t channels = wave->channels;
  ComPtr<IAudioCaptureClient> capture;
  hr = client->GetService(__uuidof(IAudioCaptureClient), capture.put_void());
  if (FAILED(hr)) return hr_text("GetService", hr);
  hr = client->Start();
  if (FAILED(hr)) return hr_text("Start", hr);

  SilentRenderStream silent;
  if (settings_.keep_device_playing) {
    if (auto failed = silent.open(**device)) {
      notice("Loopback keep-alive stream: " + *failed);
    }
  }

  PacketReader reader(wave->sample_rate);
  const auto deliver = [&](const BYTE* data, UINT32 frames, CaptureTime time) {
    Chunk chunk;
    chunk.time = time;
    chunk.samples.resize(std::size_t{frames} * channels);
    if (data != nullptr) convert_samples(format, data, chunk.samples.size(), chunk.samples.data());
    buffer_->push(std::move(chunk));
  };
  while (wait_poll()) {
    if (silent.running()) {
      if (auto failed = silent.feed()) notice("Loopback keep-alive stream: " + *failed);
    }
    const auto failure = reader.drain(*client.get(), *capture.get(), deliver);
    if (reader.take_discontinuity()) {
      notice("Loopback capture: data discontinuity (some audio was lost)");
    }
    // A device that is gone ends this stream; other failures are polled past.
    if (failure && device_gone(static_cast<std::uint32_t>(failure->hr))) {
      buffer_->fail("Loopback capture error: " + hr_text(failure->step, failure->hr));
      break;
    }
  }
  client->Stop();
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
