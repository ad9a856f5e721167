#pragma once

// A capture platform made of sine tones, for tests and benchmarks of the real
// recorder and processor. Every device is described up front: its native
// format, its tone, how many frames it delivers at a time, and the faults it
// shows (failed probes and starts, a stream that goes quiet, a stall with or
// without a backlog). It behaves as the platform seam promises: the default
// output device disappears from the output list once its id is remembered,
// the default input device is never listed, and input streams gather their
// device buffers into chunks of at least 5 ms exactly as a real one does.
//
// Two timings. RealTime: each stream has its own thread that delivers every
// packet when it is due by the steady clock. Stepped: streams deliver only in
// `advance_to`, which a `SteppedClock` calls from the processor's thread, so a
// recording runs in virtual time, deterministically and as fast as the
// machine allows.
//
// Every packet's capture time is measured as a real reader measures it
// (arrival less the device's latency, with jitter; a backlog stamped on
// arrival) and placed through `CaptureStamps` with what is queued behind it,
// as the real readers do, so a test of the timeline proves what a recording
// does.
//
// Stream time is the time since a stream started. Packet k (k = 1, 2, ...)
// holds sample frames [(k-1) * packet_frames, k * packet_frames) and is due at
// stream time k * packet_frames / rate; the signal at frame n is
// amplitude * sin(2 pi frequency n / rate) on every channel, so consecutive
// packets join without a seam.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/capture.h"

namespace quillbox::synthetic {

// A stretch of stream time [begin, end) in which a stream delivers nothing.
// Afterwards it delivers the packets it held back all at once at `end`, each
// stamped on its arrival (`deliver_backlog`: a burst), or carries on as if
// they had never existed, with right stamps and no word of the loss (a
// pause: a suspended device, a loopback while nothing plays).
struct Stall {
  std::chrono::nanoseconds begin{0};
  std::chrono::nanoseconds end{0};
  bool deliver_backlog = false;
};

struct SyntheticDevice {
  std::string name;
  std::string id;  // output devices only: the endpoint id
  // What probes report; the stream runs at its rate and channel count.
  AudioFormat native{48000, 2, 32, true};
  SampleFormat format = SampleFormat::F32;  // input devices: the listed configuration
  double frequency = 440.0;
  float amplitude = 0.5f;
  // Frames per loopback packet, or per input device buffer.
  std::size_t packet_frames = 480;

  // A loopback probe (and so a loopback start) fails with this text; an input
  // device's probe finds nothing.
  std::optional<std::string> probe_error;
  // Starting a stream of this device fails with this text.
  std::optional<std::string> start_error;
  // Packets due after this stream time are never delivered.
  std::optional<std::chrono::nanoseconds> stop_after;
  std::optional<Stall> stall;
  // Further stalls, each as above (a first packet that comes late is a stall
  // from stream time 0).
  std::vector<Stall> stalls;
  // The device's clock runs this many parts per million fast (negative:
  // slow): it delivers rate * (1 + ppm / 1e6) frames per true second, and
  // its measured times are the true ones.
  double ppm = 0;
  // When given, the tone sounds only within these stretches of true stream
  // time [begin, begin + length) and is silent elsewhere.
  std::vector<Stall> bursts;
  // Each packet's measured capture time (its arrival less the latency the
  // device reports) is off its true time by a uniform random amount within
  // +-jitter (seeded by the device's name: repeatable).
  std::chrono::nanoseconds jitter{std::chrono::milliseconds(1)};
  // The format the stream runs at (and its `format()` reports) when it is
  // not the probed `native` one: a device that changed its mix format.
  std::optional<AudioFormat> stream_format;
  // A start takes this long, on the starting thread by the steady clock.
  std::chrono::milliseconds start_delay{0};
  // At the first packet due after this stream time the stream fails: it
  // reports `text` the way a real stream does (`report_input_failure`, or
  // `report_loopback_failure` into `SyntheticConfig::exe_dir`) and delivers
  // nothing more.
  struct Failure {
    std::chrono::nanoseconds after{0};
    std::string text;
  };
  std::optional<Failure> fail_after;

  // A 32-bit float output device delivering 10 ms packets.
  static SyntheticDevice output(std::string name, std::string id, std::uint32_t rate,
                                std::uint16_t channels, double frequency);
  // A 16-bit input device whose stream delivers 10 ms float buffers.
  static SyntheticDevice input(std::string name, std::uint32_t rate, std::uint16_t channels,
                               double frequency);
};

struct SyntheticConfig {
  // outputs[0] is the default output device until `set_default_output`.
  std::vector<SyntheticDevice> outputs;
  std::vector<SyntheticDevice> inputs;
  std::optional<std::size_t> default_input;      // index into inputs; absent: no microphone
  std::optional<std::filesystem::path> exe_dir;  // where a loopback failure writes its file
};

enum class Timing { RealTime, Stepped };

// The value a device's tone has at sample frame `frame`.
float tone_sample(const SyntheticDevice& device, std::uint64_t frame);

class SyntheticCapture final : public CapturePlatform {
 public:
  using time_point = std::chrono::steady_clock::time_point;

  // Stepped virtual time starts at `start`.
  SyntheticCapture(SyntheticConfig config, Timing timing, time_point start = time_point{});
  ~SyntheticCapture() override;

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

  // The output device of that id becomes the default (a user picks another
  // one, or plugs in headphones); every watch is told, on this thread, as a
  // system tells on a thread of its own.
  void set_default_output(const std::string& id);
  // Watches made and not yet dropped.
  std::size_t watch_count() const;

  // What the window's start-up query does: remembers outputs[0]'s id.
  void remember_default_output();
  std::optional<std::string> default_output_id() const { return default_output_id_.get(); }

  // Stepped timing: every live stream delivers the packets due by `now`.
  // Earlier times than the last one are ignored.
  void advance_to(time_point now);
  // Stepped: the last advanced time. RealTime: the steady clock.
  time_point now() const;

  Timing timing() const { return timing_; }
  const SyntheticConfig& config() const { return config_; }
  // Streams started and not yet destroyed.
  std::size_t live_stream_count() const;
  // Successful starts of the device of that name, over the whole run.
  std::size_t start_count(const std::string& name) const;

  struct Registry;  // the live streams and the virtual time, shared with the streams

 private:
  StreamResult start_stream(const SyntheticDevice& device, bool input,
                            std::shared_ptr<AudioBuf> buffer);
  const SyntheticDevice* output_by_id(const std::optional<std::string>& id) const;

  const SyntheticConfig config_;
  const Timing timing_;
  DefaultOutputId default_output_id_;
  std::shared_ptr<Registry> registry_;
};

}  // namespace quillbox::synthetic
