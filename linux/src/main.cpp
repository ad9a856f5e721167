// The Linux program. Arguments arrive as bytes in no promised encoding; the
// program works in UTF-8 text, so every invalid UTF-8 sequence becomes U+FFFD.
// A folder whose name is not valid UTF-8 therefore cannot be named with
// --output. Where the Windows program opens its window, this one records in
// the console through the same flows, from the PulseAudio server.

#include <string>
#include <variant>
#include <vector>

#include "base/console.h"
#include "base/text.h"
#include "cli/app.h"
#include "console/console_front.h"
#include "pulse/pulse_platform.h"
#include "system/console_signals.h"

int main(int argc, char** argv) {
  using namespace quillbox;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(sanitize_utf8(argv[i]));
  const EntryOutcome outcome = run_console_modes(args);
  if (const auto* finished = std::get_if<Finished>(&outcome)) return finished->exit_status;

  install_stop_signals();
  ConsoleFrontEnv env;
  env.capture = make_pulse_platform();
  env.default_dir = default_output_dir();
  env.out = write_stdout;
  env.err = write_stderr;
  env.live_line = stderr_is_terminal();
  if (stdin_is_terminal()) env.ask = read_answer;
  env.stop_requested = &stop_requested();
  env.wait_tick = wait_for_stop;
  return run_console_recording(std::get<OpenWindow>(outcome).options, env);
}
