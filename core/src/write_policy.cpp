#include "write_policy.h"

#include <algorithm>
#include <limits>

namespace quillbox {
namespace {

using time_point = WritePolicy::time_point;

constexpr std::uint32_t saturating_inc(std::uint32_t n) {
  return n == std::numeric_limits<std::uint32_t>::max() ? n : n + 1;
}

// Samples per 5 ms of `spec`.
std::size_t block_of(const OutputSpec& spec) {
  return std::max<std::size_t>(spec.sample_rate * 5 / 1000, 1) *
         std::max<std::uint16_t>(spec.channels, 1);
}

bool any_on(const SourceStates& sources) {
  return std::ranges::any_of(sources, &SourceState::on);
}

// Time that passes while no source is on still becomes audio: this counts
// the whole blocks of it due since the last pass that had a source on.
class IdleTime {
 public:
  void busy(time_point now) {
    idle_ = false;
    last_busy_ = now;
  }

  // Whole blocks of `block_frames` that fit into the time since the last
  // busy pass, less those already given out for it.
  std::uint64_t blocks_due(time_point now, std::size_t block_frames, std::uint32_t rate) {
    if (!idle_) {
      idle_ = true;
      start_ = last_busy_;
      given_ = 0;
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - start_);
    const auto ns = static_cast<std::uint64_t>(std::max<std::int64_t>(elapsed.count(), 0));
    // Frames that really passed, without overflow for any realistic duration.
    const std::uint64_t frames =
        ns / 1'000'000'000 * rate + ns % 1'000'000'000 * rate / 1'000'000'000;
    const std::uint64_t due = frames / block_frames;
    const std::uint64_t fresh = due > given_ ? due - given_ : 0;
    given_ = std::max(given_, due);
    return fresh;
  }

 private:
  time_point last_busy_{};
  time_point start_{};
  std::uint64_t given_ = 0;
  bool idle_ = false;
};

// Audio of a switched-off source is never written.
void discard_off(SourceStates& sources) {
  for (SourceState& s : sources) {
    if (!s.on) s.discard();
  }
}

// Every source mixed into writer 0: each scaled by 1/mix_divisor, the sum
// clamped. A pass writes whole 5 ms blocks while every source that is on has
// one (or has starved); with no source on, silence for the time that passes.
class MixedFile final : public WritePolicy {
 public:
  MixedFile(SourceStates& sources, SessionOutput& output, std::uint32_t mix_divisor)
      : sources_(sources),
        output_(output),
        gain_(1.0f / static_cast<float>(std::max<std::uint32_t>(mix_divisor, 1))),
        channels_(std::max<std::uint16_t>(output.spec(0).channels, 1)),
        block_(block_of(output.spec(0))) {}

  void begin(time_point now) override { idle_.busy(now); }
  void switched(std::size_t) override {}

  void write(time_point now) override {
    discard_off(sources_);
    if (!any_on(sources_)) {
      const std::uint64_t blocks =
          idle_.blocks_due(now, block_ / channels_, output_.spec(0).sample_rate);
      for (std::uint64_t b = 0; b < blocks; ++b) {
        mix_.assign(block_, 0.0f);
        if (!output_.write(0, mix_)) return;
      }
      return;
    }
    idle_.busy(now);
    for (;;) {
      for (const SourceState& s : sources_) {
        if (s.on && s.lane.queue().size() < block_ && !s.starved()) return;
      }
      if (!mix_and_write(block_)) return;
      bool more = false;
      for (SourceState& s : sources_) {
        if (!s.on) continue;
        if (s.queue().empty())
          s.empty_passes = saturating_inc(s.empty_passes);
        else
          more = true;
      }
      if (!more) return;
    }
  }

  void drain() override {
    for (;;) {
      std::size_t longest = 0;
      for (SourceState& s : sources_) longest = std::max(longest, s.queue().size());
      std::size_t n = std::min(longest, block_);
      n -= n % channels_;
      if (n == 0 || !mix_and_write(n)) return;
    }
  }

 private:
  bool mix_and_write(std::size_t n) {
    mix_.assign(n, 0.0f);
    for (SourceState& s : sources_) {
      if (!s.on) continue;
      SampleQueue& q = s.queue();
      const std::size_t k = std::min(n, q.size());
      const float* src = q.front(k).data();
      for (std::size_t j = 0; j < k; ++j) mix_[j] += src[j] * gain_;
      q.pop(k);
    }
    for (float& v : mix_) v = std::clamp(v, -1.0f, 1.0f);
    return output_.write(0, mix_);
  }

  SourceStates& sources_;
  SessionOutput& output_;
  const float gain_;
  const std::size_t channels_;
  const std::size_t block_;
  IdleTime idle_;
  std::vector<float> mix_;
};

// Writes each source's whole blocks (all it has once it starved) to its own
// file; returns the most frames any source got.
std::uint64_t write_own_files(SourceStates& sources, SessionOutput& output) {
  std::uint64_t most = 0;
  for (std::size_t i = 0; i < sources.size(); ++i) {
    SourceState& s = sources[i];
    if (!s.on) continue;
    SampleQueue& q = s.queue();
    std::uint64_t frames = 0;
    while (q.size() >= s.block || (s.starved() && !q.empty())) {
      const std::size_t n = std::min(s.block, q.size());
      if (!output.write(i, q.front(n))) return most;
      q.pop(n);
      frames += n / s.channels;
      if (q.empty()) s.empty_passes = saturating_inc(s.empty_passes);
    }
    s.file_frames += frames;
    most = std::max(most, frames);
  }
  return most;
}

// Writes everything each source still holds to its own file.
bool drain_own_files(SourceStates& sources, SessionOutput& output) {
  for (std::size_t i = 0; i < sources.size(); ++i) {
    SourceState& s = sources[i];
    SampleQueue& q = s.queue();
    while (!q.empty()) {
      const std::size_t n = std::min(s.block, q.size());
      if (!output.write(i, q.front(n))) return false;
      q.pop(n);
      s.file_frames += n / s.channels;
    }
  }
  return true;
}

// One file per source, all of one length: a source that is off is filled
// with silence up to the longest file among the sources that are on, or,
// with none on, up to the whole blocks of time that pass.
class SilenceStems final : public WritePolicy {
 public:
  SilenceStems(SourceStates& sources, SessionOutput& output) : sources_(sources), output_(output) {}

  void begin(time_point now) override { idle_.busy(now); }
  void switched(std::size_t) override {}

  void write(time_point now) override {
    discard_off(sources_);
    write_own_files(sources_, output_);
    keep_aligned(now);
  }

  void drain() override {
    if (drain_own_files(sources_, output_) && any_on(sources_)) keep_aligned({});
  }

 private:
  void keep_aligned(time_point now) {
    if (sources_.empty()) return;
    if (any_on(sources_)) {
      idle_.busy(now);
      std::uint64_t longest = 0;
      for (const SourceState& s : sources_)
        if (s.on) longest = std::max(longest, s.file_frames);
      timeline_ = longest;
    } else {
      const SourceState& first = sources_[0];
      const std::size_t frames = first.block / first.channels;
      timeline_ += idle_.blocks_due(now, frames, output_.spec(0).sample_rate) * frames;
    }
    for (std::size_t i = 0; i < sources_.size(); ++i) {
      SourceState& s = sources_[i];
      if (s.on || s.file_frames >= timeline_) continue;
      if (!output_.write_silence(i, (timeline_ - s.file_frames) * s.channels)) return;
      s.file_frames = timeline_;
    }
  }

  SourceStates& sources_;
  SessionOutput& output_;
  IdleTime idle_;
  std::uint64_t timeline_ = 0;  // the files' common length, in frames
};

// One file per stretch a source is on; the instructions place each file at
// the frame offset of the recording's timeline where it began. The timeline
// advances by the most frames any source wrote in a pass.
class InstructedStems final : public WritePolicy {
 public:
  InstructedStems(SourceStates& sources, SessionOutput& output)
      : sources_(sources), output_(output) {}

  void begin(time_point) override {
    for (std::size_t i = 0; i < sources_.size(); ++i) {
      if (sources_[i].on && !output_.instruct(i, 0)) return;
    }
  }

  void switched(std::size_t i) override {
    SourceState& s = sources_[i];
    if (s.on) {
      output_.open_segment(i, offset_);
    } else {
      output_.close_segment(i);
      s.discard();
    }
  }

  void write(time_point) override { offset_ += write_own_files(sources_, output_); }

  void drain() override { drain_own_files(sources_, output_); }

 private:
  SourceStates& sources_;
  SessionOutput& output_;
  std::uint64_t offset_ = 0;  // the instructions' timeline, in frames
};

}  // namespace

SourceState::SourceState(StreamFormat format, const OutputSpec& spec, SourceLane::ErrorSink err)
    : format(format),
      lane(format.rate, format.channels, spec, std::move(err)),
      block(block_of(spec)),
      channels(std::max<std::uint16_t>(spec.channels, 1)) {}

void SourceState::discard() {
  lane.clear();
  empty_passes = 0;
}

std::unique_ptr<WritePolicy> make_write_policy(RecordMode mode, SourceStates& sources,
                                               SessionOutput& output, std::uint32_t mix_divisor) {
  switch (mode) {
    case RecordMode::StemsSilence:
      return std::make_unique<SilenceStems>(sources, output);
    case RecordMode::StemsInstructed:
      return std::make_unique<InstructedStems>(sources, output);
    case RecordMode::Single:
      break;
  }
  return std::make_unique<MixedFile>(sources, output, mix_divisor);
}

}  // namespace quillbox
