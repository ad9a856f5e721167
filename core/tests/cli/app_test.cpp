#include "cli/app.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "base/text.h"
#include "cli/device_args.h"
#include "synthetic_capture.h"

namespace quillbox {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

// Records what the start writes and asks for, in order.
struct FakeConsole {
  std::string out;
  std::string err;
  std::string log;  // both streams interleaved, each write tagged "1:" or "2:"
  std::vector<fs::path> repaired_folders;
  std::vector<RepairOutcome> outcomes;
  fs::path default_dir = path_from_utf8("/home/zoë/quillbox");
  std::shared_ptr<CapturePlatform> capture;

  ConsoleEnv env() {
    return ConsoleEnv{
        .out =
            [this](std::string_view t) {
              out += t;
              log += "1:" + std::string(t);
            },
        .err =
            [this](std::string_view t) {
              err += t;
              log += "2:" + std::string(t);
            },
        .repair =
            [this](const fs::path& folder) {
              repaired_folders.push_back(folder);
              return outcomes;
            },
        .default_dir = [this] { return default_dir; },
        .capture = capture,
    };
  }
};

RepairOutcome repaired(const char* from, const char* to) {
  return RepairOutcome{path_from_utf8(from), path_from_utf8(to)};
}
RepairOutcome failed(const char* from, std::string error) {
  return RepairOutcome{path_from_utf8(from), std::unexpected(Error{std::move(error), 0})};
}

std::string joined(const Args& args) {
  std::string text;
  for (const auto& a : args) text += "[" + a + "]";
  return text;
}

// The exact texts of every case are checked against the real program end to end.
TEST(ConsoleModes, HelpAndCommandLineErrorsPrintUsageOnStandardErrorOnly) {
  const std::string usage = usage_text();
  const struct {
    Args args;
    int status;
    std::string err;
  } cases[] = {
      {{"--help"}, 0, usage},
      {{"-h", "-x"}, 0, usage},
      {{"-x"}, 1, "Unknown argument: -x\n" + usage},
      {{"-x", "--help"}, 1, "Unknown argument: -x\n" + usage},
      {{"--repair", "-x"}, 1, "Unknown argument: -x\n" + usage},
      {{"--format", "CD", "--repair"},
       1,
       "Unknown format preset 'CD'. Valid options: auto, cd, studio, hires, hires-float\n" + usage},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(joined(c.args));
    FakeConsole console;
    EXPECT_EQ(run_console_modes(c.args, console.env()), EntryOutcome{Finished{c.status}});
    EXPECT_EQ(console.err, c.err);
    EXPECT_EQ(console.out, "");
    EXPECT_TRUE(console.repaired_folders.empty());
  }
}

TEST(ConsoleModes, RepairUsesTheOutputFolderOrTheDefaultAndIgnoresEverythingElse) {
  const struct {
    Args args;
    const char* folder;
  } cases[] = {
      {{"--repair"}, "/home/zoë/quillbox"},
      {{"--repair", "-o", "rec"}, "rec"},
      {{"-o", "C:\\Aufnahmen \xE2\x80\x94 alt", "--repair"}, "C:\\Aufnahmen \xE2\x80\x94 alt"},
      {{"--repair", "-d", "5", "--mic", "--format", "hires", "--stems"}, "/home/zoë/quillbox"},
      {{"--stems-silence", "-o", "a", "--repair", "-o", "b", "-d", "0"}, "b"},
      {{"--repair", "--repair"}, "/home/zoë/quillbox"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(joined(c.args));
    FakeConsole console;
    EXPECT_EQ(run_console_modes(c.args, console.env()), EntryOutcome{Finished{0}});
    ASSERT_EQ(console.repaired_folders.size(), 1u);
    EXPECT_EQ(console.repaired_folders[0], path_from_utf8(c.folder));
    EXPECT_EQ(console.out, "No incomplete recordings found in " + std::string(c.folder) + "\n");
    EXPECT_EQ(console.err, "");
  }
}

TEST(ConsoleModes, RepairReportsEveryFileInOrderOnItsStreamAndStillSucceeds) {
  FakeConsole console;
  console.outcomes = {
      repaired("rec/a.recpart", "rec/a.wav"),
      failed("rec/b.recpart", "failed to fill whole buffer"),
      repaired("rec/c.recpart", "rec/c_1.wav"),
      failed("rec/d.recpart", "not a recognised .recpart/.wav header"),
      failed("rec/e.recpart", "Permission denied (os error 13)"),
  };
  EXPECT_EQ(run_console_modes({"--repair", "--output", "rec"}, console.env()),
            EntryOutcome{Finished{0}});
  EXPECT_EQ(console.log,
            "1:Repaired: rec/a.recpart -> rec/a.wav\n"
            "2:Failed rec/b.recpart: failed to fill whole buffer\n"
            "1:Repaired: rec/c.recpart -> rec/c_1.wav\n"
            "2:Failed rec/d.recpart: not a recognised .recpart/.wav header\n"
            "2:Failed rec/e.recpart: Permission denied (os error 13)\n");
}

// Paths the text cannot represent are printed with U+FFFD in their place.
TEST(ConsoleModes, RepairPrintsPathsAsLossyText) {
  FakeConsole console;
#ifdef _WIN32
  const fs::path odd = fs::path(L"rec\\b\xD800.recpart");
  const fs::path odd_wav = fs::path(L"rec\\b\xD800.wav");
  const std::string shown = "rec\\b\xEF\xBF\xBD";
#else
  const fs::path odd = fs::path("rec/b\xFF.recpart");
  const fs::path odd_wav = fs::path("rec/b\xFF.wav");
  const std::string shown = "rec/b\xEF\xBF\xBD";
#endif
  console.default_dir = odd.parent_path() / odd.stem();
  console.outcomes = {RepairOutcome{odd, odd_wav},
                      RepairOutcome{odd, std::unexpected(Error{"gone", 2})}};
  EXPECT_EQ(run_console_modes({"--repair"}, console.env()), EntryOutcome{Finished{0}});
  EXPECT_EQ(console.out, "Repaired: " + shown + ".recpart -> " + shown + ".wav\n");
  EXPECT_EQ(console.err, "Failed " + shown + ".recpart: gone\n");

  FakeConsole empty;
  empty.default_dir = console.default_dir;
  run_console_modes({"--repair"}, empty.env());
  EXPECT_EQ(empty.out, "No incomplete recordings found in " + shown + "\n");
}

TEST(ConsoleModes, WithoutRepairTheWindowIsAskedForWithTheParsedOptions) {
  Options in_folder;
  in_folder.output = "rec";
  Options timed;
  timed.duration = 0;
  timed.mic = true;
  timed.mode = RecordMode::StemsSilence;
  timed.format = AudioFormat{44100, 2, 16, false};
  const struct {
    Args args;
    Options options;
  } cases[] = {
      {{}, Options{}},
      {{"--output", "rec"}, in_folder},
      {{"-d", "0", "--mic", "--format", "cd", "--stems-silence"}, timed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(joined(c.args));
    FakeConsole console;
    EXPECT_EQ(run_console_modes(c.args, console.env()), EntryOutcome{OpenWindow{c.options}});
    EXPECT_EQ(console.log, "");
    EXPECT_TRUE(console.repaired_folders.empty());
  }
}

std::shared_ptr<CapturePlatform> two_outputs_and_a_mic() {
  synthetic::SyntheticConfig c;
  c.outputs.push_back(synthetic::SyntheticDevice::output("Speakers", "spk", 48000, 2, 440.0));
  c.outputs.push_back(synthetic::SyntheticDevice::output("Headset", "hs", 48000, 2, 660.0));
  c.inputs.push_back(synthetic::SyntheticDevice::input("VirtualMic", 48000, 1, 1000.0));
  c.default_input = 0;
  return std::make_shared<synthetic::SyntheticCapture>(c, synthetic::Timing::Stepped);
}

TEST(ConsoleModes, VersionAndTheDeviceListingGoToStandardOutput) {
  FakeConsole console;
  console.capture = two_outputs_and_a_mic();
  EXPECT_EQ(run_console_modes({"--version", "--list-devices"}, console.env()),
            EntryOutcome{Finished{0}});
  EXPECT_EQ(console.log, "1:quillbox " + std::string(version_text()) + "\n");

  // The listing comes before a repair and ignores the devices asked for.
  console.log.clear();
  EXPECT_EQ(run_console_modes({"--repair", "--device", "nothing", "--list-devices"}, console.env()),
            EntryOutcome{Finished{0}});
  EXPECT_EQ(console.log, "1:" + device_listing(*console.capture));
  EXPECT_TRUE(console.repaired_folders.empty());

  FakeConsole silent;  // no devices, or no sound system to ask
  EXPECT_EQ(run_console_modes({"--list-devices"}, silent.env()), EntryOutcome{Finished{0}});
  EXPECT_EQ(silent.log, "2:No devices to record from\n");
}

// A device that is not in the list stops the run before the window (or the
// console recording) begins, as any command-line error does.
TEST(ConsoleModes, DevicesAreCheckedBeforeAnythingIsRecorded) {
  FakeConsole console;
  console.capture = two_outputs_and_a_mic();
  Options ticked;
  ticked.duration = 1;
  ticked.devices = {"[Loopback] Headset"};
  EXPECT_EQ(run_console_modes({"-d", "1", "--device", "[Loopback] Headset"}, console.env()),
            EntryOutcome{OpenWindow{ticked}});
  EXPECT_EQ(console.log, "");

  EXPECT_EQ(
      run_console_modes({"--device", "[Loopback] Headset", "--device", "Headset"}, console.env()),
      EntryOutcome{Finished{1}});
  EXPECT_EQ(console.log,
            "2:Unknown device 'Headset'. Close matches: '[Loopback] Headset'\n" + usage_text());

  // --repair ignores the devices; without a platform no name is known.
  FakeConsole no_platform;
  EXPECT_EQ(run_console_modes({"--device", "x", "--repair"}, no_platform.env()),
            EntryOutcome{Finished{0}});
  EXPECT_EQ(run_console_modes({"--device", "x"}, no_platform.env()), EntryOutcome{Finished{1}});
  EXPECT_TRUE(no_platform.err.starts_with("Unknown device 'x'\n"));
}

// Moves into a folder for the scope of a test and back out afterwards.
class InFolder {
 public:
  explicit InFolder(const fs::path& folder) : previous_(fs::current_path()) {
    fs::current_path(folder);
  }
  ~InFolder() { fs::current_path(previous_); }
  InFolder(const InFolder&) = delete;
  InFolder& operator=(const InFolder&) = delete;

 private:
  fs::path previous_;
};

fs::path fresh_folder(const std::string& name) {
  const fs::path folder = fs::temp_directory_path() / ("quillbox_app_test_" + name);
  fs::remove_all(folder);
  fs::create_directories(folder);
  return folder;
}

TEST(DefaultOutputDir, IsQuillboxInTheCurrentFolderAndCreatesNothing) {
  const fs::path folder = fresh_folder("cwd");
  {
    InFolder in(folder);
    EXPECT_EQ(default_output_dir(), fs::current_path() / "quillbox");
    EXPECT_TRUE(default_output_dir().is_absolute());
  }
  EXPECT_FALSE(fs::exists(folder / "quillbox"));
  fs::remove_all(folder);
}

TEST(DefaultOutputDir, FallsBackToARelativePathWhenTheCurrentFolderIsGone) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows does not let a process's current folder be removed";
#else
  const fs::path folder = fresh_folder("gone");
  InFolder in(folder);
  fs::remove(folder);
  std::error_code ec;
  static_cast<void>(fs::current_path(ec));
  if (!ec) GTEST_SKIP() << "this system still reports a removed current folder";
  EXPECT_EQ(default_output_dir(), fs::path(".") / "quillbox");
#endif
}

TEST(AutoStopDeadline, AddsTheSecondsOrCapsAtTheClocksEnd) {
  using Clock = std::chrono::steady_clock;
  using std::chrono::seconds;
  const Clock::time_point start = Clock::now();
  const Clock::time_point end = Clock::time_point::max();
  const auto room = std::chrono::duration_cast<seconds>(end - start).count();
  const std::uint64_t max_u64 = std::numeric_limits<std::uint64_t>::max();
  const struct {
    Clock::time_point now;
    std::uint64_t seconds;
    Clock::time_point expected;
  } cases[] = {
      {start, 0, start},
      {start, 15, start + seconds(15)},
      {start, 86400ull * 365, start + seconds(86400ll * 365)},
      {start, static_cast<std::uint64_t>(room) - 1, start + seconds(room - 1)},
      {start, static_cast<std::uint64_t>(room), end},
      {start, max_u64, end},
      {start, static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1, end},
      {Clock::time_point{}, 7, Clock::time_point{} + seconds(7)},
      {Clock::time_point{} - seconds(10), 3, Clock::time_point{} - seconds(7)},
      {Clock::time_point::min(), max_u64, end},
      {end, 0, end},
      {end, 1, end},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(auto_stop_deadline(c.now, c.seconds), c.expected);
  }
}

}  // namespace
}  // namespace quillbox
