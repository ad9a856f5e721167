#pragma once

// The flows' one meeting point with the recorder's start and live-switch
// calls: every use of `Recorder::start`'s error, `set_source_enabled`,
// `attach_stream` and `SourceStartResult` by the window's behaviour is here.

#include <expected>
#include <optional>
#include <string>

#include "engine/recorder.h"
#include "flows/ui_services.h"

namespace quillbox {

struct StartFailure {
  std::string text;
  bool no_writable_dir = false;  // no place could hold the recording
};

std::expected<Recorder, StartFailure> start_recorder(const StartRequest& request,
                                                     const RecorderEnv& env);

// Whether the recording was started with this source.
bool records_source(const Recorder& recorder, const SourceKey& key);

// Switches a source off at once, or starts it; the outcome of a start
// reaches the UI thread through `ui.post_source_started`. Returns whether
// such an outcome is on its way (false when the source records already or
// cannot be switched).
bool switch_recorder_source(Recorder& recorder, const SourceKey& key, bool enabled, UiServices& ui);

// Takes a live start's outcome over; the text to show when it failed.
std::optional<std::string> attach_source(Recorder& recorder, const SourceStartResult& result);

}  // namespace quillbox
