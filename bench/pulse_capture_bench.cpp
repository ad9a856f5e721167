// Real recordings on the PulseAudio server (the private test server of
// scripts/lib/services.sh with its tones): what the whole process costs per
// second of recording, for 1, 2 and 4 real streams, and the processor's and
// the capture thread's shares of it. Prints figures; asserts nothing.
//
//   QUILLBOX_BENCH_SECONDS   length of each recording (default 60)

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "base/text.h"
#include "engine/recorder.h"
#include "pulse/pulse_platform.h"

namespace quillbox {
namespace {

double process_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

struct ThreadTimes {
  std::string name;
  double cpu_seconds = 0;
};

// Every thread of the process: its name and CPU time (user + system).
std::map<long, ThreadTimes> threads() {
  std::map<long, ThreadTimes> out;
  const double tick = 1.0 / double(sysconf(_SC_CLK_TCK));
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    const long tid = std::stol(entry.path().filename().string());
    std::ifstream comm(entry.path() / "comm");
    std::ifstream stat(entry.path() / "stat");
    ThreadTimes t;
    std::getline(comm, t.name);
    std::string line;
    std::getline(stat, line);
    // Fields after the parenthesised name: state is field 3; utime 14, stime 15.
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
      if (i == 14) utime = std::stod(field);
      if (i == 15) stime = std::stod(field);
    }
    t.cpu_seconds = (utime + stime) * tick;
    out[tid] = t;
  }
  return out;
}

void BM_PulseRecording(benchmark::State& state) {
  if (std::getenv("PULSE_SERVER") == nullptr) {
    state.SkipWithError("no PulseAudio server (PULSE_SERVER is unset)");
    return;
  }
  const char* env_seconds = std::getenv("QUILLBOX_BENCH_SECONDS");
  const int seconds = env_seconds != nullptr ? std::atoi(env_seconds) : 60;
  const auto streams = state.range(0);
  StartRequest request;
  request.format = AudioFormat{48000, 2, 24, false};
  request.mode = RecordMode::StemsSilence;
  request.record_system = true;
  request.record_mic = streams >= 2;
  if (streams >= 4) request.devices = {"[Loopback] Headset", "[Loopback] MicFeed"};
  const auto dir =
      std::filesystem::temp_directory_path() / ("quillbox-pulse-bench-" + std::to_string(getpid()));

  double cpu = 0, wall = 0, processor = 0, capture = 0;
  for (auto _ : state) {
    std::filesystem::create_directories(dir);
    request.output_dir = path_to_text(dir);
    RecorderEnv env;
    env.capture = make_pulse_platform();
    const auto before = threads();
    const double cpu0 = process_cpu_seconds();
    const auto wall0 = std::chrono::steady_clock::now();
    auto rec = Recorder::start(request, env);
    if (!rec) {
      state.SkipWithError(rec.error().text.c_str());
      break;
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    // Threads started by the recording: libpulse's main loop and the processor.
    for (const auto& [tid, t] : threads()) {
      if (before.contains(tid)) continue;
      (t.name == "threaded-ml" ? capture : processor) += t.cpu_seconds;
    }
    cpu += process_cpu_seconds() - cpu0;
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    const StopResult result = std::move(*rec).stop();
    if (result.error) state.SkipWithError(result.error->c_str());
    std::filesystem::remove_all(dir);
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["cpu_percent_of_wall"] = 100.0 * cpu / wall;
  state.counters["processor_share_percent"] = cpu > 0 ? 100.0 * processor / cpu : 0;
  state.counters["capture_thread_share_percent"] = cpu > 0 ? 100.0 * capture / cpu : 0;
  state.counters["peak_rss_mb"] = double(usage.ru_maxrss) / 1024.0;
}
BENCHMARK(BM_PulseRecording)
    ->ArgName("streams")
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace quillbox
