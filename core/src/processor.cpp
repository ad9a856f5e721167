#include "processor.h"

#include <algorithm>
#include <array>
#include <limits>
#include <string>
#include <utility>

#include "console.h"
#include "path_names.h"
#include "text.h"
#include "wav_header.h"

namespace quillbox {
namespace {

constexpr std::uint32_t saturating_inc(std::uint32_t n) {
  return n == std::numeric_limits<std::uint32_t>::max() ? n : n + 1;
}

// The name instructions.txt gives a segment: its first file without the
// extension, which names the file before and after repair.
std::string label_of(const std::filesystem::path& first_file) {
  return path_to_text(name_parts(first_file).stem);
}

class Processor {
 public:
  explicit Processor(ProcessorSetup& setup) : s_(setup) {
    const std::size_t n = s_.sources.size();
    prev_active_.resize(n);
    cur_.resize(n);
    empty_passes_.assign(n, 0);
    file_frames_.assign(n, 0);
    chunks_.resize(n);
    labels_.resize(s_.writers.size());
    for (std::size_t i = 0; i < s_.writers.size(); ++i)
      labels_[i] = label_of(s_.writers[i].base_path);
    for (const ProcessorSource& src : s_.sources) {
      lanes_.emplace_back(src.native_rate, src.native_channels, src.spec, s_.err);
      const std::size_t frames = std::max<std::size_t>(src.spec.sample_rate * 5 / 1000, 1);
      block_samples_.push_back(frames * src.spec.channels);
    }
    if (!s_.clock) s_.clock = real_pass_clock();
  }

  void run() {
    for (std::size_t i = 0; i < s_.sources.size(); ++i) {
      prev_active_[i] = s_.sources[i].enabled->load();
      if (prev_active_[i] && s_.instructions) append_instruction(0, labels_[i]);
    }
    last_busy_ = s_.clock->now();
    while (pass()) {
    }
    finish();
  }

 private:
  bool instructed() const { return s_.mode == RecordMode::StemsInstructed; }
  bool single() const { return s_.mode != RecordMode::StemsSilence && !instructed(); }
  std::uint16_t channels(std::size_t i) const {
    return std::max<std::uint16_t>(s_.sources[i].spec.channels, 1);
  }
  std::size_t mix_channels() const {
    return std::max<std::uint16_t>(s_.writers[0].spec.channels, 1);
  }
  std::size_t mix_block() const {
    const OutputSpec& spec = s_.writers[0].spec;
    return std::max<std::size_t>(spec.sample_rate * 5 / 1000, 1) * mix_channels();
  }

  // A capture that ended by itself is told once on standard error; the
  // other sources record on.
  void report_stream_failure(std::size_t i) {
    if (!s_.sources[i].buffer->failed()) return;
    if (auto line = s_.sources[i].buffer->take_failure()) {
      const std::string text = *line + "\n";
      if (s_.err) {
        s_.err(text);
      } else {
        write_stderr(text);
      }
    }
  }

  void fail(std::string text) {
    if (!first_error_) first_error_ = std::move(text);
  }

  // One pass; false when the loop ends.
  bool pass() {
    s_.clock->sleep_for(POLL_INTERVAL, *s_.stop_flag);
    for (std::size_t i = 0; i < s_.sources.size(); ++i) {
      chunks_[i] = s_.sources[i].buffer->take_all();
      report_stream_failure(i);
    }
    const bool stop = s_.stop_flag->load();
    for (std::size_t i = 0; i < s_.sources.size(); ++i) cur_[i] = s_.sources[i].enabled->load();
    now_ = s_.clock->now();

    switches();
    if (first_error_) return false;
    feed();
    if (stop) {
      drain();
      return false;
    }
    if (!instructed()) {
      // Audio of a switched-off source is never written.
      for (std::size_t i = 0; i < lanes_.size(); ++i) {
        if (!cur_[i]) {
          lanes_[i].clear();
          empty_passes_[i] = 0;
        }
      }
    }
    if (single())
      write_single();
    else
      write_stems();
    return !first_error_;
  }

  void switches() {
    for (std::size_t i = 0; i < s_.sources.size(); ++i) {
      if (cur_[i] == prev_active_[i]) continue;
      if (instructed()) {
        if (cur_[i])
          open_segment(i);
        else
          close_segment(i);
      }
      prev_active_[i] = cur_[i];
    }
  }

  void open_segment(std::size_t i) {
    RecpartWriter& w = s_.writers[i];
    if (w.segment_started) ++w.segment;
    w.part = 1;
    w.data_bytes = 0;
    w.segment_started = true;
    const std::filesystem::path path = unique_path(segment_file_path(w, 1));
    auto created = create_recpart_file(path, w.spec);
    if (!created) {
      fail(created.error().text);
      return;
    }
    close_writer(w);
    w.file.emplace(std::move(*created));
    s_.files.push_back(path);
    labels_[i] = label_of(path);
    append_instruction(offset_, labels_[i]);
  }

  void close_segment(std::size_t i) {
    RecpartWriter& w = s_.writers[i];
    if (w.file) {
      (void)w.file->flush();
      (void)patch_header(w.file->file(), w.spec);
      close_writer(w);
    }
    lanes_[i].clear();
    empty_passes_[i] = 0;
  }

  void append_instruction(std::uint64_t offset, const std::string& label) {
    const std::string line = std::to_string(offset) + " " + label + "\n";
    (void)s_.instructions->write(std::as_bytes(std::span(line.data(), line.size())));
  }

  void feed() {
    bool feeding = true;
    for (std::size_t i = 0; i < s_.sources.size(); ++i) {
      std::vector<Chunk>& chunks = chunks_[i];
      if (chunks.empty()) {
        if (cur_[i] && lanes_[i].queue().empty())
          empty_passes_[i] = saturating_inc(empty_passes_[i]);
        continue;
      }
      empty_passes_[i] = 0;
      for (const Chunk& chunk : chunks) {
        if (!feeding) break;
        if (auto r = lanes_[i].feed(i, chunk.samples); !r) {
          fail(r.error());
          feeding = false;
        }
      }
      chunks.clear();
    }
  }

  bool starved(std::size_t i) const { return empty_passes_[i] >= STARVED_PASSES; }

  // Writes through writer `w`, naming a new part only when this write fills the current one.
  bool write(std::size_t w, std::span<const float> samples) {
    RecpartWriter& writer = s_.writers[w];
    std::filesystem::path next;
    if (writer.file &&
        writer.data_bytes + samples.size() * bytes_per_sample(writer.spec) >= s_.part_size_limit)
      next = next_part_path(writer, single() ? PartNaming::MixedFile : PartNaming::PerSource);
    if (auto r = write_samples(writer, samples, next, s_.files, s_.part_size_limit); !r) {
      fail(r.error().text);
      return false;
    }
    return true;
  }

  bool write_silence(std::size_t w, std::uint64_t samples) {
    while (samples > 0) {
      const std::size_t n =
          static_cast<std::size_t>(std::min<std::uint64_t>(samples, SILENCE.size()));
      if (!write(w, std::span(SILENCE.data(), n))) return false;
      samples -= n;
    }
    return true;
  }

  // Mixes n samples of the enabled sources, each scaled by 1/mix_divisor,
  // clamped, into writer 0.
  bool mix_and_write(std::size_t n) {
    mix_.assign(n, 0.0f);
    const float gain = 1.0f / static_cast<float>(s_.mix_divisor);
    for (std::size_t i = 0; i < lanes_.size(); ++i) {
      if (!cur_[i]) continue;
      SampleQueue& q = lanes_[i].queue();
      const std::size_t k = std::min(n, q.size());
      const float* src = q.front(k).data();
      for (std::size_t j = 0; j < k; ++j) mix_[j] += src[j] * gain;
      q.pop(k);
    }
    for (float& v : mix_) v = std::clamp(v, -1.0f, 1.0f);
    return write(0, mix_);
  }

  // Whole blocks of `block_frames` that fit into the time since the last pass
  // with an enabled source, less those already given out for it.
  std::uint64_t idle_blocks_due(std::size_t block_frames, std::uint32_t rate) {
    if (!idle_) {
      idle_ = true;
      idle_start_ = last_busy_;
      idle_blocks_ = 0;
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now_ - idle_start_);
    const auto ns = static_cast<std::uint64_t>(std::max<std::int64_t>(elapsed.count(), 0));
    // Frames that really passed, without overflow for any realistic duration.
    const std::uint64_t frames =
        ns / 1'000'000'000 * rate + ns % 1'000'000'000 * rate / 1'000'000'000;
    const std::uint64_t due = frames / block_frames;
    const std::uint64_t fresh = due > idle_blocks_ ? due - idle_blocks_ : 0;
    idle_blocks_ = std::max(idle_blocks_, due);
    return fresh;
  }

  void mark_busy() {
    idle_ = false;
    last_busy_ = now_;
  }

  bool any_enabled() const { return std::ranges::find(cur_, true) != cur_.end(); }

  void write_single() {
    const std::size_t block = mix_block();
    if (!any_enabled()) {
      // Nothing is switched on: the file still grows with the time that passes.
      const std::uint64_t blocks =
          idle_blocks_due(block / mix_channels(), s_.writers[0].spec.sample_rate);
      for (std::uint64_t b = 0; b < blocks; ++b) {
        mix_.assign(block, 0.0f);
        if (!write(0, mix_)) return;
        offset_ += block / mix_channels();
      }
      return;
    }
    mark_busy();
    for (;;) {
      for (std::size_t i = 0; i < lanes_.size(); ++i) {
        if (cur_[i] && lanes_[i].queue().size() < block && !starved(i)) return;
      }
      if (!mix_and_write(block)) return;
      offset_ += block / mix_channels();
      bool more = false;
      for (std::size_t i = 0; i < lanes_.size(); ++i) {
        if (!cur_[i]) continue;
        if (lanes_[i].queue().empty())
          empty_passes_[i] = saturating_inc(empty_passes_[i]);
        else
          more = true;
      }
      if (!more) return;
    }
  }

  void write_stems() {
    std::uint64_t most_frames = 0;
    for (std::size_t i = 0; i < lanes_.size(); ++i) {
      if (!cur_[i]) continue;
      SampleQueue& q = lanes_[i].queue();
      const std::size_t block = block_samples_[i];
      std::uint64_t frames = 0;
      while (q.size() >= block || (starved(i) && !q.empty())) {
        const std::size_t n = std::min(block, q.size());
        if (!write(i, q.front(n))) return;
        q.pop(n);
        frames += n / channels(i);
        if (q.empty()) empty_passes_[i] = saturating_inc(empty_passes_[i]);
      }
      file_frames_[i] += frames;
      most_frames = std::max(most_frames, frames);
    }
    if (instructed()) {
      offset_ += most_frames;
    } else {
      keep_aligned();
    }
  }

  // Silence-filled stems stay level: the timeline is the longest file among
  // the enabled sources, or, with none enabled, grows by the whole blocks of
  // time that pass; every disabled source is filled with silence up to it.
  void keep_aligned() {
    if (lanes_.empty()) return;
    if (any_enabled()) {
      mark_busy();
      std::uint64_t longest = 0;
      for (std::size_t i = 0; i < lanes_.size(); ++i)
        if (cur_[i]) longest = std::max(longest, file_frames_[i]);
      timeline_ = longest;
    } else {
      const std::size_t frames = block_samples_[0] / channels(0);
      timeline_ += idle_blocks_due(frames, s_.sources[0].spec.sample_rate) * frames;
    }
    for (std::size_t i = 0; i < lanes_.size(); ++i) {
      if (cur_[i] || file_frames_[i] >= timeline_) continue;
      const std::uint64_t frames = timeline_ - file_frames_[i];
      if (!write_silence(i, frames * channels(i))) return;
      file_frames_[i] = timeline_;
    }
  }

  // The stop was seen: write what the enabled sources still hold, including
  // what their resamplers hold back.
  void drain() {
    for (std::size_t i = 0; i < lanes_.size(); ++i) {
      if (cur_[i])
        lanes_[i].flush_tail();
      else
        lanes_[i].clear();
    }
    if (single()) {
      const std::size_t block = mix_block();
      for (;;) {
        std::size_t longest = 0;
        for (const SourceLane& lane : lanes_) longest = std::max(longest, lane.queue().size());
        std::size_t n = std::min(longest, block);
        n -= n % mix_channels();
        if (n == 0 || !mix_and_write(n)) return;
      }
    }
    for (std::size_t i = 0; i < lanes_.size(); ++i) {
      SampleQueue& q = lanes_[i].queue();
      while (!q.empty()) {
        const std::size_t n = std::min(block_samples_[i], q.size());
        if (!write(i, q.front(n))) return;
        q.pop(n);
        file_frames_[i] += n / channels(i);
      }
    }
    if (s_.mode == RecordMode::StemsSilence && any_enabled()) keep_aligned();
  }

  void finish() {
    for (RecpartWriter& w : s_.writers) {
      if (!w.file) continue;
      if (auto r = finish_writer(w); !r) fail(r.error().text);
    }
    if (s_.instructions) (void)s_.instructions->flush();
    if (first_error_) {
      std::lock_guard lock(s_.error->mutex);
      s_.error->text = *first_error_;
    }
    // Closed before the report, so whoever receives it can rename, move or
    // delete the files at once on any system.
    for (RecpartWriter& w : s_.writers) close_writer(w);
    if (s_.instructions) s_.instructions->close();
    s_.status.set_value(std::move(s_.files));
  }

  static constexpr std::array<float, 4096> SILENCE{};

  ProcessorSetup& s_;
  std::vector<SourceLane> lanes_;
  std::vector<bool> prev_active_;
  std::vector<bool> cur_;
  std::vector<std::uint32_t> empty_passes_;
  std::vector<std::size_t> block_samples_;
  std::vector<std::uint64_t> file_frames_;  // frames given to each stem, audio and silence
  std::vector<std::vector<Chunk>> chunks_;
  std::vector<std::string> labels_;  // current segment label per writer
  std::vector<float> mix_;
  std::uint64_t offset_ = 0;    // the instructions' timeline, in frames
  std::uint64_t timeline_ = 0;  // the silence-filled stems' common length, in frames
  PassClock::time_point now_{};
  PassClock::time_point last_busy_{};
  PassClock::time_point idle_start_{};
  std::uint64_t idle_blocks_ = 0;
  bool idle_ = false;
  std::optional<std::string> first_error_;
};

}  // namespace

void run_processor(ProcessorSetup setup) {
  Processor(setup).run();
}

}  // namespace quillbox
