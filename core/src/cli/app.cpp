#include "cli/app.h"

#include <algorithm>
#include <system_error>

#include "base/text.h"
#include "cli/device_args.h"

namespace quillbox {
namespace {

// Repairs the chosen folder and reports every file. Failures go to standard
// error but do not change the exit status: the run itself succeeded.
Finished run_console_repair(const Options& options, const ConsoleEnv& env) {
  const std::filesystem::path folder =
      options.output ? path_from_utf8(*options.output) : env.default_dir();
  const std::vector<RepairOutcome> outcomes = env.repair(folder);
  if (outcomes.empty()) {
    env.out("No incomplete recordings found in " + path_to_text(folder) + "\n");
  }
  for (const RepairOutcome& outcome : outcomes) {
    if (outcome.result) {
      env.out("Repaired: " + path_to_text(outcome.path) + " -> " + path_to_text(*outcome.result) +
              "\n");
    } else {
      env.err("Failed " + path_to_text(outcome.path) + ": " + outcome.result.error().text + "\n");
    }
  }
  return Finished{EXIT_STATUS_OK};
}

Finished list_devices(const ConsoleEnv& env) {
  const std::string listing = env.capture ? device_listing(*env.capture) : std::string();
  if (listing.empty())
    env.err("No devices to record from\n");
  else
    env.out(listing);
  return Finished{EXIT_STATUS_OK};
}

}  // namespace

std::filesystem::path default_output_dir() {
  std::error_code ec;
  std::filesystem::path cwd = std::filesystem::current_path(ec);
  if (ec) cwd = ".";
  return cwd / "quillbox";
}

EntryOutcome run_console_modes(const std::vector<std::string>& args, const ConsoleEnv& env) {
  const CliAction action = parse_args(args);
  if (std::holds_alternative<CliAction::Help>(action.value)) {
    env.err(usage_text());
    return Finished{EXIT_STATUS_OK};
  }
  if (std::holds_alternative<CliAction::Version>(action.value)) {
    env.out("quillbox " + std::string(version_text()) + "\n");
    return Finished{EXIT_STATUS_OK};
  }
  const auto argument_error = [&](const std::string& message) {
    env.err(message + "\n" + usage_text());
    return Finished{EXIT_STATUS_FAILURE};
  };
  if (const auto* failure = std::get_if<CliAction::Error>(&action.value))
    return argument_error(failure->message);
  const Options& options = std::get<CliAction::Run>(action.value).options;
  if (options.list_devices) return list_devices(env);
  if (options.repair) return run_console_repair(options, env);
  if (!options.devices.empty()) {
    // Found out now, a wrong name stops the run before anything is recorded.
    std::optional<std::string> unknown = "Unknown device '" + options.devices.front() + "'";
    if (env.capture) unknown = check_device_names(*env.capture, options.devices);
    if (unknown) return argument_error(*unknown);
  }
  return OpenWindow{options};
}

std::chrono::steady_clock::time_point auto_stop_deadline(std::chrono::steady_clock::time_point now,
                                                         std::uint64_t seconds) {
  using Clock = std::chrono::steady_clock;
  // Whole seconds left before the clock's end, computed without overflow even
  // for a moment before the clock's epoch.
  const auto left = Clock::time_point::max() - std::max(now, Clock::time_point{});
  const auto room = std::chrono::duration_cast<std::chrono::seconds>(left).count();
  if (seconds >= static_cast<std::uint64_t>(room)) return Clock::time_point::max();
  return now + std::chrono::seconds(static_cast<std::chrono::seconds::rep>(seconds));
}

}  // namespace quillbox
