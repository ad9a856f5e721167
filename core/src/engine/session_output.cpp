#include "engine/session_output.h"

#include <algorithm>
#include <array>
#include <utility>

#include "base/path_names.h"
#include "base/text.h"
#include "wav/wav_header.h"

namespace quillbox {
namespace {

constexpr std::array<float, 4096> SILENCE{};

// The name the instructions give a file: its name without the extension,
// which names it before and after repair.
std::string label_of(const std::filesystem::path& file) {
  return path_to_text(name_parts(file).stem);
}

}  // namespace

SessionOutput::SessionOutput(std::vector<RecpartWriter> writers,
                             std::vector<std::filesystem::path> files,
                             std::optional<BufferedFile> instructions,
                             std::filesystem::path instructions_path, PartNaming naming,
                             std::uint64_t part_size_limit, SessionRescue rescue)
    : writers_(std::move(writers)),
      files_(std::move(files)),
      instructions_(std::move(instructions)),
      instructions_path_(std::move(instructions_path)),
      rescue_(std::move(rescue)),
      naming_(naming),
      part_size_limit_(part_size_limit) {
  for (const RecpartWriter& w : writers_) labels_.push_back(label_of(w.base_path));
}

void SessionOutput::fail(std::string text) {
  if (!error_) error_ = std::move(text);
}

bool SessionOutput::write(std::size_t w, std::span<const float> samples) {
  if (error_) return false;
  RecpartWriter& writer = writers_[w];
  // The next part is named only when this write fills the current one.
  std::filesystem::path next;
  if (writer.file &&
      writer.data_bytes + samples.size() * bytes_per_sample(writer.spec) >= part_size_limit_)
    next = placed(next_part_path(writer, naming_));
  if (auto r = write_samples(writer, samples, next, files_, part_size_limit_); !r) {
    fail(r.error().text);
    return false;
  }
  return true;
}

bool SessionOutput::write_silence(std::size_t w, std::uint64_t samples) {
  while (samples > 0) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(samples, SILENCE.size()));
    if (!write(w, std::span(SILENCE.data(), n))) return false;
    samples -= n;
  }
  return true;
}

bool SessionOutput::open_segment(std::size_t w, std::uint64_t offset) {
  if (error_) return false;
  RecpartWriter& writer = writers_[w];
  if (writer.segment_started) ++writer.segment;
  writer.part = 1;
  writer.data_bytes = 0;
  writer.segment_started = true;
  const std::filesystem::path path = unique_path(placed(segment_file_path(writer, 1)));
  auto created = create_recpart_file(path, writer.spec);
  if (!created) {
    fail(created.error().text);
    return false;
  }
  set_aside(writer);
  writer.file.emplace(std::move(*created));
  writer.path = path;
  files_.push_back(path);
  labels_[w] = label_of(path);
  return instruct(w, offset);
}

bool SessionOutput::close_segment(std::size_t w) {
  RecpartWriter& writer = writers_[w];
  if (!writer.file) return !error_;
  auto finished = finish_writer(writer);
  set_aside(writer);
  if (!finished) fail(finished.error().text);
  return !error_;
}

bool SessionOutput::instruct(std::size_t w, std::uint64_t offset) {
  if (error_) return false;
  if (!instructions_) return true;
  const std::string line = std::to_string(offset) + " " + labels_[w] + "\n";
  if (auto r = instructions_->write(std::as_bytes(std::span(line.data(), line.size()))); !r) {
    fail(r.error().text);
    return false;
  }
  return true;
}

std::vector<std::filesystem::path> SessionOutput::finish() {
  for (RecpartWriter& w : writers_) {
    if (auto r = finish_writer(w); !r) fail(r.error().text);
  }
  if (instructions_) {
    if (auto r = instructions_->flush(); !r) fail(r.error().text);
  }
  save_vanished();
  // Closed before anyone hears of the files, so they can be renamed, moved
  // or deleted at once on any system.
  for (RecpartWriter& w : writers_) close_writer(w);
  if (instructions_) instructions_->close();
  return std::move(files_);
}

float SessionOutput::peak() const {
  float loudest = 0.0f;
  for (const RecpartWriter& w : writers_) loudest = std::max(loudest, w.peak);
  return loudest;
}

template <typename F>
void SessionOutput::each_open_file(const F& f) {
  for (RecpartWriter& w : writers_) {
    for (HeldFile& h : w.held) f(h.path, h.file);
    if (w.file) f(w.path, w.file->file());
  }
  if (instructions_) f(instructions_path_, instructions_->file());
}

bool SessionOutput::vanished() {
  bool gone = false;
  each_open_file([&gone](const std::filesystem::path& path, File& file) {
    // A name never known, or a question the system cannot answer, says nothing.
    if (gone || path.empty()) return;
    const auto where = file.place(path);
    gone = where && *where != FilePlace::AtName;
  });
  return gone;
}

std::filesystem::path SessionOutput::placed(const std::filesystem::path& wanted) {
  if (!vanished()) return wanted;
  // Nowhere to go: the file is tried where it was wanted, and its error stands.
  return rescue_.place(wanted).value_or(wanted);
}

void SessionOutput::save_vanished() {
  each_open_file([this](const std::filesystem::path& path, File& file) {
    if (path.empty()) return;
    const auto where = file.place(path);
    if (!where || *where == FilePlace::AtName) return;
    auto saved = rescue_.copy_out(file, path);
    if (!saved) {
      fail(path_to_text(path) + " was deleted or moved while recording and could not be saved " +
           "again: " + saved.error().text);
      return;
    }
    std::ranges::replace(files_, path, *saved);
    rescued_.push_back({path, *saved});
  });
}

}  // namespace quillbox
