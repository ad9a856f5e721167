// Prints the CPU time the capture path takes per second of audio:
//   - one loopback stream on a scripted fake device, drained at full speed
//     (10 ms packets of 48 kHz stereo float);
//   - one input stream of "Monitor of Speakers" in real time, when a sound
//     server is reachable (under Wine this includes Wine's own audio threads
//     in the process).
// Figures are printed, never judged.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "engine/input_chunker.h"
#include "fake_audio.h"
#include "wasapi/loopback_stream.h"
#include "wasapi/wasapi_platform.h"

namespace {

using namespace std::chrono_literals;
using namespace quillbox;

double process_cpu_seconds() {
  FILETIME created, exited, kernel, user;
  ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
  const auto seconds = [](const FILETIME& t) {
    return double((std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime) / 1e7;
  };
  return seconds(kernel) + seconds(user);
}

void loopback_at_full_speed() {
  constexpr std::size_t PACKETS = 6000;  // 60 s of audio
  constexpr UINT32 FRAMES = 480;
  auto script = std::make_shared<fake::Script>();
  script->mix = fake::mix_format(48000, 2, true);
  std::vector<float> samples(FRAMES * 2);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = float(i % 200) / 100.0f - 1.0f;
  std::vector<unsigned char> bytes(samples.size() * sizeof(float));
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  for (std::size_t i = 0; i < PACKETS; ++i) script->add({bytes, FRAMES, 0, 0});

  auto buffer = std::make_shared<AudioBuf>();
  wasapi::StreamSettings settings;
  settings.poll_interval = 0us;
  settings.keep_device_playing = false;
  const double cpu0 = process_cpu_seconds();
  const auto wall0 = std::chrono::steady_clock::now();
  std::size_t chunks = 0;
  {
    wasapi::LoopbackStream stream(
        [&]() -> std::expected<wasapi::ComPtr<IMMDevice>, std::string> {
          return wasapi::ComPtr<IMMDevice>(new fake::Device(script));
        },
        buffer, AudioFormat{48000, 2, 32, true}, settings);
    // Until the fake's queue is empty and everything read is taken.
    while (script->queued() > 0) {
      chunks += buffer->take_all().size();
      std::this_thread::sleep_for(1ms);
    }
  }
  chunks += buffer->take_all().size();
  const double cpu = process_cpu_seconds() - cpu0;
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  std::printf(
      "loopback (fake device, full speed): %zu chunks of 6000 packets (60 s of audio; the "
      "buffer keeps at most 4000 queued) in %.3f s wall, "
      "%.3f s CPU: %.2f ms CPU per second of audio (fake's own work included)\n",
      chunks, wall, cpu, cpu * 1000.0 / 60.0);
}

void input_in_real_time() {
  auto platform = make_wasapi_platform();
  auto buffer = std::make_shared<AudioBuf>();
  auto stream = start_input_device(*platform, "Monitor of Speakers", buffer);
  if (!stream) {
    std::printf("input stream: not measured (%s)\n", stream.error().c_str());
    return;
  }
  const AudioFormat format = (*stream)->format();
  // Settle past the first late packets, then measure.
  std::this_thread::sleep_for(1500ms);
  buffer->take_all();
  const double cpu0 = process_cpu_seconds();
  std::size_t samples = 0;
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(100ms);
    for (const auto& c : buffer->take_all()) samples += c.size();
  }
  const double cpu = process_cpu_seconds() - cpu0;
  const double audio = double(samples) / format.channels / format.sample_rate;
  std::printf(
      "input stream (Monitor of Speakers, %u Hz %u ch): %.2f s of audio, %.3f s CPU: "
      "%.2f ms CPU per second of audio (whole process)\n",
      format.sample_rate, unsigned(format.channels), audio, cpu,
      audio > 0 ? cpu * 1000.0 / audio : 0.0);
}

}  // namespace

int main() {
  loopback_at_full_speed();
  input_in_real_time();
  return 0;
}
