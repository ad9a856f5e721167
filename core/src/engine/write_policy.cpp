#include "engine/write_policy.h"

#include <algorithm>

namespace quillbox {
namespace {

// A source's audio stamped earlier than what is already written (it came
// later than the others could wait) is written at the first free frame:
// late, but never lost.
void catch_up(SourceState& s, std::uint64_t written) {
  if (s.position < written) s.position = written;
}

// Every source mixed into writer 0 on the timeline: each scaled by
// 1/mix_divisor, the sum clamped. The mix is written up to where every
// source that is on has audio (a source that delivers nothing is taken to
// be silent once it is later than the latency allowance); with no source
// on, silence for the time that passes.
class MixedFile final : public WritePolicy {
 public:
  MixedFile(SourceStates& sources, SessionOutput& output, std::uint32_t mix_divisor)
      : sources_(sources),
        output_(output),
        gain_(1.0f / static_cast<float>(std::max<std::uint32_t>(mix_divisor, 1))),
        channels_(std::max<std::uint16_t>(output.spec(0).channels, 1)) {}

  void begin() override {}
  void switched(std::size_t) override {}

  void write(std::uint64_t settled) override {
    bool any_on = false;
    std::uint64_t target = UINT64_MAX;
    for (SourceState& s : sources_) {
      if (!s.on) continue;
      any_on = true;
      catch_up(s, written_);
      target = std::min(target, s.end());
    }
    if (!any_on) target = settled;
    mix_to(target);
  }

  void drain(std::uint64_t stop) override {
    std::uint64_t target = stop;
    for (SourceState& s : sources_) {
      catch_up(s, written_);
      target = std::max(target, s.end());
    }
    mix_to(target);
  }

 private:
  // Mixes and writes timeline frames [written_, target), a few blocks at a time.
  void mix_to(std::uint64_t target) {
    constexpr std::uint64_t MAX_FRAMES = 4096;
    while (written_ < target && !output_.error()) {
      const std::uint64_t frames = std::min(target - written_, MAX_FRAMES);
      mix_.assign(frames * channels_, 0.0f);
      for (SourceState& s : sources_) {
        if (s.queue().empty()) continue;
        catch_up(s, written_);
        if (s.position >= written_ + frames) continue;
        const std::size_t at = (s.position - written_) * channels_;
        const std::size_t k = std::min<std::size_t>(s.queue().size(), mix_.size() - at);
        const float* src = s.queue().front(k).data();
        for (std::size_t j = 0; j < k; ++j) mix_[at + j] += src[j] * gain_;
        s.queue().pop(k);
        s.position += k / channels_;
      }
      for (float& v : mix_) v = std::clamp(v, -1.0f, 1.0f);
      if (!output_.write(0, mix_)) return;
      written_ += frames;
    }
  }

  SourceStates& sources_;
  SessionOutput& output_;
  const float gain_;
  const std::size_t channels_;
  std::uint64_t written_ = 0;  // timeline frames in the file
  std::vector<float> mix_;
};

// Writes source `i`'s queued audio to its own file at its place on the
// timeline, after silence for any gap before it.
bool write_at_position(SourceStates& sources, SessionOutput& output, std::size_t i) {
  SourceState& s = sources[i];
  if (s.queue().empty()) return true;
  catch_up(s, s.file_frames);
  if (s.position > s.file_frames &&
      !output.write_silence(i, (s.position - s.file_frames) * s.channels))
    return false;
  const std::uint64_t frames = s.queued_frames();
  if (!output.write(i, s.queue().front(frames * s.channels))) return false;
  s.queue().pop(frames * s.channels);
  s.position += frames;
  s.file_frames = s.position;
  return true;
}

// One file per source on one timeline: every source's audio at its place,
// silence wherever a source is off or delivered nothing, and all files of
// one length at the end.
class SilenceStems final : public WritePolicy {
 public:
  SilenceStems(SourceStates& sources, SessionOutput& output) : sources_(sources), output_(output) {}

  void begin() override {}
  void switched(std::size_t) override {}

  void write(std::uint64_t settled) override {
    for (std::size_t i = 0; i < sources_.size(); ++i) {
      if (!write_at_position(sources_, output_, i)) return;
      // A source that is off is silence, up to where the others are settled.
      SourceState& s = sources_[i];
      if (!s.on && s.file_frames < settled) {
        if (!output_.write_silence(i, (settled - s.file_frames) * s.channels)) return;
        s.file_frames = settled;
      }
    }
  }

  void drain(std::uint64_t stop) override {
    std::uint64_t end = stop;
    for (std::size_t i = 0; i < sources_.size(); ++i) {
      if (!write_at_position(sources_, output_, i)) return;
      end = std::max(end, sources_[i].file_frames);
    }
    for (std::size_t i = 0; i < sources_.size(); ++i) {
      SourceState& s = sources_[i];
      if (s.file_frames < end && !output_.write_silence(i, (end - s.file_frames) * s.channels))
        return;
      s.file_frames = end;
    }
  }

 private:
  SourceStates& sources_;
  SessionOutput& output_;
};

// One file per stretch a source is on; the instructions place each file at
// the timeline frame where its stretch began.
class InstructedStems final : public WritePolicy {
 public:
  InstructedStems(SourceStates& sources, SessionOutput& output)
      : sources_(sources), output_(output) {}

  void begin() override {
    for (std::size_t i = 0; i < sources_.size(); ++i) {
      if (sources_[i].on && !output_.instruct(i, sources_[i].position)) return;
    }
  }

  void switched(std::size_t i) override {
    SourceState& s = sources_[i];
    if (s.on) {
      output_.open_segment(i, s.position);
    } else if (write_all(i)) {
      output_.close_segment(i);
    }
  }

  void write(std::uint64_t) override {
    for (std::size_t i = 0; i < sources_.size(); ++i)
      if (!write_all(i)) return;
  }

  void drain(std::uint64_t) override { write(0); }

 private:
  // A segment holds its stretch's audio back to back.
  bool write_all(std::size_t i) {
    SourceState& s = sources_[i];
    const std::uint64_t frames = s.queued_frames();
    if (frames == 0) return true;
    if (!output_.write(i, s.queue().front(frames * s.channels))) return false;
    s.queue().pop(frames * s.channels);
    s.position += frames;
    return true;
  }

  SourceStates& sources_;
  SessionOutput& output_;
};

}  // namespace

SourceState::SourceState(const AudioFormat& format, const AudioFormat& spec, TextSink err)
    : format(format),
      lane(format.sample_rate, format.channels, spec, std::move(err)),
      clock(format.sample_rate),
      channels(std::max<std::uint16_t>(spec.channels, 1)) {}

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
