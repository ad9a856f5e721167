#pragma once

// The sources of a recording: which exist for a start request, the native
// format of each, and the captures that start with the recording.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/audio_format.h"
#include "engine/audio_buf.h"
#include "engine/capture.h"
#include "engine/processor.h"
#include "engine/record_mode.h"

namespace quillbox {

// What the window asks for.
struct StartRequest {
  std::string output_dir;
  std::vector<std::string> devices;   // ticked "Other devices:" entries, as listed
  std::optional<AudioFormat> format;  // absent: "auto"
  bool record_system = false;
  bool record_mic = false;
  RecordMode mode = RecordMode::Single;
};

// One configured source; its position in the list is its index everywhere.
struct SourceInfo {
  SourceKey key;
  AudioFormat native;  // as probed (44.1 kHz stereo 16-bit when the probe failed)
  std::shared_ptr<SourceFeed> feed;
};

// The sources a start found and what starting them gave.
struct OpenedSources {
  std::vector<SourceInfo> sources;    // in index order
  std::vector<StreamHandle> streams;  // the captures that started; their sources are on
  std::vector<std::string> warnings;  // one per capture that failed to start
};

// The sources of `request`: system audio always; the default microphone
// when there is one; every listed input device when an input entry is
// ticked, and every listed output device when a loopback entry is. Each is
// probed for its native format and, when asked for, started; a started
// source is on from `start_time` and converts from its capture's own format.
OpenedSources open_sources(const StartRequest& request, CapturePlatform& capture,
                           CaptureTime start_time);

// The greatest of the formats: higher rate, then more channels, then float
// over integer, then more bits; the earlier one on a tie.
AudioFormat greatest_format(const std::vector<AudioFormat>& formats);

// The format of the session's files: the requested one, or under "auto" the
// greatest native format of the sources, started or not; float is 32-bit.
AudioFormat session_format(const std::optional<AudioFormat>& requested,
                           const std::vector<SourceInfo>& sources);

}  // namespace quillbox
