#pragma once

// The Linux capture platform: the recorder's devices and capture streams on
// a PulseAudio server (or PipeWire's PulseAudio service), through one
// connection per platform object that is opened on first use.

#include <memory>

#include "engine/capture.h"

namespace quillbox {

std::shared_ptr<CapturePlatform> make_pulse_platform();

}  // namespace quillbox
