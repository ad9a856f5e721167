#include "engine/capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <thread>

namespace quillbox {
namespace {

// --- Device entries ------------------------------------------------------

TEST(DeviceEntries, LoopbackPrefixNeedsMoreThanTenBytes) {
  struct Case {
    std::string_view entry;
    bool loopback;
    std::string_view stripped;
  };
  const Case cases[] = {
      {"[Loopback] Speakers", true, "Speakers"},
      {"[Loopback] ", true, ""},            // 11 bytes: the prefix alone
      {"[Loopback]", false, "[Loopback]"},  // 10 bytes: no room for the space
      {"[Loopback]Speakers", false, "[Loopback]Speakers"},
      {"[loopback] Speakers", false, "[loopback] Speakers"},
      {"Microphone", false, "Microphone"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_loopback_entry(c.entry), c.loopback) << c.entry;
    EXPECT_EQ(strip_loopback_prefix(c.entry), c.stripped) << c.entry;
  }
}

TEST(DeviceEntries, ListsOutputsAsLoopbackEntriesThenInputsAndFindsFirstMatches) {
  const std::vector<OutputDeviceInfo> outputs = {{"Speakers", "id-1"}, {"Speakers", "id-2"}};
  const std::vector<InputDeviceInfo> inputs = {{"Line In", {}}, {"Speakers", {}}};
  EXPECT_EQ(device_entries(outputs, inputs),
            (std::vector<std::string>{"[Loopback] Speakers", "[Loopback] Speakers", "Line In",
                                      "Speakers"}));

  EXPECT_EQ(find_output_device(outputs, "[Loopback] Speakers"), &outputs[0]);
  EXPECT_EQ(find_output_device(outputs, "[Loopback] Headset"), nullptr);
  EXPECT_EQ(find_input_device(inputs, "Speakers"), &inputs[1]);
  EXPECT_EQ(find_input_device(inputs, "line in"), nullptr);
}

// --- Starting sources ----------------------------------------------------

class NullStream final : public CaptureStream {
 public:
  AudioFormat format() const override { return {48000, 2, 32, true}; }
};

// Fails every start with "boom" when `fail` is set; remembers what it was asked.
class FakePlatform final : public CapturePlatform {
 public:
  bool fail = false;
  std::optional<std::string> loopback_id = "unset";
  std::string input_started;

  std::vector<OutputDeviceInfo> list_output_devices() override {
    return {{"Speakers", "id-spk"}, {"Headset", "id-hs"}};
  }
  InputDeviceList list_input_devices() override { return {"Mic", {{"Line In", {2, 48000}}}}; }
  std::optional<std::string> default_input_name() override { return "Mic"; }
  std::expected<AudioFormat, std::string> probe_loopback_format(
      const std::optional<std::string>&) override {
    return AudioFormat{48000, 2, 32, true};
  }
  std::optional<AudioFormat> probe_input_format(const std::string&) override {
    return std::nullopt;
  }
  StreamResult start_loopback(const std::optional<std::string>& id,
                              std::shared_ptr<AudioBuf>) override {
    loopback_id = id;
    return result();
  }
  StreamResult start_default_mic(std::shared_ptr<AudioBuf>) override { return result(); }
  StreamResult start_input(const InputDeviceInfo& device, std::shared_ptr<AudioBuf>) override {
    input_started = device.name;
    return result();
  }

 private:
  StreamResult result() const {
    if (fail) return std::unexpected(std::string("boom"));
    return std::make_unique<NullStream>();
  }
};

TEST(CaptureDeviceLists, LeaveTheDefaultDevicesOut) {
  const std::vector<OutputDeviceInfo> outputs = {
      {"Speakers", "a"}, {"Headset", "b"}, {"Speakers", "c"}};
  DefaultOutputId id;
  // Until the default output is known, every device is listed.
  EXPECT_EQ(without_default_output(outputs, id).size(), 3u);
  id.remember("c");
  const auto listed = without_default_output(outputs, id);
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].id, "a");
  EXPECT_EQ(listed[1].id, "b");

  // Only a byte-equal name is the default input; case and trailing spaces differ.
  const std::vector<InputDeviceInfo> inputs = {
      {"Mic", {1, 48000, SampleFormat::I16}}, {"mic", {}}, {"Mic ", {}}, {"Mic", {}}};
  const InputDeviceList list = make_input_device_list("Mic", inputs);
  EXPECT_EQ(list.default_name, "Mic");
  ASSERT_EQ(list.devices.size(), 2u);
  EXPECT_EQ(list.devices[0].name, "mic");
  EXPECT_EQ(list.devices[1].name, "Mic ");
  EXPECT_EQ(make_input_device_list(std::nullopt, inputs).devices.size(), 4u);
}

TEST(StartSource, WordsEachKindsFailure) {
  struct Case {
    SourceKey key;
    std::string text;
  };
  const Case cases[] = {
      {{SourceKind::SystemLoopback, ""}, "Failed to start loopback: boom"},
      {{SourceKind::DefaultMic, ""}, "Failed to start mic: boom"},
      {{SourceKind::InputDevice, "Line In"}, "Failed to start Line In: boom"},
      {{SourceKind::InputDevice, "Mic"}, "Failed to start Mic: Mic: input device not found"},
      {{SourceKind::LoopbackDevice, "[Loopback] Headset"},
       "Failed to start loopback [Loopback] Headset: boom"},
      {{SourceKind::LoopbackDevice, "[Loopback] Radio"}, "[Loopback] Radio: device not found"},
  };
  FakePlatform platform;
  platform.fail = true;
  for (const auto& c : cases) {
    const auto started = start_source(platform, c.key, std::make_shared<AudioBuf>());
    ASSERT_FALSE(started.has_value()) << c.text;
    EXPECT_EQ(started.error(), c.text);
  }
}

TEST(StartSource, StartsTheNamedDeviceAndCarriesTheKey) {
  FakePlatform platform;
  const SourceKey headset{SourceKind::LoopbackDevice, "[Loopback] Headset"};
  auto started = start_source(platform, headset, std::make_shared<AudioBuf>());
  ASSERT_TRUE(started.has_value());
  EXPECT_EQ(started->key, headset);
  EXPECT_NE(started->stream, nullptr);
  EXPECT_EQ(platform.loopback_id, "id-hs");

  ASSERT_TRUE(start_source(platform, {SourceKind::SystemLoopback, ""}, nullptr).has_value());
  EXPECT_EQ(platform.loopback_id, std::nullopt);
  ASSERT_TRUE(start_source(platform, {SourceKind::InputDevice, "Line In"}, nullptr).has_value());
  EXPECT_EQ(platform.input_started, "Line In");
}

// --- The default output device ------------------------------------------

TEST(DefaultOutputId, ConcurrentFirstWritersLeaveExactlyOneWinner) {
  DefaultOutputId slot;
  EXPECT_EQ(slot.get(), std::nullopt);
  constexpr int WRITERS = 8;
  std::vector<int> won(WRITERS, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < WRITERS; ++i) {
    threads.emplace_back([&, i] { won[i] = slot.remember("id-" + std::to_string(i)) ? 1 : 0; });
  }
  for (auto& t : threads) t.join();
  ASSERT_EQ(std::accumulate(won.begin(), won.end(), 0), 1);
  const auto winner = std::find(won.begin(), won.end(), 1) - won.begin();
  EXPECT_EQ(slot.get(), "id-" + std::to_string(winner));
  EXPECT_FALSE(slot.remember("later"));
}

}  // namespace
}  // namespace quillbox
