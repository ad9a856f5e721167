#include "synthetic_capture.h"

#include "engine/capture_stamps.h"
#include "engine/input_chunker.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <condition_variable>
#include <list>
#include <map>
#include <numbers>
#include <random>
#include <span>
#include <thread>
#include <utility>

namespace quillbox::synthetic {

namespace {

using std::chrono::nanoseconds;
using time_point = SyntheticCapture::time_point;

constexpr std::uint64_t NS_PER_S = 1'000'000'000;

// What Windows answers when the default endpoint or an id does not exist.
constexpr const char* NOT_FOUND_TEXT = "GetDevice/GetDefaultAudioEndpoint: 0x80070490";

// The first stream time at which `frames` frames have elapsed.
nanoseconds time_of(std::uint64_t frames, std::uint32_t rate) {
  const std::uint64_t whole = frames / rate;
  const std::uint64_t rest = frames % rate;
  return nanoseconds(
      static_cast<std::int64_t>(whole * NS_PER_S + (rest * NS_PER_S + rate - 1) / rate));
}

// A packet due for delivery, and whether a stall held it back.
struct Due {
  std::uint64_t packet;
  bool backlog;
};

// One stream's delivery: which packets are due, which a fault holds back or
// drops, and where their samples go. Driven by one thread at a time.
class StreamCore {
 public:
  StreamCore(const SyntheticDevice& device, bool input, std::shared_ptr<AudioBuf> buffer,
             std::optional<std::filesystem::path> exe_dir)
      : device_(device), input_(input), buffer_(std::move(buffer)), exe_dir_(std::move(exe_dir)) {
    if (input_) {
      chunker_ = std::make_unique<InputChunker>(buffer_, device_.native.sample_rate,
                                                device_.native.channels);
    }
  }

  void set_start(time_point t0) { start_ = t0; }
  time_point start() const { return start_; }

  // Delivers every packet due by stream time `t`, read at once as a reader
  // drains what is queued: each placed by `CaptureStamps` with what is
  // queued behind it.
  void pump(nanoseconds t) {
    due_.clear();
    for (;;) {
      const nanoseconds due = due_time(next_);
      if (due > t) break;
      if (device_.stop_after && due > *device_.stop_after) break;
      if (failed_) break;
      if (device_.fail_after && due > device_.fail_after->after) {
        failed_ = true;
        break;
      }
      bool backlog = false;
      if (const Stall* stall = stall_at(due)) {
        if (!stall->deliver_backlog) {
          ++next_;  // its sample positions are skipped, never sent
          continue;
        }
        if (t < stall->end) break;  // held back until the stall ends
        backlog = true;
      }
      due_.push_back({next_++, backlog});
    }
    const CaptureTime now = start_ + t;
    std::size_t queued = due_.size() * device_.packet_frames;
    for (const Due& d : due_) {
      const CaptureTime time = stamps_.place(measure(d, now), device_.packet_frames, now, queued);
      queued -= device_.packet_frames;
      deliver(d.packet, time);
    }
    if (failed_ && !reported_) {
      reported_ = true;
      if (input_) {
        report_input_failure(*buffer_, device_.fail_after->text);
      } else {
        report_loopback_failure(*buffer_, device_.fail_after->text, exe_dir_);
      }
    }
  }

  // The stream time of the next delivery; absent when nothing more will come.
  std::optional<nanoseconds> next_event() const {
    const nanoseconds due = due_time(next_);
    if (device_.stop_after && due > *device_.stop_after) return std::nullopt;
    if (failed_) return std::nullopt;
    if (const Stall* stall = stall_at(due); stall && stall->deliver_backlog) return stall->end;
    return due;
  }

  void stop_accepting() {
    if (chunker_) chunker_->stop_accepting();
  }
  void finish() {
    if (chunker_) chunker_->finish();
  }

 private:
  std::uint32_t rate() const { return device_.native.sample_rate; }
  // The true stream time at which `frames` frames have been produced.
  nanoseconds frame_time(std::uint64_t frames) const {
    if (device_.ppm == 0) return time_of(frames, rate());
    const double true_rate = double(rate()) * (1.0 + device_.ppm * 1e-6);
    return nanoseconds(std::llround(double(frames) / true_rate * 1e9));
  }
  nanoseconds due_time(std::uint64_t packet) const {
    return frame_time((packet + 1) * device_.packet_frames);
  }
  // What a reader measures of a packet's first frame: its arrival less the
  // latency the device reports, which is right but for the jitter; a
  // backlog is stamped on arrival (less its own length), as a driver that
  // reads its device on a timer does.
  CaptureTime measure(const Due& d, CaptureTime now) {
    if (d.backlog) return now - time_of(device_.packet_frames, rate());
    CaptureTime t = start_ + frame_time(d.packet * device_.packet_frames);
    if (device_.jitter.count() > 0) {
      std::uniform_int_distribution<std::int64_t> off(-device_.jitter.count(),
                                                      device_.jitter.count());
      t += nanoseconds(off(jitter_rng_));
    }
    return t;
  }
  const Stall* stall_at(nanoseconds due) const {
    auto within = [&](const Stall& s) { return due >= s.begin && due < s.end; };
    if (device_.stall && within(*device_.stall)) return &*device_.stall;
    for (const Stall& s : device_.stalls)
      if (within(s)) return &s;
    return nullptr;
  }
  // Silences the frames of a packet that fall outside every burst.
  void gate_bursts(std::uint64_t first, std::span<float> samples) const {
    const std::size_t channels = device_.native.channels;
    const nanoseconds begin = frame_time(first);
    const nanoseconds end = frame_time(first + samples.size() / channels);
    // Most packets lie wholly inside or outside every burst.
    bool crossed = false;
    bool inside = false;
    for (const Stall& b : device_.bursts) {
      if (begin < b.end && end > b.begin) {
        inside = begin >= b.begin && end <= b.end;
        crossed = !inside;
        break;
      }
    }
    if (inside) return;
    if (!crossed) {
      std::fill(samples.begin(), samples.end(), 0.0f);
      return;
    }
    for (std::size_t f = 0; f < samples.size() / channels; ++f) {
      const nanoseconds at = frame_time(first + f);
      const bool sounding =
          std::any_of(device_.bursts.begin(), device_.bursts.end(),
                      [&](const Stall& b) { return at >= b.begin && at < b.end; });
      if (!sounding) std::fill_n(samples.begin() + f * channels, channels, 0.0f);
    }
  }

  void deliver(std::uint64_t packet, CaptureTime time) {
    const std::size_t frames = device_.packet_frames;
    const std::size_t channels = device_.native.channels;
    Chunk chunk{std::vector<float>(frames * channels), time};
    std::vector<float>& samples = chunk.samples;
    const std::uint64_t first = packet * frames;
    // Exact at the packet's first frame, then rotated frame by frame: the
    // generator must cost far less than the engine it feeds.
    const double cycles = device_.frequency * double(first) / double(rate());
    std::complex<double> tone = std::polar(double(device_.amplitude),
                                           2.0 * std::numbers::pi * (cycles - std::floor(cycles)));
    const std::complex<double> turn =
        std::polar(1.0, 2.0 * std::numbers::pi * device_.frequency / double(rate()));
    for (std::size_t f = 0; f < frames; ++f) {
      const float value = float(tone.imag());
      tone *= turn;
      for (std::size_t c = 0; c < channels; ++c) samples[f * channels + c] = value;
    }
    if (!device_.bursts.empty()) gate_bursts(first, samples);
    if (input_) {
      chunker_->accept(samples.data(), samples.size(), chunk.time);
    } else {
      buffer_->push(std::move(chunk));  // one chunk per packet, as a loopback thread does
    }
  }

  const SyntheticDevice device_;
  const bool input_;
  std::shared_ptr<AudioBuf> buffer_;
  const std::optional<std::filesystem::path> exe_dir_;
  std::unique_ptr<InputChunker> chunker_;
  bool failed_ = false;
  bool reported_ = false;
  time_point start_{};
  std::uint64_t next_ = 0;  // the first packet not yet delivered or skipped
  CaptureStamps stamps_{device_.native.sample_rate};
  std::vector<Due> due_;  // one pump's packets, reused
  std::mt19937_64 jitter_rng_{std::hash<std::string>{}(device_.name)};
};

}  // namespace

struct SyntheticCapture::Registry {
  std::mutex mutex;
  time_point now{};
  std::vector<std::shared_ptr<StreamCore>> stepped;  // the streams advance_to drives
  std::size_t live = 0;
  std::map<std::string, std::size_t> starts;
  std::size_t default_output = 0;  // index into the outputs
  // The watches' callbacks; told under `watch_mutex`, so none runs once its
  // watch has been dropped.
  std::mutex watch_mutex;
  std::list<std::function<void()>> watches;
};

namespace {

// A started stream. Stepped: registered for advance_to. RealTime: a thread of
// its own that sleeps until the next packet is due. Destroying it stops it
// the way a real stream stops: an input stream refuses further buffers, its
// delivery ends, then its partial chunk is pushed.
class SyntheticStream final : public CaptureStream {
 public:
  SyntheticStream(std::shared_ptr<StreamCore> core, AudioFormat format,
                  std::shared_ptr<SyntheticCapture::Registry> registry, bool real_time)
      : core_(std::move(core)), format_(format), registry_(std::move(registry)) {
    if (real_time) {
      core_->set_start(std::chrono::steady_clock::now());
      thread_ = std::thread([this] { run(); });
    }
  }

  ~SyntheticStream() override {
    core_->stop_accepting();
    if (thread_.joinable()) {
      {
        std::lock_guard lock(mutex_);
        stopping_ = true;
      }
      wake_.notify_all();
      thread_.join();
    }
    {
      std::lock_guard lock(registry_->mutex);
      std::erase(registry_->stepped, core_);
      --registry_->live;
    }
    core_->finish();
  }

  AudioFormat format() const override { return format_; }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      const auto next = core_->next_event();
      if (!next) {
        wake_.wait(lock, [this] { return stopping_; });
        break;
      }
      if (wake_.wait_until(lock, core_->start() + *next, [this] { return stopping_; })) break;
      lock.unlock();
      core_->pump(std::chrono::steady_clock::now() - core_->start());
      lock.lock();
    }
  }

  std::shared_ptr<StreamCore> core_;
  const AudioFormat format_;
  std::shared_ptr<SyntheticCapture::Registry> registry_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

class SyntheticWatch final : public DefaultOutputWatch {
 public:
  SyntheticWatch(std::shared_ptr<SyntheticCapture::Registry> registry,
                 std::function<void()> changed)
      : registry_(std::move(registry)) {
    std::lock_guard lock(registry_->watch_mutex);
    entry_ = registry_->watches.insert(registry_->watches.end(), std::move(changed));
  }
  ~SyntheticWatch() override {
    std::lock_guard lock(registry_->watch_mutex);
    registry_->watches.erase(entry_);
  }

 private:
  std::shared_ptr<SyntheticCapture::Registry> registry_;
  std::list<std::function<void()>>::iterator entry_;
};

const SyntheticDevice* find_by_name(const std::vector<SyntheticDevice>& devices,
                                    const std::string& name) {
  for (const auto& device : devices) {
    if (device.name == name) return &device;
  }
  return nullptr;
}

}  // namespace

SyntheticDevice SyntheticDevice::output(std::string name, std::string id, std::uint32_t rate,
                                        std::uint16_t channels, double frequency) {
  SyntheticDevice device;
  device.name = std::move(name);
  device.id = std::move(id);
  device.native = {rate, channels, 32, true};
  device.frequency = frequency;
  device.packet_frames = rate / 100;
  return device;
}

SyntheticDevice SyntheticDevice::input(std::string name, std::uint32_t rate, std::uint16_t channels,
                                       double frequency) {
  SyntheticDevice device;
  device.name = std::move(name);
  device.native = {rate, channels, 16, false};
  device.frequency = frequency;
  device.packet_frames = rate / 100;
  return device;
}

float tone_sample(const SyntheticDevice& device, std::uint64_t frame) {
  // The phase is taken from the frame number alone, so every packet continues
  // the tone exactly where the previous one ended.
  const double cycles = device.frequency * double(frame) / double(device.native.sample_rate);
  const double phase = cycles - std::floor(cycles);
  return float(device.amplitude * std::sin(2.0 * std::numbers::pi * phase));
}

SyntheticCapture::SyntheticCapture(SyntheticConfig config, Timing timing, time_point start)
    : config_(std::move(config)), timing_(timing), registry_(std::make_shared<Registry>()) {
  registry_->now = start;
}

SyntheticCapture::~SyntheticCapture() = default;

std::vector<OutputDeviceInfo> SyntheticCapture::list_output_devices() {
  std::vector<OutputDeviceInfo> devices;
  for (const auto& device : config_.outputs) devices.push_back({device.name, device.id});
  return without_default_output(std::move(devices), default_output_id_);
}

InputDeviceList SyntheticCapture::list_input_devices() {
  std::vector<InputDeviceInfo> devices;
  for (const auto& device : config_.inputs) {
    devices.push_back(
        {device.name, {device.native.channels, device.native.sample_rate, device.format}});
  }
  return make_input_device_list(default_input_name(), std::move(devices));
}

std::optional<std::string> SyntheticCapture::default_input_name() {
  if (!config_.default_input || *config_.default_input >= config_.inputs.size()) {
    return std::nullopt;
  }
  return config_.inputs[*config_.default_input].name;
}

const SyntheticDevice* SyntheticCapture::output_by_id(const std::optional<std::string>& id) const {
  if (!id) {
    std::lock_guard lock(registry_->mutex);
    const std::size_t index = registry_->default_output;
    return index < config_.outputs.size() ? &config_.outputs[index] : nullptr;
  }
  for (const auto& candidate : config_.outputs) {
    if (candidate.id == *id) return &candidate;
  }
  return nullptr;
}

std::expected<AudioFormat, std::string> SyntheticCapture::probe_loopback_format(
    const std::optional<std::string>& id) {
  const SyntheticDevice* device = output_by_id(id);
  if (device == nullptr) return std::unexpected(std::string(NOT_FOUND_TEXT));
  if (!id) default_output_id_.remember(device->id);  // before any later step can fail
  if (device->probe_error) return std::unexpected(*device->probe_error);
  return device->native;
}

std::optional<AudioFormat> SyntheticCapture::probe_input_format(const std::string& name) {
  const SyntheticDevice* device = find_by_name(config_.inputs, name);
  if (device == nullptr || device->probe_error) return std::nullopt;
  return device->native;
}

StreamResult SyntheticCapture::start_loopback(const std::optional<std::string>& id,
                                              std::shared_ptr<AudioBuf> buffer) {
  const SyntheticDevice* device = output_by_id(id);
  auto probed = probe_loopback_format(id);
  if (!probed) return std::unexpected(probed.error());
  return start_stream(*device, false, std::move(buffer));
}

std::optional<OutputDeviceInfo> SyntheticCapture::default_output_device() {
  const SyntheticDevice* device = output_by_id(std::nullopt);
  if (device == nullptr) return std::nullopt;
  return OutputDeviceInfo{device->name, device->id};
}

std::unique_ptr<DefaultOutputWatch> SyntheticCapture::watch_default_output(
    std::function<void()> changed) {
  return std::make_unique<SyntheticWatch>(registry_, std::move(changed));
}

void SyntheticCapture::set_default_output(const std::string& id) {
  for (std::size_t i = 0; i < config_.outputs.size(); ++i) {
    if (config_.outputs[i].id != id) continue;
    {
      std::lock_guard lock(registry_->mutex);
      registry_->default_output = i;
    }
    std::lock_guard lock(registry_->watch_mutex);
    for (const auto& changed : registry_->watches) changed();
    return;
  }
}

std::size_t SyntheticCapture::watch_count() const {
  std::lock_guard lock(registry_->watch_mutex);
  return registry_->watches.size();
}

StreamResult SyntheticCapture::start_default_mic(std::shared_ptr<AudioBuf> buffer) {
  if (!default_input_name()) return std::unexpected(std::string("No default input device"));
  return start_stream(config_.inputs[*config_.default_input], true, std::move(buffer));
}

StreamResult SyntheticCapture::start_input(const InputDeviceInfo& info,
                                           std::shared_ptr<AudioBuf> buffer) {
  const SyntheticDevice* device = find_by_name(config_.inputs, info.name);
  if (device == nullptr) return std::unexpected(std::string("DeviceNotAvailable"));
  return start_stream(*device, true, std::move(buffer));
}

StreamResult SyntheticCapture::start_stream(const SyntheticDevice& probed, bool input,
                                            std::shared_ptr<AudioBuf> buffer) {
  if (probed.start_delay.count() > 0) std::this_thread::sleep_for(probed.start_delay);
  SyntheticDevice device = probed;
  if (probed.stream_format) device.native = *probed.stream_format;
  if (device.start_error) return std::unexpected(*device.start_error);
  if (device.native.sample_rate == 0 || device.native.channels == 0 || device.packet_frames == 0) {
    return std::unexpected(std::string("StreamConfigNotSupported"));
  }
  AudioFormat format = device.native;
  if (input && !probed.stream_format) {
    // As a real input stream: the probed format, else the stream's own rate
    // and channels as 16-bit integers.
    format =
        probe_input_format(device.name)
            .value_or(AudioFormat{device.native.sample_rate, device.native.channels, 16, false});
  }
  auto core = std::make_shared<StreamCore>(device, input, std::move(buffer), config_.exe_dir);
  {
    std::lock_guard lock(registry_->mutex);
    ++registry_->starts[device.name];
    ++registry_->live;
    if (timing_ == Timing::Stepped) {
      core->set_start(registry_->now);
      registry_->stepped.push_back(core);
    }
  }
  return std::make_unique<SyntheticStream>(std::move(core), format, registry_,
                                           timing_ == Timing::RealTime);
}

void SyntheticCapture::remember_default_output() {
  if (!config_.outputs.empty()) default_output_id_.remember(config_.outputs[0].id);
}

void SyntheticCapture::advance_to(time_point now) {
  if (timing_ != Timing::Stepped) return;
  std::lock_guard lock(registry_->mutex);
  if (now < registry_->now) return;
  registry_->now = now;
  for (const auto& core : registry_->stepped) core->pump(now - core->start());
}

SyntheticCapture::time_point SyntheticCapture::now() const {
  if (timing_ == Timing::RealTime) return std::chrono::steady_clock::now();
  std::lock_guard lock(registry_->mutex);
  return registry_->now;
}

std::size_t SyntheticCapture::live_stream_count() const {
  std::lock_guard lock(registry_->mutex);
  return registry_->live;
}

std::size_t SyntheticCapture::start_count(const std::string& name) const {
  std::lock_guard lock(registry_->mutex);
  const auto it = registry_->starts.find(name);
  return it == registry_->starts.end() ? 0 : it->second;
}

}  // namespace quillbox::synthetic
