#include "engine/recorder_sources.h"

#include <algorithm>
#include <string_view>
#include <tuple>
#include <utility>

namespace quillbox {
namespace {

// What a source is taken to deliver when its format cannot be read.
constexpr AudioFormat FALLBACK_FORMAT{44100, 2, 16, false};

bool contains(const std::vector<std::string>& list, std::string_view item) {
  return std::ranges::find(list, item) != list.end();
}

}  // namespace

OpenedSources open_sources(const StartRequest& request, CapturePlatform& capture,
                           CaptureTime start_time) {
  OpenedSources opened;
  // Adds a source and, when asked, starts it; a failed start is a warning.
  // The lane converts from the started capture's own format, else the probed one.
  const auto add = [&](SourceKey key, AudioFormat native, bool wanted, auto&& start,
                       const std::string& warning) {
    SourceInfo info{std::move(key), native, std::make_shared<SourceFeed>(native)};
    if (wanted) {
      StreamResult started = start(info.feed->buffer());
      if (started) {
        info.feed->set_format((*started)->format());
        info.feed->set_enabled(true, start_time);
        opened.streams.push_back(StreamHandle{info.key, std::move(*started)});
      } else {
        opened.warnings.push_back(warning + started.error());
      }
    }
    opened.sources.push_back(std::move(info));
  };
  // System audio always exists, started or not.
  const auto system_native = capture.probe_loopback_format(std::nullopt);
  add(
      SourceKey{SourceKind::SystemLoopback, {}}, system_native.value_or(FALLBACK_FORMAT),
      request.record_system,
      [&](std::shared_ptr<AudioBuf> buf) { return capture.start_loopback(std::nullopt, buf); },
      "System audio (loopback) failed to start: ");

  if (const auto mic = capture.default_input_name()) {
    add(
        SourceKey{SourceKind::DefaultMic, {}},
        capture.probe_input_format(*mic).value_or(FALLBACK_FORMAT), request.record_mic,
        [&](std::shared_ptr<AudioBuf> buf) { return capture.start_default_mic(buf); },
        "Microphone failed to start: ");
  }

  const bool wants_inputs = std::ranges::any_of(
      request.devices, [](const std::string& e) { return !is_loopback_entry(e); });
  const bool wants_loopbacks = std::ranges::any_of(request.devices, is_loopback_entry);

  if (wants_inputs) {
    for (const InputDeviceInfo& device : capture.list_input_devices().devices) {
      add(
          SourceKey{SourceKind::InputDevice, device.name},
          capture.probe_input_format(device.name).value_or(FALLBACK_FORMAT),
          contains(request.devices, device.name),
          [&](std::shared_ptr<AudioBuf> buf) { return capture.start_input(device, buf); },
          "Input \"" + device.name + "\" failed to start: ");
    }
  }
  if (wants_loopbacks) {
    for (const OutputDeviceInfo& device : capture.list_output_devices()) {
      std::string entry = loopback_entry(device.name);
      const bool wanted = contains(request.devices, entry);
      add(
          SourceKey{SourceKind::LoopbackDevice, std::move(entry)},
          capture.probe_loopback_format(device.id).value_or(FALLBACK_FORMAT), wanted,
          [&](std::shared_ptr<AudioBuf> buf) { return capture.start_loopback(device.id, buf); },
          "Loopback \"" + device.name + "\" failed to start: ");
    }
  }
  return opened;
}

AudioFormat greatest_format(const std::vector<AudioFormat>& formats) {
  AudioFormat best{};
  bool first = true;
  for (const AudioFormat& f : formats) {
    const auto rank = [](const AudioFormat& s) {
      return std::tuple(s.sample_rate, s.channels, s.is_float, s.bits_per_sample);
    };
    if (first || rank(f) > rank(best)) best = f;
    first = false;
  }
  return best;
}

AudioFormat session_format(const std::optional<AudioFormat>& requested,
                           const std::vector<SourceInfo>& sources) {
  std::vector<AudioFormat> natives;
  for (const SourceInfo& s : sources) natives.push_back(s.native);
  AudioFormat spec = requested.value_or(greatest_format(natives));
  if (spec.is_float) spec.bits_per_sample = 32;
  return spec;
}

}  // namespace quillbox
