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
                             std::uint64_t part_size_limit, SessionRescue rescue,
                             std::shared_ptr<LiveFiles> live)
    : writers_(std::move(writers)),
      files_(std::move(files)),
      instructions_(std::move(instructions)),
      instructions_path_(std::move(instructions_path)),
      rescue_(std::move(rescue)),
      live_(std::move(live)),
      naming_(naming),
      part_size_limit_(part_size_limit),
      waiting_(writers_.size()),
      ends_(writers_.size(), 0),
      mark_frames_(std::max<std::uint64_t>(
          writers_.empty() ? 1 : writers_[0].spec.sample_rate / FLUSH_MARKS_PER_SECOND, 1)) {
  for (const RecpartWriter& w : writers_) labels_.push_back(label_of(w.base_path));
}

namespace {

std::size_t channels_of(const RecpartWriter& writer) {
  return std::max<std::size_t>(writer.spec.channels, 1);
}

}  // namespace

void SessionOutput::fail(std::string text) {
  if (!error_) error_ = std::move(text);
}

bool SessionOutput::write(std::size_t w, std::span<const float> samples) {
  if (error_) return false;
  // A writer between two segments has no file to take anything.
  if (!writers_[w].file) return true;
  waiting_[w].insert(waiting_[w].end(), samples.begin(), samples.end());
  ends_[w] += samples.size() / channels_of(writers_[w]);
  return flush_at_marks();
}

bool SessionOutput::flush_at_marks() {
  std::uint64_t reached = UINT64_MAX;
  for (std::size_t w = 0; w < writers_.size(); ++w)
    if (writers_[w].file) reached = std::min(reached, ends_[w]);
  if (reached == UINT64_MAX) return true;
  const std::uint64_t mark = reached - reached % mark_frames_;
  if (mark <= flushed_to_) return true;
  for (std::size_t w = 0; w < writers_.size(); ++w) {
    if (!writers_[w].file || !release(w, mark)) continue;
    if (auto r = writers_[w].file->flush(); !r) fail(r.error().text);
  }
  flushed_to_ = mark;
  return !error_;
}

bool SessionOutput::release(std::size_t w, std::uint64_t until) {
  std::vector<float>& waiting = waiting_[w];
  const std::size_t channels = channels_of(writers_[w]);
  const std::uint64_t begins = ends_[w] - waiting.size() / channels;
  if (until <= begins) return true;
  const auto n = static_cast<std::size_t>(
      std::min<std::uint64_t>((until - begins) * channels, waiting.size()));
  const bool written = write_through(w, std::span(waiting).first(n));
  waiting.erase(waiting.begin(), waiting.begin() + static_cast<std::ptrdiff_t>(n));
  return written;
}

bool SessionOutput::write_through(std::size_t w, std::span<const float> samples) {
  if (error_) return false;
  RecpartWriter& writer = writers_[w];
  // The next part is named only when this write fills the current one, at
  // the free name it will be created at.
  std::filesystem::path next;
  if (writer.file &&
      writer.data_bytes + samples.size() * bytes_per_sample(writer.spec) >= part_size_limit_) {
    next = unique_path(placed(next_part_path(writer, naming_)));
    announce(next);
  }
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
  ends_[w] = offset;
  if (writer.segment_started) ++writer.segment;
  writer.part = 1;
  writer.data_bytes = 0;
  writer.segment_started = true;
  const std::filesystem::path path = unique_path(placed(segment_file_path(writer, 1)));
  announce(path);
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
  release(w, UINT64_MAX);
  auto finished = finish_writer(writer);
  set_aside(writer);
  if (!finished) fail(finished.error().text);
  return !error_;
}

bool SessionOutput::instruct(std::size_t w, std::uint64_t offset) {
  if (error_) return false;
  if (!instructions_) return true;
  const std::string line = std::to_string(offset) + " " + labels_[w] + "\n";
  // On its way to the disk at once: after a crash every segment there is
  // still has its line.
  auto r = instructions_->write(std::as_bytes(std::span(line.data(), line.size())));
  if (r) r = instructions_->flush();
  if (!r) {
    fail(r.error().text);
    return false;
  }
  return true;
}

std::vector<std::filesystem::path> SessionOutput::finish() {
  for (std::size_t w = 0; w < writers_.size(); ++w) {
    release(w, UINT64_MAX);
    if (auto r = finish_writer(writers_[w]); !r) fail(r.error().text);
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

void SessionOutput::announce(const std::filesystem::path& path) {
  if (live_) live_->add(path);
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
