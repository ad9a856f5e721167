#pragma once

// The window's file tools: the "Repair incomplete recordings" and
// "Normalize WAV file..." buttons.

#include "flows/app_state.h"

namespace quillbox {

// Repairs every ".recpart" file of the folder field's text, exactly as
// typed, but those of the running recording, and shows a summary box.
void run_repair_button(AppContext& app);

// Asks for a WAV file, normalizes it and reports the result in a box and in
// the status line. Nothing happens when the dialog is cancelled.
void run_normalize_button(AppContext& app);

}  // namespace quillbox
