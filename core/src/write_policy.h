#pragma once

// What the processor keeps of each source, and the three ways a recording
// writes its sources: one mixed file, one file per source filled with
// silence while the source is off, or one file per stretch a source is on
// with instructions that place the stretches. Each way is one class; the
// processor's pass loop only gathers audio and hands it over.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "audio_buf.h"
#include "output_spec.h"
#include "record_mode.h"
#include "session_output.h"
#include "source_lane.h"

namespace quillbox {

// Passes a source may come up empty before it stops holding the others back.
inline constexpr std::uint32_t STARVED_PASSES = 20;

// The rate and channel count a capture delivers.
struct StreamFormat {
  std::uint32_t rate = 0;
  std::uint16_t channels = 0;
  friend bool operator==(const StreamFormat&, const StreamFormat&) = default;
};

// One source as the processor thread sees it.
struct SourceState {
  SourceState(StreamFormat format, const OutputSpec& spec, SourceLane::ErrorSink err);

  StreamFormat format;        // what the lane converts from: the running capture's format
  SourceLane lane;            // the source's audio in the session format, waiting to be written
  std::vector<Chunk> chunks;  // this pass's captured chunks, not yet fed to the lane
  bool on = false;            // switched on in this pass
  bool was_on = false;        // switched on in the previous pass
  std::uint32_t empty_passes = 0;  // passes in a row that found nothing to write
  std::size_t block = 0;           // samples per 5 ms write of the session format
  std::uint16_t channels = 1;      // of the session format
  std::uint64_t file_frames = 0;   // frames given to its own file, audio and silence

  SampleQueue& queue() { return lane.queue(); }
  bool starved() const { return empty_passes >= STARVED_PASSES; }
  // Drops what the lane holds, as for a source switched off.
  void discard();
};

using SourceStates = std::vector<SourceState>;

class WritePolicy {
 public:
  using time_point = std::chrono::steady_clock::time_point;
  virtual ~WritePolicy() = default;

  // The recording begins at `now` with the sources that are on.
  virtual void begin(time_point now) = 0;
  // Source `i` was switched on or off before this pass.
  virtual void switched(std::size_t i) = 0;
  // Writes what this pass allows.
  virtual void write(time_point now) = 0;
  // The recording stops: writes everything the sources still hold.
  virtual void drain() = 0;
};

std::unique_ptr<WritePolicy> make_write_policy(RecordMode mode, SourceStates& sources,
                                               SessionOutput& output, std::uint32_t mix_divisor);

}  // namespace quillbox
