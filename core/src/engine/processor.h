#pragma once

// The one thread of a recording that touches audio after capture. Every
// pass it takes the sources' chunks, converts them to the session format,
// follows switched sources and hands the audio to the recording's write
// policy (see write_policy.h), which writes through the session's files.

#include <atomic>
#include <bit>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/audio_format.h"
#include "base/buffered_file.h"
#include "base/console.h"
#include "engine/audio_buf.h"
#include "engine/live_files.h"
#include "engine/pass_clock.h"
#include "engine/record_mode.h"
#include "engine/session_rescue.h"
#include "engine/source_lane.h"
#include "engine/write_policy.h"
#include "wav/recpart_writer.h"

namespace quillbox {

// The pause between passes. Audio is placed by its capture times, not by
// when a pass sees it, so a longer pause costs no timing: it only holds the
// audio longer in the buffers (and the meters update at this pace); the
// stop wakes the pause at once.
inline constexpr std::chrono::milliseconds POLL_INTERVAL{50};

// What the recorder and the processor share of one source: the buffer its
// capture fills, whether it is switched on and since when, and the format of
// the capture that fills the buffer. The recorder changes the format before
// it switches a newly started capture on; the processor follows at its next
// pass. A switch takes effect on the timeline at the moment it was made, not
// at the pass that sees it.
class SourceFeed {
 public:
  explicit SourceFeed(const AudioFormat& format) : format_(pack(format)) {
    buffer_->set_format(format.sample_rate, format.channels);
  }

  // The buffer the source's capture fills (a live start fills it too).
  std::shared_ptr<AudioBuf> buffer() const {
    std::lock_guard lock(capture_mutex_);
    return buffer_;
  }
  bool enabled() const { return enabled_.load(); }
  // The time of the last switch; read after `enabled`, it is that switch's.
  CaptureTime switched_at() const { return CaptureTime(CaptureTime::duration(at_.load())); }
  void set_enabled(bool on, CaptureTime at) {
    at_.store(at.time_since_epoch().count());
    enabled_.store(on);
  }
  AudioFormat format() const { return unpack(format_.load()); }
  void set_format(const AudioFormat& format) {
    std::lock_guard lock(capture_mutex_);
    buffer_->set_format(format.sample_rate, format.channels);
    format_.store(pack(format));
  }

  // A capture that ended at `at` and gave way to another without a switch
  // (system audio following a new default output device): its buffer,
  // which holds its last audio, and the format it delivered in.
  struct Replaced {
    std::shared_ptr<AudioBuf> buffer;
    AudioFormat format;
    CaptureTime at{};
  };
  // The running capture is replaced: the one that follows fills `buffer`
  // in `format`. Called once the replaced capture has been released, so
  // its buffer receives nothing more. The new buffer starts empty and
  // unfailed whatever became of the old device.
  void replace_capture(std::shared_ptr<AudioBuf> buffer, const AudioFormat& format,
                       CaptureTime at) {
    buffer->set_format(format.sample_rate, format.channels);
    std::lock_guard lock(capture_mutex_);
    for (const DroppedAudio& d : buffer_->dropped()) dropped_before_.push_back(d);
    replaced_.push_back(Replaced{std::exchange(buffer_, std::move(buffer)), this->format(), at});
    format_.store(pack(format));
  }
  // Every stretch of audio the source's buffers dropped, oldest first.
  std::vector<DroppedAudio> dropped() const {
    std::lock_guard lock(capture_mutex_);
    std::vector<DroppedAudio> all = dropped_before_;
    for (const DroppedAudio& d : buffer_->dropped()) all.push_back(d);
    return all;
  }
  // What the processor takes each pass, at one moment: the captures
  // replaced since the last pass (oldest first), the buffer filled now and
  // its format.
  struct Capture {
    std::vector<Replaced> replaced;
    std::shared_ptr<AudioBuf> buffer;
    AudioFormat format;
  };
  Capture take_capture() {
    std::lock_guard lock(capture_mutex_);
    return Capture{std::exchange(replaced_, {}), buffer_, format()};
  }

  // The loudest sample magnitude taken from the buffer since the last
  // `take_peak`; lock-free, for level meters. The bit patterns of
  // non-negative floats order as their values do.
  void note_peak(float peak) {
    if (!(peak > 0.0f)) return;
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(peak);
    std::uint32_t seen = peak_.load();
    while (seen < bits && !peak_.compare_exchange_weak(seen, bits)) {
    }
  }
  float take_peak() { return std::bit_cast<float>(peak_.exchange(0)); }

 private:
  // One word, so the format changes at once: rate, channels, bits, float.
  static std::uint64_t pack(const AudioFormat& f) {
    return std::uint64_t{f.sample_rate} << 32 | std::uint64_t{f.channels} << 16 |
           std::uint64_t{static_cast<std::uint8_t>(f.bits_per_sample)} << 1 | (f.is_float ? 1 : 0);
  }
  static AudioFormat unpack(std::uint64_t v) {
    return {static_cast<std::uint32_t>(v >> 32), static_cast<std::uint16_t>(v >> 16 & 0xffff),
            static_cast<std::uint16_t>(v >> 1 & 0xff), (v & 1) != 0};
  }

  mutable std::mutex capture_mutex_;  // the buffer and the replaced captures
  std::shared_ptr<AudioBuf> buffer_ = std::make_shared<AudioBuf>();
  std::vector<DroppedAudio> dropped_before_;  // of the buffers replaced
  std::vector<Replaced> replaced_;
  std::atomic<CaptureTime::rep> at_{0};
  std::atomic<std::uint32_t> peak_{0};
  std::atomic<bool> enabled_{false};
  std::atomic<std::uint64_t> format_;
};

// The recording's fatal error, written by the processor and read by the window.
struct ErrorSlot {
  std::mutex mutex;
  std::optional<std::string> text;
};

// Everything the processor thread takes over at start.
struct ProcessorSetup {
  std::vector<std::shared_ptr<SourceFeed>> sources;
  AudioFormat spec;                    // the session format every source is converted to
  std::vector<RecpartWriter> writers;  // writer 0 alone in single-file mode
  std::vector<std::filesystem::path> files;
  std::optional<BufferedFile> instructions;
  std::filesystem::path instructions_path;
  // Where files deleted or moved while recording are saved again, in order.
  std::vector<std::filesystem::path> rescue_dirs;
  std::shared_ptr<std::atomic<bool>> stop_flag;
  // When the stop was asked for, stored before the flag is raised.
  std::shared_ptr<std::atomic<CaptureTime::rep>> stop_time;
  // The recording's start: position 0 of its timeline, on the pass clock.
  CaptureTime start_time{};
  std::shared_ptr<ErrorSlot> error;
  std::uint32_t mix_divisor = 1;
  RecordMode mode = RecordMode::Single;
  std::shared_ptr<PassClock> clock;  // the real clock when empty
  // Resampler messages and capture failure lines; standard error when empty.
  TextSink err;
  std::uint64_t part_size_limit = PART_SIZE_LIMIT;
  // Where the files it creates are named before they are made; none when empty.
  std::shared_ptr<LiveFiles> live_files;
};

// What the processor hands back once every file is closed.
struct ProcessorReport {
  std::vector<std::filesystem::path> files;  // creation order, by their names now
  std::vector<RescuedFile> rescued;          // files deleted or moved, saved again
  float peak = 0.0f;                         // the loudest sample written, of full scale
};

// The thread body. Runs passes until it sees the stop flag (or a fatal
// error); then writes what the sources hold, finishes every file, saves
// again the files that were deleted or moved meanwhile, closes them all,
// stores the first error in `setup.error` and reports the created files in
// creation order. Everything captured before the stop flag was raised is
// written.
ProcessorReport run_processor(ProcessorSetup setup);

}  // namespace quillbox
