// Throughput of the recording writer against plain buffered writing of the
// same bytes. One iteration records 60 s of 48 kHz stereo in 5 ms blocks, as
// the processor does, through RecpartWriter (convert + buffer + header
// patch), then writes the same number of bytes, already encoded, through a
// BufferedFile and through stdio's fwrite. The counters give MB/s of each and
// writer/plain, the writer's share of plain buffered speed (1.0 = no cost
// for converting).

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "base/buffered_file.h"
#include "wav/recpart_writer.h"

namespace {

using namespace quillbox;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t RATE = 48000;
constexpr std::size_t CHANNELS = 2;
constexpr std::size_t SECONDS = 60;
constexpr std::size_t BLOCK = RATE / 200 * CHANNELS;  // 5 ms
constexpr std::size_t BLOCKS = SECONDS * 200;

// A private directory under the system's temporary folder for the whole run.
struct Scratch {
  fs::path dir =
      fs::temp_directory_path() /
      ("quillbox-writer-bench-" + std::to_string(Clock::now().time_since_epoch().count()));
  Scratch() { fs::create_directories(dir); }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};
const Scratch SCRATCH;

// One second of a tone with a little noise, cycled through.
const std::vector<float>& source() {
  static const std::vector<float> samples = [] {
    std::vector<float> s(RATE * CHANNELS);
    std::uint32_t noise = 1;
    for (std::size_t i = 0; i < s.size(); ++i) {
      noise = noise * 1664525u + 1013904223u;
      s[i] =
          0.8f * std::sin(float(i / CHANNELS) * 0.0576f) + float(noise >> 8) / 16777216.0f * 0.1f;
    }
    return s;
  }();
  return samples;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double record_with_writer(const AudioFormat& spec, const fs::path& path) {
  const auto& src = source();
  const auto start = Clock::now();
  RecpartWriter writer;
  writer.base_path = path;
  writer.spec = spec;
  writer.file.emplace(*create_recpart_file(path, spec));
  std::vector<fs::path> files{path};
  const fs::path next = next_part_path(writer, PartNaming::PerSource);
  for (std::size_t b = 0, at = 0; b < BLOCKS; ++b, at = (at + BLOCK) % src.size()) {
    if (!write_samples(writer, std::span(src).subspan(at, BLOCK), next, files)) std::abort();
  }
  if (!finish_writer(writer)) std::abort();
  close_writer(writer);
  const double seconds = seconds_since(start);
  fs::remove(path);
  return seconds;
}

double write_plain(std::span<const std::byte> encoded, std::size_t block_bytes,
                   const fs::path& path) {
  const auto start = Clock::now();
  BufferedFile out(*File::create(path));
  for (std::size_t b = 0, at = 0; b < BLOCKS; ++b, at = (at + block_bytes) % encoded.size()) {
    if (!out.write(encoded.subspan(at, block_bytes))) std::abort();
  }
  if (!out.flush()) std::abort();
  out.close();
  const double seconds = seconds_since(start);
  fs::remove(path);
  return seconds;
}

double write_stdio(std::span<const std::byte> encoded, std::size_t block_bytes,
                   const fs::path& path) {
  const auto start = Clock::now();
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) std::abort();
  for (std::size_t b = 0, at = 0; b < BLOCKS; ++b, at = (at + block_bytes) % encoded.size()) {
    if (std::fwrite(encoded.data() + at, 1, block_bytes, out) != block_bytes) std::abort();
  }
  std::fclose(out);
  const double seconds = seconds_since(start);
  fs::remove(path);
  return seconds;
}

void writer_vs_plain(benchmark::State& state, AudioFormat spec) {
  const std::size_t sample_bytes = bytes_per_sample(spec);
  const std::size_t block_bytes = BLOCK * sample_bytes;
  const std::size_t total = BLOCKS * block_bytes;
  // The plain writers get one second of bytes in the file's own encoding
  // (the content does not matter to them, only the amount).
  const std::vector<std::byte> encoded(source().size() * sample_bytes, std::byte{0x2A});
  const fs::path path = SCRATCH.dir / "bench.recpart";

  double writer_s = 0, plain_s = 0, stdio_s = 0;
  for (auto _ : state) {
    const double w = record_with_writer(spec, path);
    plain_s += write_plain(encoded, block_bytes, path);
    stdio_s += write_stdio(encoded, block_bytes, path);
    writer_s += w;
    state.SetIterationTime(w);
  }
  const double bytes = double(total) * double(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.counters["writer_MB/s"] = bytes / writer_s / 1e6;
  state.counters["plain_MB/s"] = bytes / plain_s / 1e6;
  state.counters["fwrite_MB/s"] = bytes / stdio_s / 1e6;
  state.counters["writer/plain"] = plain_s / writer_s;
}

// Conversion and buffering alone: the same recording into the null device.
void writer_without_disk(benchmark::State& state, AudioFormat spec) {
  const auto& src = source();
  for (auto _ : state) {
    RecpartWriter writer;
    writer.base_path = "/dev/null";
    writer.spec = spec;
    writer.file.emplace(*create_recpart_file(writer.base_path, spec));
    std::vector<fs::path> files;
    for (std::size_t b = 0, at = 0; b < BLOCKS; ++b, at = (at + BLOCK) % src.size()) {
      if (!write_samples(writer, std::span(src).subspan(at, BLOCK), "/dev/null", files))
        std::abort();
    }
    close_writer(writer);
  }
  const double samples = double(BLOCKS * BLOCK) * double(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(samples * double(bytes_per_sample(spec))));
  state.counters["samples/s"] = benchmark::Counter(samples, benchmark::Counter::kIsRate);
}

BENCHMARK_CAPTURE(writer_without_disk, int16, AudioFormat{48000, 2, 16, false})
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(writer_without_disk, int24, AudioFormat{48000, 2, 24, false})
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(writer_without_disk, float32, AudioFormat{48000, 2, 32, true})
    ->Unit(benchmark::kMillisecond);

BENCHMARK_CAPTURE(writer_vs_plain, int16, AudioFormat{48000, 2, 16, false})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);
BENCHMARK_CAPTURE(writer_vs_plain, int24, AudioFormat{48000, 2, 24, false})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);
BENCHMARK_CAPTURE(writer_vs_plain, float32, AudioFormat{48000, 2, 32, true})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

}  // namespace
