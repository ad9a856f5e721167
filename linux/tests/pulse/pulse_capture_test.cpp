// The PulseAudio capture platform against the private test server: null
// sinks "Speakers" (default, 440 Hz at half scale) and "Headset" (silent), a
// source "VirtualMic" (default, 1000 Hz at half scale). Skipped when no such
// server runs (PULSE_SERVER unset).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "base/platform_paths.h"
#include "engine/capture.h"
#include "pulse/pulse_loop.h"
#include "pulse/pulse_platform.h"
#include "pulse/pulse_streams.h"
#include "signal_analysis.h"
#include "test_support.h"

namespace quillbox {
namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;

constexpr std::uint32_t RATE = 48000;

std::string shell(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    std::array<char, 256> line{};
    while (fgets(line.data(), line.size(), pipe) != nullptr) out += line.data();
    pclose(pipe);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

// A module loaded into the test server for one test.
class Module {
 public:
  explicit Module(const std::string& args) : index_(shell("pactl load-module " + args)) {}
  ~Module() { unload(); }
  void unload() {
    if (!index_.empty()) shell("pactl unload-module " + index_);
    index_.clear();
  }
  bool loaded() const { return !index_.empty(); }

 private:
  std::string index_;
};

class PulseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("PULSE_SERVER") == nullptr) {
      GTEST_SKIP() << "no private PulseAudio server (PULSE_SERVER is unset)";
    }
  }
};

struct Collected {
  std::vector<Chunk> chunks;
  std::vector<steady_clock::time_point> arrivals;
  std::size_t samples() const {
    std::size_t n = 0;
    for (const auto& c : chunks) n += c.size();
    return n;
  }
  std::vector<float> channel0(std::size_t channels, std::size_t skip_frames) const {
    std::vector<float> out;
    std::size_t frame = 0;
    for (const auto& c : chunks) {
      for (std::size_t i = 0; i < c.size(); i += channels, ++frame) {
        if (frame >= skip_frames) out.push_back(c.samples[i]);
      }
    }
    return out;
  }
};

// Medians over 100 ms windows of a tone's level and of the frequency, so
// that a dropout of the test server's player on a busy machine does not count.
template <typename Measure>
double median_of_windows(const std::vector<float>& mono, Measure measure) {
  std::vector<double> values;
  for (std::size_t at = 0; at + RATE / 10 <= mono.size(); at += RATE / 10) {
    values.push_back(measure(std::span(mono).subspan(at, RATE / 10)));
  }
  if (values.empty()) return 0.0;
  std::ranges::nth_element(values, values.begin() + values.size() / 2);
  return values[values.size() / 2];
}
double level(const std::vector<float>& mono, double frequency) {
  return median_of_windows(
      mono, [&](std::span<const float> w) { return signal::tone_amplitude(w, RATE, frequency); });
}
double frequency(const std::vector<float>& mono) {
  return median_of_windows(
      mono, [](std::span<const float> w) { return signal::tone_frequency(w, RATE); });
}

// Takes what the buffers hold every 10 ms for `duration`, checking that no
// chunk claims a capture time after it arrived.
void collect(std::vector<std::pair<AudioBuf*, Collected*>> sources,
             steady_clock::duration duration) {
  const auto end = steady_clock::now() + duration;
  while (steady_clock::now() < end) {
    std::this_thread::sleep_for(10ms);
    for (auto& [buffer, into] : sources) {
      auto chunks = buffer->take_all();
      const auto now = steady_clock::now();  // everything taken was pushed by now
      for (auto& chunk : chunks) {
        EXPECT_LE(chunk.time, now);
        into->chunks.push_back(std::move(chunk));
        into->arrivals.push_back(now);
      }
    }
  }
}

// Capture times follow the frames: chunk k starts where the frames before it
// put it, within 20 ms per second of the span (plus 10 ms of jitter).
void expect_times_follow_frames(const Collected& got, std::size_t channels, const char* what) {
  ASSERT_FALSE(got.chunks.empty()) << what;
  const auto t0 = got.chunks.front().time;
  std::size_t frames = 0;
  int failures = 0;
  for (std::size_t i = 0; i < got.chunks.size() && failures < 3; ++i) {
    const auto& chunk = got.chunks[i];
    const double by_frames = double(frames) / RATE;
    const double by_time = std::chrono::duration<double>(chunk.time - t0).count();
    EXPECT_NEAR(by_time, by_frames, 0.010 + 0.02 * by_frames)
        << what << " chunk " << i << " at frame " << frames << ", arrived "
        << std::chrono::duration<double>(got.arrivals[i] - t0).count() << " s after t0";
    if (std::abs(by_time - by_frames) > 0.010 + 0.02 * by_frames) ++failures;
    frames += chunk.size() / channels;
  }
}

TEST_F(PulseTest, DevicesFollowTheDefaultRules) {
  Module extra(
      "module-remap-source master=headset.monitor source_name=extra "
      "source_properties=device.description=Extra channels=2");
  ASSERT_TRUE(extra.loaded());
  auto platform = make_pulse_platform();

  // Before the default output is known every sink is listed.
  auto names = [](const std::vector<OutputDeviceInfo>& list) {
    std::vector<std::string> out;
    for (const auto& d : list) out.push_back(d.name + "=" + d.id);
    return out;
  };
  EXPECT_EQ(names(platform->list_output_devices()),
            (std::vector<std::string>{"Speakers=speakers", "Headset=headset", "MicFeed=micfeed"}));
  // The probe of the default output remembers it; it leaves the list for good.
  EXPECT_EQ(platform->probe_loopback_format(std::nullopt), (AudioFormat{48000, 2, 16, false}));
  EXPECT_EQ(names(platform->list_output_devices()),
            (std::vector<std::string>{"Headset=headset", "MicFeed=micfeed"}));
  EXPECT_EQ(platform->probe_loopback_format("micfeed"), (AudioFormat{48000, 1, 16, false}));
  EXPECT_EQ(platform->probe_loopback_format("nosuch"),
            std::unexpected(std::string("PulseAudio: No such entity")));

  // Inputs: sources that are not monitors, without the default one.
  EXPECT_EQ(platform->default_input_name(), "VirtualMic");
  const InputDeviceList inputs = platform->list_input_devices();
  EXPECT_EQ(inputs.default_name, "VirtualMic");
  ASSERT_EQ(inputs.devices.size(), 1u);
  EXPECT_EQ(inputs.devices[0].name, "Extra");
  EXPECT_EQ(inputs.devices[0].config.channels, 2);
  EXPECT_EQ(inputs.devices[0].config.sample_rate, 48000u);
  EXPECT_EQ(platform->probe_input_format("VirtualMic"), (AudioFormat{48000, 1, 16, false}));
  EXPECT_EQ(platform->probe_input_format("Monitor of Headset"), std::nullopt);

  auto buffer = std::make_shared<AudioBuf>();
  EXPECT_EQ(start_input_device(*platform, "VirtualMic", buffer).error(),
            "VirtualMic: input device not found");
  EXPECT_EQ(
      start_source(*platform, {SourceKind::LoopbackDevice, "[Loopback] Nope"}, buffer).error(),
      "[Loopback] Nope: device not found");
  auto started = start_input_device(*platform, "Extra", buffer);
  ASSERT_TRUE(started.has_value()) << started.error();
  EXPECT_EQ((*started)->format(), (AudioFormat{48000, 2, 16, false}));
}

TEST_F(PulseTest, StreamsDeliverTheirTonesInTimedChunks) {
  // The devices here are 16-bit; a float device goes through the other
  // way of reading samples.
  Module floats(
      "module-remap-source master=speakers.monitor source_name=floats format=float32le "
      "source_properties=device.description=Floats channels=2");
  ASSERT_TRUE(floats.loaded());
  auto platform = make_pulse_platform();
  auto mic_buf = std::make_shared<AudioBuf>();
  auto speakers_buf = std::make_shared<AudioBuf>();
  auto headset_buf = std::make_shared<AudioBuf>();
  auto floats_buf = std::make_shared<AudioBuf>();
  auto mic = platform->start_default_mic(mic_buf);
  ASSERT_TRUE(mic.has_value()) << mic.error();
  auto floating = start_input_device(*platform, "Floats", floats_buf);
  ASSERT_TRUE(floating.has_value()) << floating.error();
  auto speakers = platform->start_loopback(std::nullopt, speakers_buf);
  ASSERT_TRUE(speakers.has_value()) << speakers.error();
  auto headset = platform->start_loopback("headset", headset_buf);
  ASSERT_TRUE(headset.has_value()) << headset.error();
  const auto started = steady_clock::now();

  Collected m, s, h, f;
  collect({{mic_buf.get(), &m},
           {speakers_buf.get(), &s},
           {headset_buf.get(), &h},
           {floats_buf.get(), &f}},
          1500ms);
  const auto collected = steady_clock::now();
  floating->reset();
  mic->reset();  // pushes its last partial chunk
  speakers->reset();
  headset->reset();
  for (auto& c : mic_buf->take_all()) m.chunks.push_back(std::move(c));
  (void)speakers_buf->take_all();
  (void)headset_buf->take_all();
  std::this_thread::sleep_for(50ms);
  // Released streams push nothing more.
  EXPECT_TRUE(mic_buf->take_all().empty());
  EXPECT_TRUE(speakers_buf->take_all().empty());
  EXPECT_TRUE(headset_buf->take_all().empty());

  // Tones at half scale, after the first 200 ms.
  const auto mic_signal = m.channel0(1, RATE / 5);
  EXPECT_NEAR(frequency(mic_signal), 1000.0, 2.0);
  EXPECT_NEAR(level(mic_signal, 1000.0), 0.5, 0.01);
  const auto speakers_signal = s.channel0(2, RATE / 5);
  EXPECT_NEAR(frequency(speakers_signal), 440.0, 1.0);
  EXPECT_NEAR(level(speakers_signal, 440.0), 0.5, 0.01);
  const auto floats_signal = f.channel0(2, RATE / 5);
  EXPECT_NEAR(frequency(floats_signal), 440.0, 1.0);
  EXPECT_NEAR(level(floats_signal, 440.0), 0.5, 0.01);

  // Input chunks hold at least 5 ms (240 mono samples), but the last one.
  for (std::size_t i = 0; i + 1 < m.chunks.size(); ++i) EXPECT_GE(m.chunks[i].size(), 240u) << i;
  // A loopback delivers whole frames, one chunk per read: the fragments we
  // ask for (a sink with players renders in their blocks).
  const std::size_t fragment = 2 * RATE * pulse::FRAGMENT_USEC / 1'000'000;
  for (const auto* got : {&s, &h}) {
    for (const auto& c : got->chunks) {
      EXPECT_EQ(c.size() % 2, 0u);
      EXPECT_LE(c.size(), 2u * 4800);
    }
  }
  std::size_t whole = 0;
  for (const auto& c : h.chunks) whole += c.size() == fragment ? 1 : 0;
  EXPECT_GE(whole * 10, h.chunks.size() * 9) << "of " << h.chunks.size();

  // The idle Headset delivers silence continuously: as many frames as time
  // passed, less at most the block on its way and what waits for the loop's
  // next look.
  EXPECT_EQ(signal::peak(h.channel0(2, 0)), 0.0f);
  ASSERT_FALSE(h.chunks.empty());
  const double passed = std::chrono::duration<double>(collected - h.chunks.front().time).count();
  const double frames = double(h.samples() / 2) / RATE;
  const double in_transit =
      pulse::FRAGMENT_USEC / 1e6 + std::chrono::duration<double>(pulse::PACE).count();
  EXPECT_LE(frames, passed + 0.03 + 0.02 * passed);
  EXPECT_GE(frames, passed - in_transit - 0.03 - 0.02 * passed);
  EXPECT_LT(h.chunks.front().time - started, 200ms);

  expect_times_follow_frames(m, 1, "mic");
  expect_times_follow_frames(s, 2, "speakers");
  expect_times_follow_frames(h, 2, "headset");
}

TEST_F(PulseTest, NoServerFailsClearlyAndAtOnce) {
  const std::string saved = std::getenv("PULSE_SERVER");
  const auto t0 = steady_clock::now();
  setenv("PULSE_SERVER", "unix:/nonexistent/quillbox/native", 1);
  auto platform = make_pulse_platform();
  EXPECT_TRUE(platform->list_output_devices().empty());
  EXPECT_TRUE(platform->list_input_devices().devices.empty());
  EXPECT_EQ(platform->default_input_name(), std::nullopt);
  auto buffer = std::make_shared<AudioBuf>();
  const std::string refused = "PulseAudio: Connection refused";
  EXPECT_EQ(platform->probe_loopback_format(std::nullopt).error(), refused);
  EXPECT_EQ(platform->start_loopback(std::nullopt, buffer).error(), refused);
  EXPECT_EQ(platform->start_default_mic(buffer).error(), refused);
  EXPECT_LT(steady_clock::now() - t0, 1s);

  // A socket that takes the connection but never answers: a bounded wait.
  const std::string path = "/tmp/quillbox-silent-" + std::to_string(getpid());
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  unlink(path.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(fd, 4), 0);
  setenv("PULSE_SERVER", ("unix:" + path).c_str(), 1);
  auto silent = make_pulse_platform();
  const auto t1 = steady_clock::now();
  EXPECT_EQ(silent->probe_loopback_format(std::nullopt).error(), "PulseAudio: Timeout");
  EXPECT_LT(steady_clock::now() - t1, 7s);
  setenv("PULSE_SERVER", saved.c_str(), 1);
  close(fd);
  unlink(path.c_str());
}

// A file whose writer waits, as on a file system that does not answer: a
// read lease makes every open for writing wait until the lease is given up.
class BlockingFile {
 public:
  explicit BlockingFile(const std::filesystem::path& path)
      : old_sigio_(std::signal(SIGIO, SIG_IGN)),  // the lease holder's notice
        fd_(::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644)) {
    held_ = fd_ >= 0 && ::fcntl(fd_, F_SETLEASE, F_RDLCK) == 0;
  }
  ~BlockingFile() {
    release();
    std::signal(SIGIO, old_sigio_);
  }
  BlockingFile(const BlockingFile&) = delete;
  BlockingFile& operator=(const BlockingFile&) = delete;
  bool held() const { return held_; }
  void release() {
    if (fd_ < 0) return;
    ::fcntl(fd_, F_SETLEASE, F_UNLCK);
    ::close(fd_);
    fd_ = -1;
  }

 private:
  void (*old_sigio_)(int);
  int fd_;
  bool held_ = false;
};

TEST_F(PulseTest, VanishedDevicesReportOnceAndOthersKeepDeliveringWhileTheErrorFileWaits) {
  Module sink(
      "module-null-sink sink_name=gone sink_properties=device.description=Gone rate=48000 "
      "channels=2");
  Module source(
      "module-remap-source master=gone.monitor source_name=gonemic "
      "source_properties=device.description=GoneMic channels=2");
  ASSERT_TRUE(sink.loaded() && source.loaded());
  auto platform = make_pulse_platform();
  auto loop_buf = std::make_shared<AudioBuf>();
  auto input_buf = std::make_shared<AudioBuf>();
  auto mic_buf = std::make_shared<AudioBuf>();
  auto loop = platform->start_loopback("gone", loop_buf);
  ASSERT_TRUE(loop.has_value()) << loop.error();
  auto input = start_input_device(*platform, "GoneMic", input_buf);
  ASSERT_TRUE(input.has_value()) << input.error();
  auto mic = platform->start_default_mic(mic_buf);
  ASSERT_TRUE(mic.has_value()) << mic.error();
  // Both streams deliver before their devices go.
  bool loop_delivered = false;
  bool input_delivered = false;
  const bool both = test_support::eventually([&] {
    loop_delivered = loop_delivered || !loop_buf->take_all().empty();
    input_delivered = input_delivered || !input_buf->take_all().empty();
    return loop_delivered && input_delivered;
  });
  EXPECT_TRUE(both) << "loopback delivered: " << loop_delivered
                    << ", input delivered: " << input_delivered;

  // The loopback's error file waits for its file system: the main loop
  // thread only records the failure; whoever takes it writes the file.
  const auto file = executable_directory().value_or(".") / LOOPBACK_ERROR_FILE;
  BlockingFile blocking(file);
  ASSERT_TRUE(blocking.held()) << "no file lease: " << std::strerror(errno);
  source.unload();
  sink.unload();
  EXPECT_TRUE(test_support::eventually([&] { return loop_buf->failed() && input_buf->failed(); }))
      << "loopback failed: " << loop_buf->failed() << ", input failed: " << input_buf->failed();
  (void)mic_buf->take_all();
  std::this_thread::sleep_for(300ms);
  std::size_t carried = 0;  // the microphone carries on: most of those 300 ms (mono)
  for (const auto& chunk : mic_buf->take_all()) carried += chunk.samples.size();
  EXPECT_GT(carried, RATE / 5);
  EXPECT_TRUE(loop_buf->failed());
  blocking.release();
  EXPECT_EQ(std::filesystem::file_size(file), 0u);

  EXPECT_EQ(take_capture_failure(*input_buf), "Mic stream error: Entity killed");
  EXPECT_EQ(take_capture_failure(*input_buf), std::nullopt);
  EXPECT_EQ(take_capture_failure(*loop_buf), "Loopback capture error: gone.monitor: Entity killed");
  EXPECT_EQ(take_capture_failure(*loop_buf), std::nullopt);
  EXPECT_EQ(shell("cat '" + file.string() + "'"), "Loopback error: gone.monitor: Entity killed");
  std::filesystem::remove(file);
  // A failed stream pushes nothing more.
  (void)loop_buf->take_all();
  (void)input_buf->take_all();
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(loop_buf->take_all().empty());
  EXPECT_TRUE(input_buf->take_all().empty());
}

std::size_t count_entries(const char* dir) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++n;
  return n;
}

// The names of the process's threads, sorted.
std::vector<std::string> thread_names() {
  std::vector<std::string> out;
  // Read in this process: a child's /proc/self is the child.
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(e.path() / "comm");
    std::string name;
    std::getline(comm, name);
    out.push_back(name);
  }
  std::ranges::sort(out);
  return out;
}

std::size_t resident_kb() {
  const std::string status = shell("grep VmRSS /proc/" + std::to_string(getpid()) + "/status");
  return std::strtoul(status.c_str() + status.find_first_of("0123456789"), nullptr, 10);
}

TEST_F(PulseTest, HundredStreamsLeaveThreadsFilesAndMemoryFlat) {
  auto platform = make_pulse_platform();
  auto round = [&](int n) {
    for (int i = 0; i < n; ++i) {
      auto buffer = std::make_shared<AudioBuf>();
      auto stream = i % 2 == 0 ? platform->start_default_mic(buffer)
                               : platform->start_loopback(std::nullopt, buffer);
      ASSERT_TRUE(stream.has_value()) << stream.error();
      std::this_thread::sleep_for(2ms);
    }
  };
  round(10);
  const auto threads = thread_names();
  const std::size_t files = count_entries("/proc/self/fd");
  [[maybe_unused]] const std::size_t rss = resident_kb();
  round(100);
  EXPECT_EQ(thread_names(), threads);
  EXPECT_EQ(count_entries("/proc/self/fd"), files);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // (The sanitizers keep freed memory aside for a while.)
  EXPECT_LT(resident_kb(), rss + 2048) << "kB before: " << rss;
#endif
}

}  // namespace
}  // namespace quillbox
