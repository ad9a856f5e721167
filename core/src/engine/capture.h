#pragma once

// What the recorder needs of the system's audio: the devices it can record
// from, their native formats, and capture streams that fill an `AudioBuf`.
// Each platform implements `CapturePlatform` with its sound system; tests and
// benchmarks plug in a synthetic one. The naming rules of device entries are
// pure logic and live here, once.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/audio_format.h"
#include "engine/audio_buf.h"
#include "engine/sample_format.h"

namespace quillbox {

// The numbers travel between threads and must not change.
enum class SourceKind : std::uint8_t {
  SystemLoopback = 0,  // loopback of the default output device
  DefaultMic = 1,      // the default input device
  InputDevice = 2,     // a further input device, by name
  LoopbackDevice = 3,  // loopback of a further output device, by "[Loopback] {name}"
};

// A source's identity. `name` counts only for the two device kinds; for a
// loopback device it is the whole entry text, prefix included.
struct SourceKey {
  SourceKind kind = SourceKind::SystemLoopback;
  std::string name;

  friend bool operator==(const SourceKey& a, const SourceKey& b) {
    if (a.kind != b.kind) return false;
    const bool named = a.kind == SourceKind::InputDevice || a.kind == SourceKind::LoopbackDevice;
    return !named || a.name == b.name;
  }
};

struct OutputDeviceInfo {
  std::string name;  // friendly name
  std::string id;    // endpoint id
};

struct InputDeviceConfig {
  std::uint16_t channels = 0;
  std::uint32_t sample_rate = 0;
  SampleFormat format = SampleFormat::F32;
};

struct InputDeviceInfo {
  std::string name;
  InputDeviceConfig config;
};

struct InputDeviceList {
  std::optional<std::string> default_name;
  std::vector<InputDeviceInfo> devices;  // the default device is never among them
};

// A running capture. Destroying it stops the capture and waits until its
// threads have ended; an input stream pushes its last partial chunk first.
class CaptureStream {
 public:
  virtual ~CaptureStream() = default;
  // The device's native format as the start found it.
  virtual AudioFormat format() const = 0;
};

// One live capture as the recorder keeps it. Releasing it stops the capture.
struct StreamHandle {
  SourceKey key;
  std::unique_ptr<CaptureStream> stream;
};

using StreamResult = std::expected<std::unique_ptr<CaptureStream>, std::string>;

// Watching which output device is the default. Destroying it stops the
// watching: once the destructor has returned no call of its callback runs.
// It is destroyed on the thread that asked for it.
class DefaultOutputWatch {
 public:
  virtual ~DefaultOutputWatch() = default;
};

// The operating system's side. Every call may run on any thread; errors are
// the texts the user sees.
class CapturePlatform {
 public:
  virtual ~CapturePlatform() = default;

  // Active output devices in the system's order, without the one whose id is
  // the remembered default output id (once it is known; see
  // `without_default_output`).
  virtual std::vector<OutputDeviceInfo> list_output_devices() = 0;
  // Built with `make_input_device_list`.
  virtual InputDeviceList list_input_devices() = 0;
  virtual std::optional<std::string> default_input_name() = 0;

  // The native format of an output device (the default one without `id`;
  // that probe also remembers the default output id). Errors name the
  // system call that failed and the system's own code.
  virtual std::expected<AudioFormat, std::string> probe_loopback_format(
      const std::optional<std::string>& id) = 0;
  // The native format of the input device of that name, when it can be read.
  virtual std::optional<AudioFormat> probe_input_format(const std::string& name) = 0;

  // Starts capturing what an output device plays (the default one without
  // `id`) into `buffer`. Errors met after the start (a setup that fails on
  // the stream's thread, a vanished device) are not returned here: the
  // stream reports them once through `AudioBuf::fail` (see
  // `report_loopback_failure`, `report_input_failure`) and delivers nothing
  // more. Every chunk carries its capture time on the steady clock.
  virtual StreamResult start_loopback(const std::optional<std::string>& id,
                                      std::shared_ptr<AudioBuf> buffer) = 0;
  // Starts the default input device: "No default input device" when there is none.
  virtual StreamResult start_default_mic(std::shared_ptr<AudioBuf> buffer) = 0;
  // Starts one listed input device with its listed default configuration.
  virtual StreamResult start_input(const InputDeviceInfo& device,
                                   std::shared_ptr<AudioBuf> buffer) = 0;

  // The device that is the default output now (friendly name and id), or
  // nothing when there is none or it cannot be read. Unlike the remembered
  // default output id it follows the system's changes.
  virtual std::optional<OutputDeviceInfo> default_output_device() { return std::nullopt; }
  // Calls `changed` whenever the default output device may have changed
  // (the caller compares `default_output_device` with what it knew). It runs
  // on a thread of the sound system and must only signal. Nothing when the
  // system cannot tell.
  virtual std::unique_ptr<DefaultOutputWatch> watch_default_output(std::function<void()> changed) {
    (void)changed;
    return nullptr;
  }
};

// --- Device entries ------------------------------------------------------

// The prefix of an output device's entry: 11 bytes, the word in brackets and a space.
inline constexpr std::string_view LOOPBACK_PREFIX = "[Loopback] ";

// "[Loopback] {name}".
std::string loopback_entry(std::string_view friendly_name);
// An entry longer than 10 bytes that begins with the prefix names an output device.
bool is_loopback_entry(std::string_view entry);
// The friendly name inside a loopback entry; other entries come back unchanged.
std::string_view strip_loopback_prefix(std::string_view entry);

// The first output device whose friendly name is the entry's name.
const OutputDeviceInfo* find_output_device(const std::vector<OutputDeviceInfo>& devices,
                                           std::string_view entry);
// The first input device of exactly that name.
const InputDeviceInfo* find_input_device(const std::vector<InputDeviceInfo>& devices,
                                         std::string_view name);

// The entries of the "Other devices:" list: every output device as a
// loopback entry, then every input device by name.
std::vector<std::string> device_entries(const std::vector<OutputDeviceInfo>& outputs,
                                        const std::vector<InputDeviceInfo>& inputs);

// Starts the listed input device of that name; "{name}: input device not found"
// when the listing has none (the default device is never listed).
StreamResult start_input_device(CapturePlatform& platform, const std::string& name,
                                std::shared_ptr<AudioBuf> buffer);

// The text the window shows when the start of one source while a recording
// runs fails with `error`: "Failed to start loopback: {error}", "Failed to
// start mic: {error}", "Failed to start {name}: {error}" or "Failed to start
// loopback {name}: {error}".
std::string start_failure_text(const SourceKey& key, std::string_view error);

// The start of one source while a recording runs, with the texts the window
// shows when it fails (`start_failure_text`, or "{name}: device not found"
// for an output device no longer listed).
std::expected<StreamHandle, std::string> start_source(CapturePlatform& platform,
                                                      const SourceKey& key,
                                                      std::shared_ptr<AudioBuf> buffer);

// --- Failures after the start --------------------------------------------

inline constexpr std::string_view LOOPBACK_ERROR_FILE = "quillbox_loopback_error.txt";

// A loopback stream whose setup failed on its own thread: reports
// "Loopback capture error: {msg}" through the buffer, with the error file
// "quillbox_loopback_error.txt" in `exe_dir` (the current directory when it
// is unknown) holding "Loopback error: {msg}\n". Only records: safe on a
// sound system's callback thread.
void report_loopback_failure(AudioBuf& buffer, std::string_view msg,
                             const std::optional<std::filesystem::path>& exe_dir);
// An input stream that failed or whose device vanished: "Mic stream error: {err}".
void report_input_failure(AudioBuf& buffer, std::string_view err);

// Takes the buffer's failure, once: rewrites the error file it leaves, if
// any, ignoring any failure to do so, and returns its line. The write may
// wait on the file system, so this runs on the processor's thread, never on
// a capture's.
std::optional<std::string> take_capture_failure(AudioBuf& buffer);

// --- The default output device ------------------------------------------

// The endpoint id of the default output device as first seen. Set once; the
// first writer wins and later values are ignored.
class DefaultOutputId {
 public:
  // Stores `id` when nothing is stored yet; returns whether it was stored.
  bool remember(std::string id);
  std::optional<std::string> get() const;

 private:
  mutable std::mutex mutex_;
  std::optional<std::string> id_;
};

// --- Device lists --------------------------------------------------------

// `devices` without the default output device, once its id is remembered:
// it is recorded as "System audio" and never listed again.
std::vector<OutputDeviceInfo> without_default_output(std::vector<OutputDeviceInfo> devices,
                                                     const DefaultOutputId& default_id);

// The input device list from the default device's name (absent when there
// is none) and every device the system lists, in its order; a candidate
// whose name is byte for byte the default's is the default device and is
// left out.
InputDeviceList make_input_device_list(std::optional<std::string> default_name,
                                       std::vector<InputDeviceInfo> candidates);

}  // namespace quillbox
