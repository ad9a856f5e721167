#include "cli/cli.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

namespace quillbox {
namespace {

using Args = std::vector<std::string>;

constexpr AudioFormat CD{44100, 2, 16, false};
constexpr AudioFormat STUDIO{48000, 2, 24, false};
constexpr AudioFormat HIRES{96000, 2, 24, false};
constexpr AudioFormat HIRES_FLOAT{96000, 2, 32, true};

const std::string PRESET_ERROR_TAIL = "'. Valid options: auto, cd, studio, hires, hires-float";

CliAction run(Options options) {
  return CliAction{CliAction::Run{std::move(options)}};
}
CliAction help() {
  return CliAction{CliAction::Help{}};
}
CliAction version() {
  return CliAction{CliAction::Version{}};
}
CliAction error(std::string message) {
  return CliAction{CliAction::Error{std::move(message)}};
}

template <typename F>
Options with(F change) {
  Options options;
  change(options);
  return options;
}

std::string describe(const CliAction& action) {
  if (const auto* r = std::get_if<CliAction::Run>(&action.value)) {
    const Options& o = r->options;
    std::ostringstream s;
    s << "Run{duration=" << (o.duration ? std::to_string(*o.duration) : "none")
      << " output=" << o.output.value_or("<none>") << " mic=" << o.mic << " repair=" << o.repair
      << " mode=" << static_cast<int>(o.mode)
      << " format=" << (o.format ? std::to_string(o.format->sample_rate) : "auto")
      << " list_devices=" << o.list_devices << " devices=" << testing::PrintToString(o.devices)
      << "}";
    return s.str();
  }
  if (std::holds_alternative<CliAction::Help>(action.value)) return "Help";
  if (std::holds_alternative<CliAction::Version>(action.value)) return "Version";
  return "Error{" + std::get<CliAction::Error>(action.value).message + "}";
}

std::string joined(const Args& args) {
  std::string text;
  for (const auto& a : args) text += "[" + a + "]";
  return text;
}

struct ParseCase {
  Args args;
  CliAction expected;
};

void expect_cases(const std::vector<ParseCase>& cases) {
  for (const ParseCase& c : cases) {
    const CliAction got = parse_args(c.args);
    EXPECT_EQ(got, c.expected) << "args " << joined(c.args) << "\n  got      " << describe(got)
                               << "\n  expected " << describe(c.expected);
  }
}

TEST(ParseArgs, NoArgumentsRunsWithEveryDefault) {
  const CliAction action = parse_args({});
  const auto* r = std::get_if<CliAction::Run>(&action.value);
  ASSERT_NE(r, nullptr);
  EXPECT_FALSE(r->options.duration.has_value());
  EXPECT_FALSE(r->options.output.has_value());
  EXPECT_FALSE(r->options.mic);
  EXPECT_FALSE(r->options.repair);
  EXPECT_EQ(r->options.mode, RecordMode::Single);
  EXPECT_FALSE(r->options.format.has_value());
  // The mode numbers are shared by the command line, the window and the engine.
  EXPECT_EQ(static_cast<int>(RecordMode::Single), 0);
  EXPECT_EQ(static_cast<int>(RecordMode::StemsSilence), 1);
  EXPECT_EQ(static_cast<int>(RecordMode::StemsInstructed), 2);
}

TEST(ParseArgs, DurationAcceptsUnsignedDecimalsOnly) {
  const auto seconds = [](std::uint64_t n) {
    return run(with([n](Options& o) { o.duration = n; }));
  };
  std::vector<ParseCase> cases = {
      {{"--duration", "0"}, seconds(0)},
      {{"--duration", "+15"}, seconds(15)},
      {{"--duration", "007"}, seconds(7)},
      {{"--duration", "+007"}, seconds(7)},
      {{"-d", "42"}, seconds(42)},
      {{"--duration", "18446744073709551615"}, seconds(18446744073709551615u)},
      {{"--duration", "0018446744073709551615"}, seconds(18446744073709551615u)},
      {{"--duration", "5", "--duration", "7"}, seconds(7)},
  };
  // "\xD9\xA3" is ARABIC-INDIC DIGIT THREE, no digit here; a value option takes
  // the next argument whatever it looks like, so "--mic" is a bad number.
  for (const char* bad :
       {"18446744073709551616", "99999999999999999999999", "-5", "-0", "1.5", "10s", "", "+", "-",
        "++5", " 5", "5 ", "0x10", "1e3", "\xD9\xA3", "abc", "--mic"})
    cases.push_back({{"--duration", bad}, error("--duration requires a number")});
  expect_cases(cases);
}

TEST(ParseArgs, FlagsValuesAndTheirOrder) {
  expect_cases({
      {{"--mic"}, run(with([](Options& o) { o.mic = true; }))},
      {{"-m", "-m"}, run(with([](Options& o) { o.mic = true; }))},
      {{"--repair"}, run(with([](Options& o) { o.repair = true; }))},
      {{"--window", "-d", "3"}, run(with([](Options& o) {
         o.window = true;
         o.duration = 3;
       }))},
      {{"--stems"}, run(with([](Options& o) { o.mode = RecordMode::StemsInstructed; }))},
      {{"--stems-silence"}, run(with([](Options& o) { o.mode = RecordMode::StemsSilence; }))},
      {{"--stems", "--stems-silence"},
       run(with([](Options& o) { o.mode = RecordMode::StemsSilence; }))},
      {{"--stems-silence", "--stems"},
       run(with([](Options& o) { o.mode = RecordMode::StemsInstructed; }))},
      {{"--output", "first", "-o", "second"}, run(with([](Options& o) { o.output = "second"; }))},
      {{"--output", "--mic"}, run(with([](Options& o) { o.output = "--mic"; }))},
      {{"-o", ""}, run(with([](Options& o) { o.output = ""; }))},
      {{"-o", "C:\\Users\\Zoë\\Aufnahmen \xE2\x80\x94 neu"},
       run(with([](Options& o) { o.output = "C:\\Users\\Zoë\\Aufnahmen \xE2\x80\x94 neu"; }))},
      // Combinations are not judged here; the program start decides what they mean.
      {{"--repair", "-d", "5", "-m", "--format", "cd", "--stems", "-o", "out"},
       run(with([](Options& o) {
         o.repair = true;
         o.duration = 5;
         o.mic = true;
         o.format = CD;
         o.mode = RecordMode::StemsInstructed;
         o.output = "out";
       }))},
  });
}

TEST(ParseArgs, FormatTakesAutoOrAPresetKeyExactly) {
  const auto format = [](std::optional<AudioFormat> spec) {
    return run(with([spec](Options& o) { o.format = spec; }));
  };
  expect_cases({
      {{"--format", "auto"}, format(std::nullopt)},
      {{"--format", "cd"}, format(CD)},
      {{"--format", "studio"}, format(STUDIO)},
      {{"--format", "hires"}, format(HIRES)},
      {{"--format", "hires-float"}, format(HIRES_FLOAT)},
      {{"--format", "cd", "--format", "auto"}, format(std::nullopt)},
      {{"--format", "auto", "--format", "studio"}, format(STUDIO)},
      {{"--format", "AUTO"}, error("Unknown format preset 'AUTO" + PRESET_ERROR_TAIL)},
      {{"--format", "CD"}, error("Unknown format preset 'CD" + PRESET_ERROR_TAIL)},
      {{"--format", "cd "}, error("Unknown format preset 'cd " + PRESET_ERROR_TAIL)},
      {{"--format", ""}, error("Unknown format preset '" + PRESET_ERROR_TAIL)},
      // The label of the keyless entry is no key.
      {{"--format", "Auto (match source)"},
       error("Unknown format preset 'Auto (match source)" + PRESET_ERROR_TAIL)},
      {{"--format", "--mic"}, error("Unknown format preset '--mic" + PRESET_ERROR_TAIL)},
  });
}

// Names are taken verbatim and checked against the device list only at the
// program's start (cli/device_args).
TEST(ParseArgs, DevicesAreCollectedInOrderAndTheListingIsAFlag) {
  const auto devices = [](std::vector<std::string> names) {
    return run(with([&](Options& o) { o.devices = names; }));
  };
  expect_cases({
      {{"--device", "[Loopback] Headset"}, devices({"[Loopback] Headset"})},
      {{"--device", "Line In", "--mic", "--device", "[Loopback] Zoë's \"Desk\" \xE2\x80\x94 USB"},
       run(with([](Options& o) {
         o.mic = true;
         o.devices = {"Line In", "[Loopback] Zoë's \"Desk\" \xE2\x80\x94 USB"};
       }))},
      {{"--device", "A", "--device", "A"}, devices({"A", "A"})},
      {{"--device", "--mic"}, devices({"--mic"})},
      {{"--device", ""}, devices({""})},
      {{"--device"}, error("--device requires a name")},
      {{"--device", "A", "--device"}, error("--device requires a name")},
      {{"--list-devices"}, run(with([](Options& o) { o.list_devices = true; }))},
      {{"--list-devices", "--device", "A", "--list-devices"}, run(with([](Options& o) {
         o.list_devices = true;
         o.devices = {"A"};
       }))},
      {{"--list-device"}, error("Unknown argument: --list-device")},
      {{"--devices", "A"}, error("Unknown argument: --devices")},
  });
}

TEST(ParseArgs, VersionStopsParsingAsHelpDoes) {
  expect_cases({
      {{"--version"}, version()},
      {{"--mic", "--version", "-x"}, version()},
      {{"--version", "--help"}, version()},
      {{"--help", "--version"}, help()},
      {{"-x", "--version"}, error("Unknown argument: -x")},
      {{"-v"}, error("Unknown argument: -v")},
      {{"-V"}, error("Unknown argument: -V")},
      {{"--output", "--version"}, run(with([](Options& o) { o.output = "--version"; }))},
  });
}

TEST(ParseArgs, MissingValuesNameTheLongForm) {
  expect_cases({
      {{"--duration"}, error("--duration requires a number")},
      {{"-d"}, error("--duration requires a number")},
      {{"--mic", "-d"}, error("--duration requires a number")},
      {{"--output"}, error("--output requires a path")},
      {{"-o"}, error("--output requires a path")},
      {{"--format"}, error("--format requires a value")},
  });
}

TEST(ParseArgs, UnknownWordsAndHelpStopAtTheFirstOccurrence) {
  expect_cases({
      {{"--help"}, help()},
      {{"-h"}, help()},
      {{"-x"}, error("Unknown argument: -x")},
      {{"--mic", "-x"}, error("Unknown argument: -x")},
      {{"-x", "--help"}, error("Unknown argument: -x")},
      {{"--help", "-x"}, help()},
      {{"-h", "--duration"}, help()},
      {{"--duration", "5", "-h", "--format", "bogus"}, help()},
      {{"-x", "-y"}, error("Unknown argument: -x")},
      // A stray value, an equals form, bundled or abbreviated options, other cases.
      {{"5"}, error("Unknown argument: 5")},
      {{"--duration=5"}, error("Unknown argument: --duration=5")},
      {{"-mh"}, error("Unknown argument: -mh")},
      {{"--mi"}, error("Unknown argument: --mi")},
      {{"--MIC"}, error("Unknown argument: --MIC")},
      {{"-H"}, error("Unknown argument: -H")},
      {{"--stems-silence-"}, error("Unknown argument: --stems-silence-")},
      {{""}, error("Unknown argument: ")},
      {{"\xEF\xBF\xBD"}, error("Unknown argument: \xEF\xBF\xBD")},
      // "--help" consumed as a value is no request for help.
      {{"--output", "--help"}, run(with([](Options& o) { o.output = "--help"; }))},
      {{"--format", "--help"}, error("Unknown format preset '--help" + PRESET_ERROR_TAIL)},
  });
}

TEST(FormatPresets, TableInOrderWithEmDashLabels) {
  struct Row {
    std::optional<std::string_view> key;
    std::string_view label;
    std::optional<AudioFormat> spec;
  };
  const Row rows[] = {
      {std::nullopt, "Auto (match source)", std::nullopt},
      {"cd", "CD quality  \xE2\x80\x94  44.1 kHz / 16-bit", CD},
      {"studio", "Studio  \xE2\x80\x94  48 kHz / 24-bit", STUDIO},
      {"hires", "High-res  \xE2\x80\x94  96 kHz / 24-bit", HIRES},
      {"hires-float", "High-res float  \xE2\x80\x94  96 kHz / 32-bit float", HIRES_FLOAT},
  };
  ASSERT_EQ(FORMAT_PRESETS.size(), std::size(rows));
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(FORMAT_PRESETS[i].key, rows[i].key);
    EXPECT_EQ(FORMAT_PRESETS[i].label, rows[i].label);
    EXPECT_EQ(FORMAT_PRESETS[i].spec, rows[i].spec);
  }
}

TEST(FindPreset, MatchesKeysExactly) {
  for (const FormatPreset& preset : FORMAT_PRESETS) {
    if (!preset.key) continue;
    const auto found = find_preset(*preset.key);
    ASSERT_TRUE(found.has_value()) << *preset.key;
    EXPECT_EQ(found->label, preset.label);
    EXPECT_EQ(found->spec, preset.spec);
  }
  for (const char* key :
       {"auto", "", "CD", "Studio", "hires-", "hire", "hires-float ", " cd", "Auto (match source)"})
    EXPECT_FALSE(find_preset(key).has_value()) << key;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    lines.push_back(text.substr(start, nl - start));
  }
  EXPECT_EQ(start, text.size()) << "text after the last line feed";
  return lines;
}

TEST(Usage, ExactLines) {
  const std::string text = usage_text();
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(text.find('\r'), std::string::npos);
  const std::vector<std::string> expected = {
      "Usage: quillbox [OPTIONS]",
      "",
      "Options:",
      "  --duration <secs>     Start recording immediately, stop after <secs> seconds",
      "  --mic                 Include microphone input",
      "  --output <dir>        Output directory",
      "  --repair              Repair incomplete .recpart files and exit",
      "  --stems               Record one file per source (instructed mode)",
      "  --stems-silence       Record one file per source, inserting silence for gaps",
      "  --device <name>       Also record this device (repeatable; see --list-devices)",
      "  --list-devices        List the devices that can be recorded and exit",
      "  --window              Open the window, the other options as its start values",
      "  --format <preset>     Output quality (default: auto)",
      "    auto                  Match native device format",
      "    cd                    CD quality  \xE2\x80\x94  44.1 kHz / 16-bit",
      "    studio                Studio  \xE2\x80\x94  48 kHz / 24-bit",
      "    hires                 High-res  \xE2\x80\x94  96 kHz / 24-bit",
      "    hires-float           High-res float  \xE2\x80\x94  96 kHz / 32-bit float",
      "",
      "  Note: Fixed presets always produce stereo output. Use --format auto",
      "  to preserve mono sources when recording stems.",
      "  --help                Show this message",
      "  --version             Show the version and exit",
  };
  const std::vector<std::string> got = lines_of(text);
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i)
    EXPECT_EQ(got[i], expected[i]) << "line " << i + 1;
}

}  // namespace
}  // namespace quillbox
