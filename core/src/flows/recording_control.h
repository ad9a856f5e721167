#pragma once

// A recording's life in the window between start and stop: the request read
// from the controls, the start and its report, live switching of sources,
// the once-a-second timer and the duration text. Stopping and saving is
// `finish_recording`. Everything runs on the UI thread.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "flows/app_state.h"
#include "flows/finish_save.h"

namespace quillbox {

// The Start/Stop button: finishes a running recording, or starts one from
// the controls without auto-stop.
void toggle_recording(AppContext& app);

// The request the controls describe: the boxes, the mode buttons, the folder
// field as typed, the quality list ("auto" without a selection or a preset
// without a format) and the ticked devices in list order.
StartRequest collect_start_request(AppContext& app);

// Starts a recording and reports the outcome in the status line and message
// boxes. With `auto_stop_seconds` the recording ends at the first timer tick
// that many seconds after its start. Returns whether it started.
bool start_recording(AppContext& app, const StartRequest& request,
                     std::optional<std::uint64_t> auto_stop_seconds);

// A source's box or device entry changed to `enabled` while recording.
void switch_source_live(AppContext& app, const SourceKey& key, bool enabled);

// A live start's outcome, handed over to the UI thread.
void on_source_started(AppContext& app, SourceStartResult result);

// The timer: finishes on a recorder error or when every source has failed
// (nothing is left to record), finishes and asks the window to
// close at the deadline, else refreshes the duration text. Returns the
// finish's outcome when it finished.
std::optional<FinishOutcome> on_timer(AppContext& app);
// A tick that comes while a box an earlier tick showed is still open (a
// window does not run the timer flow inside itself): only the deadline
// counts; past it the window is asked to close, which takes the box along.
void on_timer_under_box(AppContext& app);

// "Duration: {m}m" below an hour, "Duration: {h}h {m}m" from an hour on.
std::string duration_text(std::chrono::seconds elapsed);

// Refreshes the duration label from the start time; nothing changes before
// the first whole second.
void update_duration_text(AppContext& app);

// The control that switches a source of this kind.
Control source_control(SourceKind kind);

}  // namespace quillbox
