#pragma once

// One running recording: the sources it captures, the processor thread that
// writes them, live switching of sources, and the stop that hands the
// written files back.

#include <atomic>
#include <chrono>
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
#include <thread>
#include <vector>

#include "base/audio_format.h"
#include "base/console.h"
#include "base/platform_paths.h"
#include "engine/audio_buf.h"
#include "engine/capture.h"
#include "engine/live_files.h"
#include "engine/pass_clock.h"
#include "engine/processor.h"
#include "engine/record_mode.h"
#include "engine/recorder_sources.h"

namespace quillbox {

// What `set_source_enabled` did at once.
enum class SwitchOutcome : std::uint8_t {
  SwitchedOff,    // the source is off; its capture (or the start under way) is released
  Starting,       // a start of the source is under way; its outcome comes to a notify
  AlreadyActive,  // the source records already; nothing changed
  NotSwitchable,  // no such source, or the recording has stopped
};

// The outcome of a live start, handed from the worker to the window thread.
// The started capture itself stays with the recorder until `attach_stream`.
struct SourceStartResult {
  SourceKey key;
  std::size_t index = 0;
  std::optional<std::string> error;  // the text to show when the start failed
};

// Audio one source could not keep because writing fell behind: stretches of
// the recording's timeline, in seconds from its start, that hold silence.
struct LostAudio {
  struct Stretch {
    double at = 0;
    double seconds = 0;
    friend bool operator==(const Stretch&, const Stretch&) = default;
  };
  std::string source;  // as the user knows it: "System audio", "Microphone", a device entry
  std::vector<Stretch> stretches;
  friend bool operator==(const LostAudio&, const LostAudio&) = default;
};

struct StopResult {
  std::vector<std::filesystem::path> files;  // creation order
  std::optional<std::string> error;
  // Per source that lost audio, in source order.
  std::vector<LostAudio> lost;
  // Present when every source that was on had failed, so nothing was left
  // to record: the failure line of each.
  std::optional<std::vector<std::string>> every_source_failed;
  std::size_t used_sources = 0;
  std::size_t source_count = 0;
  std::filesystem::path output_dir;
  bool output_dir_created = false;
  RecordMode mode = RecordMode::Single;
  // Files deleted or moved while recording, saved again (`files` has their new names).
  std::vector<RescuedFile> rescued;
  // The loudest sample written to the files, as a fraction of full scale (NaN
  // and infinite float samples left out); absent when the writing thread was lost.
  std::optional<float> peak;
};

// Starts a thread running `body`, or throws std::system_error as std::thread does.
using WorkerStarter = std::function<std::thread(std::function<void()>)>;

// What a recording needs of the world outside the core.
struct RecorderEnv {
  std::shared_ptr<CapturePlatform> capture;
  PlatformPaths paths;
  TextSink err;                                                       // standard error when empty
  std::shared_ptr<PassClock> clock;                                   // the real clock when empty
  std::function<std::chrono::system_clock::time_point()> wall_clock;  // system_clock when empty
  std::uint64_t part_size_limit = PART_SIZE_LIMIT;
  // Starts a live start's worker thread; std::thread when empty. Tests hand
  // in one that fails as std::thread does when the system has no thread left.
  WorkerStarter start_worker;
};

// Called with a live start's outcome, on the start's worker thread (or, when
// no worker could be started, on the thread that asked for the start); the
// window hands it over to its own thread and calls `attach_stream` there. It
// must not block on the window thread (a stop waits for the workers).
using SourceStartedSink = std::function<void(SourceStartResult)>;

// A source as the user knows it, in the texts that report it: "System
// audio", "Microphone", or the device entry's name.
std::string source_name(const SourceKey& key);

// "{year:04}-{month:02}-{day:02}_{hour:02}-{minute:02}" in UTC; times before
// 1970 read "1970-01-01_00-00".
std::string session_timestamp(std::chrono::system_clock::time_point when);

// The text a stop reports when the processor ended without its status.
inline constexpr std::string_view PROCESSOR_LOST_TEXT =
    "processor thread stopped without reporting status";

// Why a recording could not start.
struct StartError {
  enum class Kind : std::uint8_t {
    NoWritableDir,  // no place could hold the recording's files
  };
  Kind kind = Kind::NoWritableDir;
  std::string text;  // what the user sees
};

class Recorder {
 public:
  // Starts a recording. Sources that fail to start only add warnings; a
  // recording that could not be placed anywhere is a `NoWritableDir` error
  // whose text lists every place tried.
  static std::expected<Recorder, StartError> start(const StartRequest& request,
                                                   const RecorderEnv& env);

  Recorder(Recorder&&) noexcept;
  Recorder& operator=(Recorder&&) = delete;
  // A recorder dropped without `stop` stops all the same.
  ~Recorder();

  // The processor's fatal error, once it has one.
  std::optional<std::string> error() const;
  // True once a capture has failed and none is left: every source that is on
  // has failed and no start of a source is under way. Sources that are off
  // (never started, or switched off) keep nothing alive. Such a recording
  // only grows silence, so the window stops it as it does on an error.
  bool every_source_failed() const;

  // Switching a source while recording, from the window thread:
  //
  // Off: the source is off at once; its capture is released on the calling
  // thread (an input stream pushes its last chunk first), and a start under
  // way is cancelled: its capture is released when it arrives and the source
  // stays off. Returns SwitchedOff.
  //
  // On: a start runs on a worker thread owned by the recorder, and `notify`
  // receives its outcome once from that worker (unless the recording stops
  // first). Returns Starting. A worker thread that cannot be started fails
  // the start at once: `notify` receives the failure text on the calling
  // thread and the source stays off. While a start of the source is under
  // way (even a cancelled one) no second one begins: that start stands and
  // its own notify reports it. A source that records already returns
  // AlreadyActive and `notify` is not called.
  SwitchOutcome set_source_enabled(const SourceKey& key, bool enabled, SourceStartedSink notify);

  // Takes a live start's outcome on the window thread. A successful start's
  // capture joins the recording and the source is on from the next pass;
  // an outcome whose source was switched off meanwhile, or that arrives
  // after `stop`, changes nothing. Returns the text to show: the failure
  // text of a failed start, else nothing.
  std::optional<std::string> attach_stream(const SourceStartResult& result);

  // Ends the recording on the calling thread: releases every capture (so
  // each pushes what it still holds), waits for the live-start workers,
  // raises the stop flag and joins the processor thread once it has written
  // everything captured up to here. No thread of the recording runs after it.
  StopResult stop() &&;

  const std::vector<SourceInfo>& sources() const { return sources_; }
  const std::vector<std::string>& warnings() const { return warnings_; }
  const AudioFormat& spec() const { return spec_; }
  const std::filesystem::path& output_dir() const { return output_dir_; }
  bool output_dir_created() const { return output_dir_created_; }
  RecordMode mode() const { return mode_; }
  std::size_t source_count() const { return sources_.size(); }
  std::size_t used_source_count() const;
  // Each source's loudest sample since the last call, in source order.
  std::vector<float> take_peaks() const;
  // Whether `path` is one of the recording's files, made or about to be made
  // (parts and segments to come included), compared by weakly canonical
  // path. Such a file is the processor thread's until `stop` hands it back.
  bool writes_to(const std::filesystem::path& path) const;

 private:
  Recorder() = default;
  struct Live;  // the captures, live starts and threads, shared with the workers

  std::shared_ptr<CapturePlatform> capture_;
  std::unique_ptr<Live> live_;
  std::filesystem::path output_dir_;
  bool output_dir_created_ = false;
  std::vector<SourceInfo> sources_;
  std::vector<std::string> warnings_;
  AudioFormat spec_;
  std::shared_ptr<ErrorSlot> error_;
  std::shared_ptr<LiveFiles> live_files_;
  RecordMode mode_ = RecordMode::Single;
  CaptureTime start_time_{};  // position 0 of the timeline
};

}  // namespace quillbox
