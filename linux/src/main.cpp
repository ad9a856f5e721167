// The Linux program. Arguments arrive as bytes in no promised encoding; the
// program works in UTF-8 text, so every invalid UTF-8 sequence becomes U+FFFD.
// A folder whose name is not valid UTF-8 therefore cannot be named with
// --output. With no arguments in a graphical session, or with --window, it
// opens the window; any other use records in the console through the same
// flows. Both record from the PulseAudio server.

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "base/console.h"
#include "base/text.h"
#include "cli/app.h"
#include "console/console_front.h"
#include "pulse/pulse_platform.h"
#include "system/console_signals.h"
#include "window/main_window.h"

int main(int argc, char** argv) {
  using namespace quillbox;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(sanitize_utf8(argv[i]));
  // One platform for the device checks and the recording: it connects on first use.
  const std::shared_ptr<CapturePlatform> capture = make_pulse_platform();
  ConsoleEnv console;
  console.capture = capture;
  const EntryOutcome outcome = run_console_modes(args, console);
  if (const auto* finished = std::get_if<Finished>(&outcome)) return finished->exit_status;

  const Options& options = std::get<OpenWindow>(outcome).options;
  const bool wants_window = options.window || args.empty();
  const std::optional<std::string> no_display = wants_window ? display_unavailable() : std::nullopt;
  if (options.window && no_display) {
    write_stderr(*no_display + "\n");
    return EXIT_STATUS_FAILURE;
  }
  if (wants_window && !no_display) {
    WindowEnv env;
    env.capture = capture;
    env.default_dir = default_output_dir();
    return run_window(argc, argv, options, std::move(env));
  }

  install_stop_signals();
  ConsoleFrontEnv env;
  env.capture = capture;
  env.default_dir = default_output_dir();
  env.out = write_stdout;
  env.err = write_stderr;
  env.live_line = stderr_is_terminal();
  if (stdin_is_terminal()) env.ask = read_answer;
  env.stop_requested = &stop_requested();
  env.wait_tick = wait_for_stop;
  return run_console_recording(options, env);
}
