// normalize_file against `sox --norm` on the same file in the same run: ten
// minutes of 48 kHz 24-bit stereo tone peaking at a quarter of full scale.
//
// Each iteration copies the source to a fresh file (not timed), normalizes
// it, then lets sox normalize the source into a second file. The benchmark's
// time is normalize_file's; the counters give both times and sox's time as a
// multiple of ours. Without sox on PATH only normalize_file is timed.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "wav/normalize.h"
#include "wav/wav_writer.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t RATE = 48000;
constexpr int SECONDS = 600;

// The scratch directory with the source file; removed at exit.
struct Workspace {
  fs::path dir;
  fs::path source;
  std::string error;

  Workspace() {
    dir = fs::temp_directory_path() /
          ("quillbox-normalize-bench-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir);
    source = dir / "tone.wav";
    const quillbox::AudioFormat spec{RATE, 2, 24, false};
    auto writer = quillbox::WavWriter::create(source, spec);
    if (!writer) {
      error = writer.error().text;
      return;
    }
    std::vector<std::int32_t> block;
    const double step = 2.0 * std::numbers::pi * 440.0 / RATE;
    for (std::uint64_t frame = 0; frame < std::uint64_t{RATE} * SECONDS; ++frame) {
      const auto v =
          static_cast<std::int32_t>(std::lround(0.25 * 8388607.0 * std::sin(step * double(frame))));
      block.push_back(v);
      block.push_back(-v);
      if (block.size() == 16384) {
        if (auto r = writer->write_ints(block); !r) error = r.error().text;
        block.clear();
      }
    }
    if (auto r = writer->write_ints(block); !r) error = r.error().text;
    if (auto r = writer->finalize(); !r) error = r.error().text;
  }
  ~Workspace() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

const Workspace& workspace() {
  static const Workspace w;
  return w;
}

bool have_sox() {
  return std::system("command -v sox >/dev/null 2>&1") == 0;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_NormalizeTenMinutes24BitStereo(benchmark::State& state) {
  const Workspace& w = workspace();
  if (!w.error.empty()) {
    state.SkipWithError(w.error.c_str());
    return;
  }
  const fs::path copy = w.dir / "ours.wav";
  const fs::path sox_out = w.dir / "sox.wav";
  const bool sox = have_sox();
  const std::string sox_command =
      "sox --norm '" + w.source.string() + "' '" + sox_out.string() + "' 2>/dev/null";
  double ours_total = 0.0;
  double sox_total = 0.0;

  for (auto _ : state) {
    fs::copy_file(w.source, copy, fs::copy_options::overwrite_existing);
    const auto start = Clock::now();
    auto r = quillbox::normalize_file(copy);
    const double ours = seconds_since(start);
    if (!r || !*r) {
      state.SkipWithError(r ? "the tone was left unchanged" : r.error().text.c_str());
      break;
    }
    state.SetIterationTime(ours);
    ours_total += ours;

    if (sox) {
      const auto sox_start = Clock::now();
      if (std::system(sox_command.c_str()) != 0) {
        state.SkipWithError("sox --norm failed");
        break;
      }
      sox_total += seconds_since(sox_start);
    }
  }

  const auto n = static_cast<double>(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(fs::file_size(w.source)));
  state.counters["normalize_s"] = n > 0 ? ours_total / n : 0.0;
  if (sox && n > 0) {
    state.counters["sox_s"] = sox_total / n;
    state.counters["sox_over_normalize"] = sox_total / ours_total;
    std::printf("normalize_file %.3f s, sox --norm %.3f s, ratio sox/normalize %.2f\n",
                ours_total / n, sox_total / n, sox_total / ours_total);
  }
  std::error_code ec;
  fs::remove(copy, ec);
  fs::remove(sox_out, ec);
}

BENCHMARK(BM_NormalizeTenMinutes24BitStereo)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace
