// The recording engine driven as fast as it can go: the real recorder and
// processor with synthetic sources in virtual time, for 1, 2 and 4 stereo
// sources in every mode, at the session rate and resampled from 44.1 kHz.
// Figures are multiples of real time ("x_realtime"). Beside them: the cost of
// generating the synthetic audio alone, plain buffered writes of the same
// bytes, and the peak memory of a 4-source recording.

#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/buffered_file.h"
#include "base/text.h"
#include "engine/recorder.h"
#include "stepped_clock.h"
#include "synthetic_capture.h"

namespace {

using namespace quillbox;
using namespace std::chrono_literals;

constexpr auto RECORDED = 20s;  // virtual time per recording
constexpr AudioFormat SESSION{48000, 2, 24, false};

std::filesystem::path bench_dir() {
  static int counter = 0;
  auto dir =
      std::filesystem::temp_directory_path() / ("quillbox-bench-" + std::to_string(counter++));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

synthetic::SyntheticConfig sources(int count, std::uint32_t rate) {
  synthetic::SyntheticConfig c;
  for (int i = 0; i < count; ++i) {
    const std::string name = "Device " + std::to_string(i);
    c.outputs.push_back(synthetic::SyntheticDevice::output(name, "id" + std::to_string(i), rate, 2,
                                                           300.0 + 100.0 * i));
  }
  return c;
}

StartRequest request(int count, RecordMode mode, const std::filesystem::path& dir) {
  StartRequest r;
  r.output_dir = path_to_text(dir);
  r.format = SESSION;
  r.record_system = true;
  r.mode = mode;
  // outputs[0] is the default output (system audio); the rest by entry.
  for (int i = 1; i < count; ++i) r.devices.push_back("[Loopback] Device " + std::to_string(i));
  return r;
}

// VmHWM of this process in MB after the peak was reset, or -1.
double peak_rss_mb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  return -1.0;
}

void reset_peak_rss() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

void BM_Recording(benchmark::State& state, RecordMode mode) {
  const int count = static_cast<int>(state.range(0));
  const std::uint32_t rate = state.range(1) ? 44100 : 48000;
  double seconds = 0;
  reset_peak_rss();
  for (auto _ : state) {
    const auto dir = bench_dir();
    auto capture = std::make_shared<synthetic::SyntheticCapture>(sources(count, rate),
                                                                 synthetic::Timing::Stepped);
    auto clock = std::make_shared<synthetic::SteppedClock>(capture);
    RecorderEnv env;
    env.capture = capture;
    env.clock = clock;
    env.err = [](std::string_view) {};
    const auto begin = std::chrono::steady_clock::now();
    auto rec = Recorder::start(request(count, mode, dir), env);
    if (!rec || !clock->run_to(RECORDED)) {
      state.SkipWithError("recording failed");
      break;
    }
    const StopResult result = std::move(*rec).stop();
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    if (result.error) state.SkipWithError(result.error->c_str());
    std::filesystem::remove_all(dir);
  }
  state.counters["x_realtime"] =
      std::chrono::duration<double>(RECORDED).count() * double(state.iterations()) / seconds;
  if (count == 4) state.counters["peak_rss_MB"] = peak_rss_mb();
}

// What generating the synthetic audio costs without any processing.
void BM_SyntheticSourcesAlone(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const std::uint32_t rate = state.range(1) ? 44100 : 48000;
  double seconds = 0;
  for (auto _ : state) {
    auto capture = std::make_shared<synthetic::SyntheticCapture>(sources(count, rate),
                                                                 synthetic::Timing::Stepped);
    std::vector<std::shared_ptr<AudioBuf>> buffers;
    std::vector<std::unique_ptr<CaptureStream>> streams;
    for (const auto& d : capture->config().outputs) {
      buffers.push_back(std::make_shared<AudioBuf>());
      streams.push_back(std::move(*capture->start_loopback(d.id, buffers.back())));
    }
    const auto begin = std::chrono::steady_clock::now();
    const auto end = capture->now() + RECORDED;
    for (auto t = capture->now() + 5ms; t <= end; t += 5ms) {
      capture->advance_to(t);
      for (auto& b : buffers) benchmark::DoNotOptimize(b->take_all());
    }
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  }
  state.counters["x_realtime"] =
      std::chrono::duration<double>(RECORDED).count() * double(state.iterations()) / seconds;
}

// The same bytes as a recording's files, in 5 ms blocks through plain
// buffered writes: one file, or one per source.
void BM_PlainBufferedWrites(benchmark::State& state) {
  const int files = static_cast<int>(state.range(0));
  const std::size_t block_bytes = 240 * 2 * 3;
  const std::vector<std::byte> block(block_bytes, std::byte{0x5a});
  const std::size_t blocks =
      std::chrono::duration_cast<std::chrono::milliseconds>(RECORDED).count() / 5;
  double seconds = 0;
  for (auto _ : state) {
    const auto dir = bench_dir();
    const auto begin = std::chrono::steady_clock::now();
    std::vector<BufferedFile> out;
    for (int f = 0; f < files; ++f)
      out.emplace_back(std::move(*File::create(dir / ("f" + std::to_string(f)))));
    for (std::size_t b = 0; b < blocks; ++b)
      for (auto& o : out) (void)o.write(block);
    for (auto& o : out) o.close();
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::filesystem::remove_all(dir);
  }
  state.counters["x_realtime"] =
      std::chrono::duration<double>(RECORDED).count() * double(state.iterations()) / seconds;
}

void recording_args(benchmark::internal::Benchmark* b) {
  b->ArgNames({"sources", "from44k1"});
  for (int resample : {0, 1})
    for (int count : {1, 2, 4}) b->Args({count, resample});
  b->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
}

BENCHMARK_CAPTURE(BM_Recording, single, RecordMode::Single)->Apply(recording_args);
BENCHMARK_CAPTURE(BM_Recording, stems_silence, RecordMode::StemsSilence)->Apply(recording_args);
BENCHMARK_CAPTURE(BM_Recording, stems_instructed, RecordMode::StemsInstructed)
    ->Apply(recording_args);
BENCHMARK(BM_SyntheticSourcesAlone)->Apply(recording_args);
BENCHMARK(BM_PlainBufferedWrites)
    ->ArgName("files")
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);

}  // namespace
