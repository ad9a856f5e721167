#pragma once

// The one thread of a recording that touches audio after capture. Every
// pass it takes the sources' chunks, converts them, follows switched
// sources and writes: a mix of the enabled sources into one file, or one
// file per source.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "audio_buf.h"
#include "buffered_file.h"
#include "capture.h"
#include "cli.h"
#include "output_spec.h"
#include "pass_clock.h"
#include "recpart_writer.h"
#include "source_lane.h"

namespace quillbox {

inline constexpr std::chrono::milliseconds POLL_INTERVAL{5};
// Passes a source may come up empty before it stops holding the others back.
inline constexpr std::uint32_t STARVED_PASSES = 20;

// The running captures of a recording, shared by the recorder and the processor.
struct StreamList {
  std::mutex mutex;
  std::vector<StreamHandle> handles;
};

// The recording's fatal error, written by the processor and read by the window.
struct ErrorSlot {
  std::mutex mutex;
  std::optional<std::string> text;
};

struct ProcessorSource {
  std::shared_ptr<AudioBuf> buffer;
  std::shared_ptr<std::atomic<bool>> enabled;
  std::uint32_t native_rate = 0;
  std::uint16_t native_channels = 0;
  OutputSpec spec;  // the session format
};

// Everything the processor thread takes over at start.
struct ProcessorSetup {
  std::promise<std::vector<std::filesystem::path>> status;  // the one message
  std::vector<ProcessorSource> sources;
  std::vector<RecpartWriter> writers;  // writer 0 alone in single-file mode
  std::vector<std::filesystem::path> files;
  std::filesystem::path output_dir;
  std::optional<BufferedFile> instructions;
  std::shared_ptr<std::atomic<bool>> stop_flag;
  std::shared_ptr<StreamList> streams;  // held only so the captures outlive the processor
  std::shared_ptr<ErrorSlot> error;
  std::uint32_t mix_divisor = 1;
  RecordMode mode = RecordMode::Single;
  std::shared_ptr<PassClock> clock;
  SourceLane::ErrorSink err;  // resampler messages; standard error when empty
  std::uint64_t part_size_limit = PART_SIZE_LIMIT;
};

// The thread body. Ends after the stop flag is seen (or a fatal error): the
// queued audio is written, every file finished and closed, the first error
// stored, and the list of created files sent as the only status.
void run_processor(ProcessorSetup setup);

}  // namespace quillbox
