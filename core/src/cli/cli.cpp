#include "cli/cli.h"

#include <charconv>
#include <cstddef>

#include "base/text.h"

namespace quillbox {
namespace {

// A preset line is four spaces and the key padded to 22 characters, so the
// label lines up with "Match native device format" above it.
constexpr std::size_t PRESET_KEY_INDENT = 4;
constexpr std::size_t PRESET_KEY_WIDTH = 22;

constexpr std::string_view DURATION_MESSAGE = "--duration requires a number";
constexpr std::string_view OUTPUT_MESSAGE = "--output requires a path";
constexpr std::string_view FORMAT_MESSAGE = "--format requires a value";
constexpr std::string_view DEVICE_MESSAGE = "--device requires a name";

// An unsigned decimal number: one optional leading "+", then at least one
// digit and nothing else; leading zeros are fine, values beyond 64 bits are not.
std::optional<std::uint64_t> parse_seconds(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string preset_keys() {
  std::string keys;
  for (const FormatPreset& preset : FORMAT_PRESETS) {
    if (!preset.key) continue;
    if (!keys.empty()) keys += ", ";
    keys += *preset.key;
  }
  return keys;
}

CliAction error(std::string message) {
  return CliAction{CliAction::Error{std::move(message)}};
}

}  // namespace

CliAction parse_args(const std::vector<std::string>& args) {
  Options options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    // An option that takes a value takes the next argument, whatever it is.
    const auto value = [&]() -> std::optional<std::string_view> {
      if (i + 1 >= args.size()) return std::nullopt;
      return args[++i];
    };

    if (arg == "-h" || arg == "--help") {
      return CliAction{CliAction::Help{}};
    } else if (arg == "--version") {
      return CliAction{CliAction::Version{}};
    } else if (arg == "-m" || arg == "--mic") {
      options.mic = true;
    } else if (arg == "--repair") {
      options.repair = true;
    } else if (arg == "--window") {
      options.window = true;
    } else if (arg == "--stems") {
      options.mode = RecordMode::StemsInstructed;
    } else if (arg == "--stems-silence") {
      options.mode = RecordMode::StemsSilence;
    } else if (arg == "--list-devices") {
      options.list_devices = true;
    } else if (arg == "--device") {
      const auto text = value();
      if (!text) return error(std::string(DEVICE_MESSAGE));
      options.devices.emplace_back(*text);
    } else if (arg == "-d" || arg == "--duration") {
      const auto text = value();
      const auto seconds = text ? parse_seconds(*text) : std::nullopt;
      if (!seconds) return error(std::string(DURATION_MESSAGE));
      options.duration = seconds;
    } else if (arg == "-o" || arg == "--output") {
      const auto text = value();
      if (!text) return error(std::string(OUTPUT_MESSAGE));
      options.output = std::string(*text);
    } else if (arg == "--format") {
      const auto text = value();
      if (!text) return error(std::string(FORMAT_MESSAGE));
      if (*text == "auto") {
        options.format.reset();
      } else if (const auto preset = find_preset(*text)) {
        options.format = preset->spec;
      } else {
        return error("Unknown format preset '" + std::string(*text) + "'. Valid options: auto, " +
                     preset_keys());
      }
    } else {
      return error("Unknown argument: " + std::string(arg));
    }
  }
  return CliAction{CliAction::Run{std::move(options)}};
}

std::string usage_text() {
  std::string text =
      "Usage: quillbox [OPTIONS]\n"
      "\n"
      "Options:\n"
      "  --duration <secs>     Start recording immediately, stop after <secs> seconds\n"
      "  --mic                 Include microphone input\n"
      "  --output <dir>        Output directory\n"
      "  --repair              Repair incomplete .recpart files and exit\n"
      "  --stems               Record one file per source (instructed mode)\n"
      "  --stems-silence       Record one file per source, inserting silence for gaps\n"
      "  --device <name>       Also record this device (repeatable; see --list-devices)\n"
      "  --list-devices        List the devices that can be recorded and exit\n"
      "  --window              Open the window, the other options as its start values\n"
      "  --format <preset>     Output quality (default: auto)\n"
      "    auto                  Match native device format\n";
  for (const FormatPreset& preset : FORMAT_PRESETS) {
    if (!preset.key) continue;
    text.append(PRESET_KEY_INDENT, ' ');
    text += *preset.key;
    const std::size_t width = utf8_length(*preset.key);
    if (width < PRESET_KEY_WIDTH) text.append(PRESET_KEY_WIDTH - width, ' ');
    text += preset.label;
    text += '\n';
  }
  text +=
      "\n"
      "  Note: Fixed presets always produce stereo output. Use --format auto\n"
      "  to preserve mono sources when recording stems.\n"
      "  --help                Show this message\n"
      "  --version             Show the version and exit\n";
  return text;
}

std::string_view version_text() {
  return QUILLBOX_VERSION;
}

}  // namespace quillbox
