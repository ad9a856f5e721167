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

#include "base/audio_format.h"
#include "engine/audio_buf.h"
#include "engine/record_mode.h"
#include "engine/session_output.h"
#include "engine/source_clock.h"
#include "engine/source_lane.h"

namespace quillbox {

// One source as the processor thread sees it. Its converted audio waits in
// the lane's queue, whose first frame belongs at `position` on the
// recording's timeline (frames at the session rate since the start); the
// queue runs on from there without gaps, since gaps are filled with silence
// as the audio is converted.
struct SourceState {
  SourceState(const AudioFormat& format, const AudioFormat& spec, TextSink err);

  AudioFormat format;             // what the lane converts from: the running capture's format
  SourceLane lane;                // the source's audio in the session format, waiting to be written
  SourceClock clock;              // where its captured chunks belong on the timeline
  std::vector<Chunk> chunks;      // this pass's captured chunks, not yet fed to the lane
  std::vector<Chunk> held;        // captured while off: a start under way, kept until it is on
  bool on = false;                // switched on in this pass
  bool was_on = false;            // switched on in the previous pass
  CaptureTime switched_at{};      // when the last switch was made
  std::uint64_t position = 0;     // timeline frame of the queue's first frame
  std::uint16_t channels = 1;     // of the session format
  std::uint64_t file_frames = 0;  // frames given to its own file, audio and silence

  SampleQueue& queue() { return lane.queue(); }
  std::uint64_t queued_frames() const { return lane.queue().size() / channels; }
  // Where its queued audio ends on the timeline.
  std::uint64_t end() const { return position + queued_frames(); }
};

using SourceStates = std::vector<SourceState>;

// How a recording writes its sources. Every call gets `settled`: the
// timeline frame up to which a source that is on has delivered or been
// taken to be silent (now, less the latency allowance).
class WritePolicy {
 public:
  virtual ~WritePolicy() = default;

  // The recording begins with the sources that are on, at timeline frame 0.
  virtual void begin() = 0;
  // Source `i` was switched on (its queue starts at its `position`) or off
  // (its queue holds everything up to the switch).
  virtual void switched(std::size_t i) = 0;
  // Writes what this pass allows.
  virtual void write(std::uint64_t settled) = 0;
  // The recording stops at timeline frame `stop`: writes everything the
  // sources still hold.
  virtual void drain(std::uint64_t stop) = 0;
};

std::unique_ptr<WritePolicy> make_write_policy(RecordMode mode, SourceStates& sources,
                                               SessionOutput& output, std::uint32_t mix_divisor);

}  // namespace quillbox
