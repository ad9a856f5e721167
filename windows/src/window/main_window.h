#pragma once

// The main window: class "QuillboxMain", the message loop and window mode
// of the program. The window procedure turns messages into calls of the
// core's flows (start, live switching, timer, finish and save, the file
// tools); what they decide and say is theirs. Its controls are made and
// laid out by `window_controls`.

#include "cli/cli.h"

namespace quillbox {

// Window mode: registers the class, creates the window, starts a
// `--duration` recording before showing it, and runs the message loop until
// the window is destroyed. Returns 0 then; 1 (after "GUI error: ..." on
// standard error and an error box) when the class or window cannot be made.
int run_window(const Options& options);

}  // namespace quillbox
