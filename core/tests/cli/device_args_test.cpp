// The devices on the command line, against the synthetic platform, which
// lists and probes as the real ones do (the default output leaves the list
// once a probe of it has named it).

#include "cli/device_args.h"

#include <gtest/gtest.h>

#include "synthetic_capture.h"

namespace quillbox {
namespace {

using synthetic::SyntheticCapture;
using synthetic::SyntheticConfig;
using synthetic::SyntheticDevice;

// Speakers (default output), Headset and a mono "Zoë's \"Desk\" — USB";
// the default microphone, a line input of 16-bit stereo and a device whose
// format cannot be probed.
SyntheticConfig machine() {
  SyntheticConfig c;
  c.outputs.push_back(SyntheticDevice::output("Speakers", "spk", 48000, 2, 440.0));
  c.outputs.push_back(SyntheticDevice::output("Headset", "hs", 44100, 2, 660.0));
  c.outputs.push_back(SyntheticDevice::output("Zoë's \"Desk\" — USB", "desk", 48000, 1, 550.0));
  c.inputs.push_back(SyntheticDevice::input("VirtualMic", 48000, 1, 1000.0));
  c.inputs.push_back(SyntheticDevice::input("Line In", 96000, 2, 1000.0));
  c.inputs.back().native = AudioFormat{96000, 2, 24, false};
  c.inputs.push_back(SyntheticDevice::input("Headset Mic", 16000, 1, 1000.0));
  c.inputs.back().probe_error = "unreadable";
  c.inputs.back().format = SampleFormat::I16;
  c.default_input = 0;
  return c;
}

TEST(DeviceListing, EveryDeviceOnceWithItsFormatAndTheDefaultsMarked) {
  SyntheticCapture capture(machine(), synthetic::Timing::Stepped);
  // Columns line up by characters, not bytes; a format that cannot be probed
  // comes from the listed configuration.
  EXPECT_EQ(device_listing(capture),
            "output  [Loopback] Speakers            48000 Hz, 2 channels, 32-bit float  "
            "default: system audio\n"
            "output  [Loopback] Headset             44100 Hz, 2 channels, 32-bit float\n"
            "output  [Loopback] Zoë's \"Desk\" — USB  48000 Hz, 1 channel, 32-bit float\n"
            "input   VirtualMic                     48000 Hz, 1 channel, 16-bit         "
            "default: --mic\n"
            "input   Line In                        96000 Hz, 2 channels, 24-bit\n"
            "input   Headset Mic                    16000 Hz, 1 channel, 16-bit\n");
  // The default output is remembered, as the window's start-up query does.
  EXPECT_EQ(capture.default_output_id(), "spk");
}

TEST(DeviceListing, AMachineWithoutMicrophoneOrWithAnUnreadableOutput) {
  SyntheticConfig c;
  c.outputs.push_back(SyntheticDevice::output("Speakers", "spk", 48000, 2, 440.0));
  c.outputs.back().probe_error = "Activate: 0x88890004";
  c.outputs.push_back(SyntheticDevice::output("HDMI", "hdmi", 48000, 8, 440.0));
  SyntheticCapture capture(c, synthetic::Timing::Stepped);
  EXPECT_EQ(device_listing(capture),
            "output  [Loopback] Speakers  format unknown                      default: system "
            "audio\n"
            "output  [Loopback] HDMI      48000 Hz, 8 channels, 32-bit float\n");

  SyntheticCapture none(SyntheticConfig{}, synthetic::Timing::Stepped);
  EXPECT_EQ(device_listing(none), "");
}

TEST(DeviceNames, EntriesOfTheWindowsListPassOthersNameTheirCloseMatches) {
  SyntheticCapture capture(machine(), synthetic::Timing::Stepped);
  const struct {
    std::vector<std::string> names;
    std::optional<std::string> error;
  } cases[] = {
      {{}, std::nullopt},
      {{"[Loopback] Headset", "Line In", "[Loopback] Zoë's \"Desk\" — USB", "Headset Mic"},
       std::nullopt},
      {{"Line In", "Line In"}, std::nullopt},
      // Exact names only: a bare output name is no entry, nor another case.
      {{"Headset"}, "Unknown device 'Headset'. Close matches: '[Loopback] Headset', 'Headset Mic'"},
      {{"line in"}, "Unknown device 'line in'. Close matches: 'Line In'"},
      {{"Line In", "[Loopback] Headst"},
       "Unknown device '[Loopback] Headst'. Close matches: '[Loopback] Headset'"},
      {{"desk"}, "Unknown device 'desk'. Close matches: '[Loopback] Zoë's \"Desk\" — USB'"},
      {{"Bluetooth"}, "Unknown device 'Bluetooth'. --list-devices lists the devices"},
      {{""}, "Unknown device ''. --list-devices lists the devices"},
      // The defaults are recorded otherwise and are no entries of the list.
      {{"[Loopback] Speakers"},
       "Device '[Loopback] Speakers' is the default output, recorded as "
       "system audio"},
      {{"VirtualMic"}, "Device 'VirtualMic' is the default input, recorded with --mic"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.names));
    EXPECT_EQ(check_device_names(capture, c.names), c.error);
  }
}

TEST(DeviceNames, CloseMatchesNeedThreeLettersInCommonOrFewTypingErrors) {
  const std::vector<std::string> entries = {"[Loopback] Speakers", "Mic", "USB Audio CODEC"};
  EXPECT_EQ(close_matches("speakers", entries), (std::vector<std::string>{"[Loopback] Speakers"}));
  EXPECT_EQ(close_matches("Speakrs", entries), (std::vector<std::string>{"[Loopback] Speakers"}));
  EXPECT_EQ(close_matches("codec", entries), (std::vector<std::string>{"USB Audio CODEC"}));
  EXPECT_EQ(close_matches("Mc", entries), (std::vector<std::string>{"Mic"}));
  EXPECT_TRUE(close_matches("a", entries).empty());
  EXPECT_TRUE(close_matches("Line", entries).empty());
}

}  // namespace
}  // namespace quillbox
