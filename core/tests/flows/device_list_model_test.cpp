// The "Other devices:" model and the window's layout scale.

#include "flows/device_list_model.h"

#include <gtest/gtest.h>

#include "flow_rig.h"

namespace quillbox {
namespace {

using synthetic::SyntheticDevice;
using test_support::FlowRig;

synthetic::SyntheticConfig devices(std::vector<std::string> outputs,
                                   std::vector<std::string> inputs) {
  synthetic::SyntheticConfig c;
  c.outputs.push_back(SyntheticDevice::output("Speakers", "spk", 48000, 2, 440.0));
  for (const auto& o : outputs) c.outputs.push_back(SyntheticDevice::output(o, o, 48000, 2, 440.0));
  c.inputs.push_back(SyntheticDevice::input("Default Mic", 48000, 1, 1000.0));
  c.default_input = 0;
  for (const auto& i : inputs) c.inputs.push_back(SyntheticDevice::input(i, 48000, 1, 1000.0));
  return c;
}

TEST(DeviceList, TicksSurviveARebuildByName) {
  FlowRig first(devices({"Headset"}, {"USB Mic", "Line In"}));
  first.capture->remember_default_output();  // the default output leaves the list
  refresh_device_list(first.app, *first.capture);
  EXPECT_EQ(first.app.state.device_names,
            (std::vector<std::string>{"[Loopback] Headset", "USB Mic", "Line In"}));
  EXPECT_EQ(first.ui.entries,
            (std::vector<std::string>{"off  \u2014  [Loopback] Headset", "off  \u2014  USB Mic",
                                      "off  \u2014  Line In"}));
  toggle_device_entry(first.app, 0);
  toggle_device_entry(first.app, 2);
  toggle_device_entry(first.app, 7);  // no such entry: nothing
  EXPECT_EQ(first.ui.entries[0], "on   \u2014  [Loopback] Headset");
  EXPECT_EQ(first.ui.entries[2], "on   \u2014  Line In");

  // Line In is gone, Dock is new, USB Mic is listed twice.
  FlowRig second(devices({"Headset"}, {"Dock", "USB Mic", "USB Mic"}));
  second.capture->remember_default_output();
  second.app.state.device_names = first.app.state.device_names;
  second.app.state.device_checked = first.app.state.device_checked;
  second.app.state.device_names.push_back("USB Mic");
  second.app.state.device_checked.push_back(true);  // a later same-named entry does not count
  refresh_device_list(second.app, *second.capture);
  EXPECT_EQ(second.app.state.device_names,
            (std::vector<std::string>{"[Loopback] Headset", "Dock", "USB Mic", "USB Mic"}));
  EXPECT_EQ(second.app.state.device_checked, (std::vector<bool>{true, false, false, false}));
}

// The --device names tick their entries before the start, which records them.
TEST(DeviceList, CommandLineDevicesAreTickedForTheStart) {
  FlowRig rig(devices({"Headset"}, {"USB Mic", "Line In"}));
  rig.capture->remember_default_output();
  refresh_device_list(rig.app, *rig.capture);
  toggle_device_entry(rig.app, 2);
  check_device_entries(rig.app, {"USB Mic", "Gone", "Line In", "USB Mic"});
  EXPECT_EQ(rig.app.state.device_checked, (std::vector<bool>{false, true, true}));
  EXPECT_EQ(rig.ui.entries,
            (std::vector<std::string>{"off  \u2014  [Loopback] Headset", "on   \u2014  USB Mic",
                                      "on   \u2014  Line In"}));
  EXPECT_EQ(collect_start_request(rig.app).devices,
            (std::vector<std::string>{"USB Mic", "Line In"}));
}

// A tick during a recording switches the source when the recording has it.
TEST(DeviceList, ToggleSwitchesTheSourceLive) {
  FlowRig rig(devices({"Headset"}, {"USB Mic"}));
  rig.capture->remember_default_output();
  refresh_device_list(rig.app, *rig.capture);
  toggle_device_entry(rig.app, 0);
  ASSERT_TRUE(start_recording(rig.app, rig.request(RecordMode::StemsSilence), std::nullopt));
  ASSERT_EQ(rig.app.state.recorder->source_count(), 3u);  // system, mic, Headset

  toggle_device_entry(rig.app, 1);  // no input device was ticked at the start
  EXPECT_TRUE(rig.ui.is_enabled(Control::DeviceList));
  toggle_device_entry(rig.app, 0);  // off: at once, nothing posted
  EXPECT_TRUE(rig.ui.is_enabled(Control::DeviceList));
  toggle_device_entry(rig.app, 0);  // on again: the list waits for the outcome
  EXPECT_FALSE(rig.ui.is_enabled(Control::DeviceList));
  auto outcome = rig.ui.wait_posted();
  ASSERT_TRUE(outcome.has_value());
  EXPECT_EQ(outcome->key, (SourceKey{SourceKind::LoopbackDevice, "[Loopback] Headset"}));
  on_source_started(rig.app, std::move(*outcome));
  EXPECT_TRUE(rig.ui.is_enabled(Control::DeviceList));
  EXPECT_TRUE(rig.ui.messages.empty());
  finish_recording(rig.app);
}

TEST(LayoutScale, FollowsDpiAndScreenSize) {
  struct Case {
    int width, height;
    float dpi;
    std::size_t entries;
    float scale;
  };
  for (const Case& c : std::vector<Case>{{1920, 1080, 1.0f, 2, 1.0f},
                                         {3840, 2160, 1.0f, 2, 2060.0f / 1080.0f},
                                         {1920, 1080, 1.5f, 2, 1.5f},
                                         {800, 600, 1.0f, 10, 500.0f / 518.0f},
                                         {640, 480, 1.0f, 10, 0.75f}}) {
    EXPECT_FLOAT_EQ(layout_scale(c.dpi, c.width, c.height, list_rows(c.entries)), c.scale)
        << c.width << "x" << c.height;
  }
  EXPECT_EQ(list_rows(0), 2u);
  EXPECT_EQ(list_rows(1), 2u);
  EXPECT_EQ(list_rows(10), 10u);
}

}  // namespace
}  // namespace quillbox
