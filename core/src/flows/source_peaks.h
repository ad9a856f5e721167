#pragma once

// The levels a front end shows while recording: the loudest sample of each
// source that is switched on, since the last reading.

#include <vector>

#include "engine/recorder.h"

namespace quillbox {

struct SourcePeak {
  SourceKey key;
  float peak = 0.0f;  // 0 to 1 (full scale); a clipped source reads 1 or more
};

// Takes the peaks (`Recorder::take_peaks`) and keeps those of the sources
// that are on, in source order.
std::vector<SourcePeak> enabled_source_peaks(const Recorder& recorder);

}  // namespace quillbox
