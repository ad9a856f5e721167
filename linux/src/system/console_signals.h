#pragma once

// The terminal side of the console front end: stop requests from signals,
// terminal tests, and a yes/no answer typed on the terminal.

#include <atomic>
#include <chrono>
#include <optional>
#include <string>

namespace quillbox {

// Ctrl-C, SIGTERM and SIGHUP only set the flag (and count the signals);
// what they stop runs on the main thread. A broken pipe is ignored.
void install_stop_signals();
const std::atomic<bool>& stop_requested();
// Returns after `timeout`, or at once when a stop is or was requested.
void wait_for_stop(std::chrono::milliseconds timeout);

bool stdin_is_terminal();
bool stderr_is_terminal();

// One line from standard input, without its line feed. Nothing when input
// ends or another stop signal arrives while waiting.
std::optional<std::string> read_answer();

}  // namespace quillbox
