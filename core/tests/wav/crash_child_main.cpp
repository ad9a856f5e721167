// The child of the crash-safety test: records the seeded stream of
// crash_stream.h into "crash.recpart" in its current directory through a real
// RecpartWriter, until the test kills it.
//
//   quillbox_crash_child {16|24|float} SEED PART_SIZE_LIMIT
//
// After every batch it prints, on its own line, how many sample bytes have
// reached the file so far (finished parts plus the flushed share of the
// current one). A number is printed only after the bytes it counts were
// handed to the system, so it is a lower bound for what a kill leaves behind.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "crash_stream.h"
#include "wav/recpart_writer.h"

namespace {

// Enough for every kill the test makes; a child that gets this far
// finishes its file and waits.
constexpr std::uint64_t STREAM_CAP = 64u << 20;

void report(std::uint64_t flushed) {
  std::printf("%llu\n", static_cast<unsigned long long>(flushed));
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quillbox;
  if (argc != 4) {
    std::fprintf(stderr, "usage: quillbox_crash_child {16|24|float} SEED PART_SIZE_LIMIT\n");
    return 2;
  }
  const auto spec = crash::spec_named(argv[1]);
  if (!spec) return 2;
  const std::uint64_t seed = std::strtoull(argv[2], nullptr, 10);
  const std::uint64_t limit = std::strtoull(argv[3], nullptr, 10);
  const std::uint64_t sample_bytes = bytes_per_sample(*spec);
  const std::uint64_t header = header_size(*spec);

  RecpartWriter writer;
  writer.base_path = "crash.recpart";
  writer.spec = *spec;
  auto file = create_recpart_file(writer.base_path, *spec);
  if (!file) {
    std::fprintf(stderr, "%s\n", file.error().text.c_str());
    return 3;
  }
  writer.file.emplace(std::move(*file));
  std::vector<std::filesystem::path> files{writer.base_path};

  std::uint64_t index = 0;
  std::uint64_t finished_parts = 0;  // sample bytes of parts already rolled over
  std::uint64_t reported = 0;
  std::vector<float> batch;
  for (std::uint64_t b = 0; finished_parts + writer.data_bytes < STREAM_CAP; ++b) {
    batch.resize(crash::batch_size(seed, b));
    for (float& s : batch) s = crash::sample_at(seed, index++);
    const std::uint64_t before = writer.data_bytes;
    const std::uint32_t part = writer.part;
    auto written =
        write_samples(writer, batch, next_part_path(writer, PartNaming::PerSource), files, limit);
    if (!written) {
      std::fprintf(stderr, "%s\n", written.error().text.c_str());
      return 4;
    }
    if (writer.part != part) finished_parts += before + batch.size() * sample_bytes;
    // Everything put into the current file (header included) minus what
    // still waits in the buffer has been written.
    const std::uint64_t in_file = header + writer.data_bytes - writer.file->buffered();
    const std::uint64_t flushed = finished_parts + (in_file > header ? in_file - header : 0);
    if (flushed != reported) report(reported = flushed);
  }
  if (!finish_writer(writer)) return 5;
  close_writer(writer);
  report(finished_parts + writer.data_bytes);
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}
