// The WASAPI platform against the private sound server that scripts/test
// starts (under Wine: "Speakers" playing 440 Hz at half scale, a silent
// "Headset", "VirtualMic" carrying 1000 Hz at half scale). Skipped when no
// sound server is reachable.
#include "wasapi/wasapi_platform.h"

#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <thread>

#include "signal_analysis.h"
#include "test_support.h"
#include "wasapi/wasapi_devices.h"

namespace quillbox::wasapi {
namespace {

using namespace std::chrono_literals;
using test_support::ScratchDir;

bool sound_server_reachable() {
  DefaultOutputId slot;
  const auto outputs = wasapi::list_output_devices(slot);
  return std::ranges::any_of(outputs, [](const auto& d) { return d.name == "Speakers"; });
}

#define REQUIRE_SOUND_SERVER()                                                        \
  if (!sound_server_reachable()) GTEST_SKIP() << "no sound server with \"Speakers\""; \
  static_assert(true)

// A platform whose notices and loopback error file stay in the test.
struct Rig {
  DefaultOutputId slot;
  ScratchDir dir;
  std::mutex mutex;
  std::vector<std::string> notices;
  std::shared_ptr<WasapiPlatform> platform;

  Rig() {
    StreamSettings settings;
    settings.notice = [this](std::string_view text) {
      std::lock_guard lock(mutex);
      notices.emplace_back(text);
    };
    settings.error_file_dir = [this] { return std::optional(dir.path()); };
    platform = std::make_shared<WasapiPlatform>(slot, settings);
  }
};

// Interleaved samples of `seconds` of audio from the buffer, starting at the
// first sound (the first packets can come late and silent).
std::vector<float> listen(AudioBuf& buffer, std::size_t channels, std::size_t rate,
                          double seconds) {
  std::vector<float> heard;
  const auto deadline = std::chrono::steady_clock::now() + 8s;
  std::size_t start = SIZE_MAX;
  while (std::chrono::steady_clock::now() < deadline) {
    for (const auto& chunk : buffer.take_all()) {
      heard.insert(heard.end(), chunk.samples.begin(), chunk.samples.end());
    }
    if (start == SIZE_MAX) {
      const std::size_t first = signal::first_above(heard, 0.05f);
      if (first < heard.size()) start = first - first % channels;
    }
    if (start != SIZE_MAX && heard.size() - start >= seconds * rate * channels) break;
    std::this_thread::sleep_for(20ms);
  }
  if (start == SIZE_MAX) return {};
  return std::vector<float>(heard.begin() + start, heard.end());
}

std::vector<float> channel(const std::vector<float>& interleaved, std::size_t channels,
                           std::size_t c) {
  std::vector<float> out;
  for (std::size_t i = c; i < interleaved.size(); i += channels) out.push_back(interleaved[i]);
  return out;
}

TEST(WasapiDevices, ListsFollowTheDefaultRulesAndProbesGiveTheMixFormat) {
  REQUIRE_SOUND_SERVER();
  Rig rig;
  const auto before = rig.platform->list_output_devices();
  const auto inputs = rig.platform->list_input_devices();
  for (const auto& d : before) std::cout << "output: " << d.name << " | " << d.id << "\n";
  std::cout << "default input: " << inputs.default_name.value_or("(none)") << "\n";
  for (const auto& d : inputs.devices) {
    std::cout << "input: " << d.name << " " << d.config.sample_rate << " Hz " << d.config.channels
              << " ch\n";
  }

  // Before the default output id is known every output device is listed.
  const auto names = [](const auto& list) {
    std::vector<std::string> out;
    for (const auto& d : list) out.push_back(d.name);
    return out;
  };
  const auto before_names = names(before);
  EXPECT_NE(std::ranges::find(before_names, "Speakers"), before_names.end());
  EXPECT_NE(std::ranges::find(before_names, "Headset"), before_names.end());

  // The loopback probe of the default device remembers its id, which then
  // leaves the list; the mix format gives rate and channels, the device
  // format bits and float.
  const auto probed = rig.platform->probe_loopback_format(std::nullopt);
  ASSERT_TRUE(probed.has_value()) << probed.error();
  // The mix format: the sound server's rate, stereo, 32-bit float.
  const std::uint32_t rate = probed->sample_rate;
  EXPECT_TRUE(rate == 44100 || rate == 48000) << rate;
  EXPECT_EQ(*probed, (AudioFormat{rate, 2, 32, true}));
  ASSERT_TRUE(rig.slot.get().has_value());
  const auto after = rig.platform->list_output_devices();
  EXPECT_EQ(after.size() + 1, before.size());
  for (const auto& d : after) EXPECT_NE(d.id, *rig.slot.get());
  const auto speakers = std::ranges::find(before, "Speakers", &OutputDeviceInfo::name);
  ASSERT_NE(speakers, before.end());
  EXPECT_EQ(rig.platform->probe_loopback_format(speakers->id), (AudioFormat{rate, 2, 32, true}));
  EXPECT_TRUE(rig.platform->probe_loopback_format("no such endpoint")
                  .error()
                  .starts_with("GetDevice/GetDefaultAudioEndpoint: 0x8007"));
  const auto entries = device_entries(after, inputs.devices);
  EXPECT_NE(std::ranges::find(entries, "[Loopback] Headset"), entries.end());

  // Inputs: every source, the monitors too, but never the default's name.
  ASSERT_TRUE(inputs.default_name.has_value());
  EXPECT_EQ(rig.platform->default_input_name(), inputs.default_name);
  const auto input_names = names(inputs.devices);
  EXPECT_EQ(std::ranges::find(input_names, *inputs.default_name), input_names.end());
  EXPECT_NE(std::ranges::find(input_names, "Monitor of Speakers"), input_names.end());
  for (const auto& d : inputs.devices) {
    EXPECT_EQ(d.config.sample_rate, rate) << d.name;
    EXPECT_EQ(d.config.format, SampleFormat::F32) << d.name;
  }
  EXPECT_EQ(rig.platform->probe_input_format("Monitor of Speakers"),
            (AudioFormat{rate, 2, 32, true}));
  const auto mic = std::ranges::find(inputs.devices, "VirtualMic", &InputDeviceInfo::name);
  if (mic != inputs.devices.end()) {
    EXPECT_EQ(mic->config.channels, 1u);
  }
  EXPECT_EQ(rig.platform->probe_input_format("no such device"), std::nullopt);
  EXPECT_EQ(
      start_input_device(*rig.platform, *inputs.default_name, std::make_shared<AudioBuf>()).error(),
      *inputs.default_name + ": input device not found");
}

TEST(WasapiDevices, DefaultMicDeliversItsToneAtItsLevel) {
  REQUIRE_SOUND_SERVER();
  Rig rig;
  auto buffer = std::make_shared<AudioBuf>();
  auto stream = rig.platform->start_default_mic(buffer);
  ASSERT_TRUE(stream.has_value()) << stream.error();
  const AudioFormat format = (*stream)->format();
  EXPECT_TRUE(format.sample_rate == 44100 || format.sample_rate == 48000) << format.sample_rate;
  const auto heard = listen(*buffer, format.channels, format.sample_rate, 1.0);
  stream->reset();
  ASSERT_FALSE(heard.empty()) << "no sound from the default microphone";
  const auto mono = channel(heard, format.channels, 0);
  EXPECT_NEAR(signal::tone_frequency(mono, format.sample_rate), 1000.0, 2.0);
  EXPECT_NEAR(signal::tone_amplitude(mono, format.sample_rate, 1000.0), 0.5, 0.03);
  EXPECT_FALSE(buffer->failed());
}

TEST(WasapiDevices, MonitorOfSpeakersDeliversWhatTheSpeakersPlay) {
  REQUIRE_SOUND_SERVER();
  Rig rig;
  auto buffer = std::make_shared<AudioBuf>();
  auto stream = start_input_device(*rig.platform, "Monitor of Speakers", buffer);
  ASSERT_TRUE(stream.has_value()) << stream.error();
  const AudioFormat format = (*stream)->format();
  EXPECT_EQ(format, (AudioFormat{format.sample_rate, 2, 32, true}));
  const auto heard = listen(*buffer, 2, format.sample_rate, 1.0);
  stream->reset();
  // Released: the last partial chunk is in, and nothing more comes.
  EXPECT_TRUE(buffer->take_all().size() <= 1);
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(buffer->take_all().empty());
  ASSERT_FALSE(heard.empty()) << "no sound from the monitor";
  for (std::size_t c = 0; c < 2; ++c) {
    const auto mono = channel(heard, 2, c);
    EXPECT_NEAR(signal::tone_frequency(mono, format.sample_rate), 440.0, 1.0);
    EXPECT_NEAR(signal::tone_amplitude(mono, format.sample_rate, 440.0), 0.5, 0.03);
  }
}

TEST(WasapiDevices, LoopbackUnderWineFailsInItsThreadAndIsHarmlessToRelease) {
  REQUIRE_SOUND_SERVER();
  Rig rig;
  auto buffer = std::make_shared<AudioBuf>();
  auto stream = rig.platform->start_loopback(std::nullopt, buffer);
  ASSERT_TRUE(stream.has_value()) << stream.error();
  test_support::eventually([&] { return buffer->failed(); });
  const auto line = take_capture_failure(*buffer);
  if (!line) GTEST_SKIP() << "this system captures loopback; nothing failed";
  EXPECT_EQ(*line, "Loopback capture error: GetService: 0x88890003");
  const auto bytes = test_support::read_bytes<char>(rig.dir / "quillbox_loopback_error.txt");
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "Loopback error: GetService: 0x88890003\n");
  stream->reset();
  EXPECT_TRUE(buffer->take_all().empty());
}

// --- Leaks --------------------------------------------------------------

std::size_t thread_count() {
  const DWORD pid = ::GetCurrentProcessId();
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  std::size_t count = 0;
  for (BOOL ok = ::Thread32First(snapshot, &entry); ok; ok = ::Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == pid) ++count;
  }
  ::CloseHandle(snapshot);
  return count;
}

// The process's handle count. Wine does not count (it answers 0); there the
// value of a fresh handle stands in, since handles take the lowest free slot
// and leaked ones push it up.
std::size_t handle_count() {
  DWORD count = 0;
  ::GetProcessHandleCount(::GetCurrentProcess(), &count);
  if (count != 0) return count;
  HANDLE probe = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const auto slot = reinterpret_cast<std::uintptr_t>(probe) / 4;
  ::CloseHandle(probe);
  return slot;
}

// Committed private memory (Wine fills only this field of the two that say so).
std::size_t private_bytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters);
  return counters.PagefileUsage;
}

TEST(WasapiDevices, StartingAndReleasingAHundredStreamsLeavesNothingBehind) {
  REQUIRE_SOUND_SERVER();
  Rig rig;
  const auto cycle = [&](int i) {
    auto buffer = std::make_shared<AudioBuf>();
    auto stream = i % 2 == 0 ? start_input_device(*rig.platform, "Monitor of Speakers", buffer)
                             : rig.platform->start_loopback(std::nullopt, buffer);
    ASSERT_TRUE(stream.has_value()) << stream.error();
    std::this_thread::sleep_for(2ms);
  };
  // A few first cycles load what Wine and the system keep for the process.
  for (int i = 0; i < 10; ++i) cycle(i);
  const std::size_t threads = thread_count();
  const std::size_t handles = handle_count();
  const std::size_t memory = private_bytes();
  for (int i = 0; i < 100; ++i) cycle(i);
  std::cout << "threads " << threads << " -> " << thread_count() << ", handles " << handles
            << " -> " << handle_count() << ", private bytes " << memory << " -> " << private_bytes()
            << "\n";
  EXPECT_LE(thread_count(), threads);
  EXPECT_LE(handle_count(), handles + 4);
  EXPECT_LE(private_bytes(), memory + 2 * 1024 * 1024);
}

}  // namespace
}  // namespace quillbox::wasapi
