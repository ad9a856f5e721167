// How long the end of a recording takes after a long one: the real recorder
// and processor with synthetic sources in virtual time record for
// QUILLBOX_BENCH_MINUTES (default 60) of audio, 48 kHz 16-bit stereo, in
// each layout; then the stop (processor drained and joined, files finished)
// and the finish's work on the files (each made a .wav) are timed, beside
// what reading the files back for their peak takes, which the normalize
// offer no longer does. Prints figures in milliseconds; asserts nothing.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "base/text.h"
#include "engine/recorder.h"
#include "stepped_clock.h"
#include "synthetic_capture.h"
#include "wav/normalize.h"
#include "wav/repair.h"

namespace {

using namespace quillbox;
using namespace std::chrono_literals;
using std::chrono::steady_clock;

double ms_since(steady_clock::time_point begin) {
  return std::chrono::duration<double, std::milli>(steady_clock::now() - begin).count();
}

void BM_StopAfterLongRecording(benchmark::State& state, RecordMode mode) {
  const char* env_minutes = std::getenv("QUILLBOX_BENCH_MINUTES");
  const int minutes = env_minutes != nullptr ? std::atoi(env_minutes) : 60;
  synthetic::SyntheticConfig config;
  config.outputs.push_back(synthetic::SyntheticDevice::output("Speakers", "spk", 48000, 2, 440.0));
  config.inputs.push_back(synthetic::SyntheticDevice::input("Mic", 48000, 1, 1000.0));
  config.default_input = 0;
  double stop_ms = 0, finish_ms = 0, read_back_ms = 0;
  for (auto _ : state) {
    const auto dir = std::filesystem::temp_directory_path() / "quillbox-stop-bench";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    auto capture =
        std::make_shared<synthetic::SyntheticCapture>(config, synthetic::Timing::Stepped);
    auto clock = std::make_shared<synthetic::SteppedClock>(capture);
    RecorderEnv env;
    env.capture = capture;
    env.clock = clock;
    env.err = [](std::string_view) {};
    // A single file leaves the microphone unused: the case of the normalize offer.
    StartRequest request;
    request.output_dir = path_to_text(dir);
    request.format = AudioFormat{48000, 2, 16, false};
    request.record_system = true;
    request.record_mic = mode != RecordMode::Single;
    request.mode = mode;
    auto rec = Recorder::start(request, env);
    if (!rec || !clock->run_to(std::chrono::minutes(minutes))) {
      state.SkipWithError("recording failed");
      break;
    }
    auto begin = steady_clock::now();
    const StopResult result = std::move(*rec).stop();
    stop_ms += ms_since(begin);
    if (result.error) state.SkipWithError(result.error->c_str());
    std::vector<std::filesystem::path> wavs;
    begin = steady_clock::now();
    for (const auto& file : result.files)
      if (auto wav = repair_file(file)) wavs.push_back(*wav);
    finish_ms += ms_since(begin);
    begin = steady_clock::now();
    for (const auto& wav : wavs) benchmark::DoNotOptimize(wav_peak(wav));
    read_back_ms += ms_since(begin);
    std::filesystem::remove_all(dir);
  }
  const double n = double(state.iterations());
  state.counters["minutes"] = minutes;
  state.counters["stop_ms"] = stop_ms / n;
  state.counters["files_ms"] = finish_ms / n;
  state.counters["read_back_peak_ms"] = read_back_ms / n;
}

BENCHMARK_CAPTURE(BM_StopAfterLongRecording, single, RecordMode::Single)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_StopAfterLongRecording, silence_stems, RecordMode::StemsSilence)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_StopAfterLongRecording, instructed_stems, RecordMode::StemsInstructed)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace
