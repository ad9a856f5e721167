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
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "audio_buf.h"
#include "capture.h"
#include "cli.h"
#include "output_spec.h"
#include "pass_clock.h"
#include "platform_paths.h"
#include "processor.h"

namespace quillbox {

// What the window asks for.
struct StartRequest {
  std::string output_dir;
  std::vector<std::string> devices;  // ticked "Other devices:" entries, as listed
  std::optional<OutputSpec> format;  // absent: "auto"
  bool record_system = false;
  bool record_mic = false;
  RecordMode mode = RecordMode::Single;
};

// One configured source; its position in the list is its index everywhere.
struct SourceInfo {
  SourceKey key;
  OutputSpec native;
  std::shared_ptr<AudioBuf> buffer;
  std::shared_ptr<std::atomic<bool>> enabled;
};

// The outcome of a source started while recording, handed to the window thread.
struct SourceStartResult {
  SourceKey key;
  std::size_t index = 0;
  std::variant<StreamHandle, std::string> result;
};

struct StopResult {
  std::vector<std::filesystem::path> files;  // creation order
  std::optional<std::string> error;
  std::size_t used_sources = 0;
  std::size_t source_count = 0;
  std::filesystem::path output_dir;
  bool output_dir_created = false;
  RecordMode mode = RecordMode::Single;
};

// What a recording needs of the world outside the core.
struct RecorderEnv {
  std::shared_ptr<CapturePlatform> capture;
  PlatformPaths paths;
  std::function<void(std::string_view)> err;                          // standard error when empty
  std::shared_ptr<PassClock> clock;                                   // the real clock when empty
  std::function<std::chrono::system_clock::time_point()> wall_clock;  // system_clock when empty
  std::uint64_t part_size_limit = PART_SIZE_LIMIT;
};

// Called on a worker thread with the outcome of a live start; the window
// hands it over to its own thread.
using SourceStartedSink = std::function<void(SourceStartResult)>;

// "{year:04}-{month:02}-{day:02}_{hour:02}-{minute:02}" in UTC; times before
// 1970 read "1970-01-01_00-00".
std::string session_timestamp(std::chrono::system_clock::time_point when);

// The greatest of the formats: higher rate, then more channels, then float
// over integer, then more bits; the earlier one on a tie.
OutputSpec greatest_format(const std::vector<OutputSpec>& formats);

// The text a stop reports when the processor ended without its status.
inline constexpr std::string_view PROCESSOR_LOST_TEXT =
    "processor thread stopped without reporting status";

class Recorder {
 public:
  // Starts a recording. Sources that fail to start only add warnings; the
  // error is the text of a recording that could not be placed anywhere.
  static std::expected<Recorder, std::string> start(const StartRequest& request,
                                                    const RecorderEnv& env);

  Recorder(Recorder&&) noexcept = default;
  Recorder& operator=(Recorder&&) = delete;
  // A recorder dropped without `stop` stops all the same.
  ~Recorder();

  // The processor's fatal error, once it has one.
  std::optional<std::string> error() const;

  // Switches a source off at once, or starts it on a worker thread whose
  // outcome goes to `notify` ("already active" when it runs already).
  void set_source_enabled(const SourceKey& key, bool enabled, SourceStartedSink notify);

  // Takes a live start's outcome on the window thread; returns the text to
  // show when the start failed.
  std::optional<std::string> attach_stream(std::size_t index,
                                           std::variant<StreamHandle, std::string> result);

  // Ends the recording: waits for the processor's report.
  StopResult stop() &&;

  const std::vector<SourceInfo>& sources() const { return sources_; }
  const std::vector<std::string>& warnings() const { return warnings_; }
  const OutputSpec& spec() const { return spec_; }
  const std::filesystem::path& output_dir() const { return output_dir_; }
  bool output_dir_created() const { return output_dir_created_; }
  RecordMode mode() const { return mode_; }
  std::size_t source_count() const { return sources_.size(); }
  std::size_t used_source_count() const;

 private:
  Recorder() = default;
  struct UsedSources {
    std::mutex mutex;
    std::set<std::size_t> indices;
  };

  std::shared_ptr<CapturePlatform> capture_;
  std::future<std::vector<std::filesystem::path>> status_;
  std::filesystem::path output_dir_;
  bool output_dir_created_ = false;
  std::unique_ptr<UsedSources> used_ = std::make_unique<UsedSources>();
  std::vector<SourceInfo> sources_;
  std::vector<std::string> warnings_;
  OutputSpec spec_;
  std::shared_ptr<StreamList> streams_;
  std::shared_ptr<std::atomic<bool>> stop_flag_;
  std::shared_ptr<ErrorSlot> error_;
  RecordMode mode_ = RecordMode::Single;
};

}  // namespace quillbox
