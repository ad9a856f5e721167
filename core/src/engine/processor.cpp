#include "engine/processor.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <span>
#include <string>
#include <utility>

#include "base/console.h"
#include "engine/capture.h"
#include "engine/session_output.h"

namespace quillbox {
namespace {

class Processor {
 public:
  explicit Processor(ProcessorSetup& setup)
      : s_(setup),
        output_(std::move(setup.writers), std::move(setup.files), std::move(setup.instructions),
                std::move(setup.instructions_path),
                setup.mode == RecordMode::Single ? PartNaming::MixedFile : PartNaming::PerSource,
                setup.part_size_limit, SessionRescue(std::move(setup.rescue_dirs)),
                std::move(setup.live_files)),
        rate_(std::max<std::uint32_t>(setup.spec.sample_rate, 1)) {
    if (!s_.clock) s_.clock = real_pass_clock();
    states_.reserve(s_.sources.size());
    for (const auto& feed : s_.sources) states_.emplace_back(feed->format(), s_.spec, s_.err);
    policy_ = make_write_policy(s_.mode, states_, output_, s_.mix_divisor);
  }

  ProcessorReport run() {
    for (std::size_t i = 0; i < states_.size(); ++i) {
      SourceState& s = states_[i];
      s.on = s.was_on = s_.sources[i]->enabled();
      s.clock.restart(0);
    }
    policy_->begin();
    pass_start_ = s_.clock->now();
    while (pass()) {
    }
    ProcessorReport report{output_.finish(), output_.rescued(), output_.peak()};
    if (output_.error()) {
      std::lock_guard lock(s_.error->mutex);
      s_.error->text = *output_.error();
    }
    return report;
  }

 private:
  // Seconds on the recording's timeline.
  double seconds(CaptureTime t) const {
    return std::chrono::duration<double>(t - s_.start_time).count();
  }
  std::uint64_t frame_at(double seconds) const {
    return seconds <= 0 ? 0 : static_cast<std::uint64_t>(std::llround(seconds * rate_));
  }

  // One pass; false when the loop ends.
  bool pass() {
    // The pause counts from the last pass's start: a pass held up (a write
    // that blocked) is followed at once, while the buffers fill.
    const auto spent = s_.clock->now() - pass_start_;
    s_.clock->sleep_for(spent < POLL_INTERVAL ? POLL_INTERVAL - spent : std::chrono::nanoseconds{0},
                        *s_.stop_flag);
    pass_start_ = s_.clock->now();
    // The flags first: whatever the captures pushed before a switch or the
    // stop was made is in this pass's chunks.
    const bool stop = s_.stop_flag->load();
    for (std::size_t i = 0; i < states_.size(); ++i) {
      SourceFeed& feed = *s_.sources[i];
      SourceState& s = states_[i];
      s.on = feed.enabled();
      s.switched_at = feed.switched_at();
      SourceFeed::Capture capture = feed.take_capture();
      for (std::size_t k = 0; k < capture.replaced.size(); ++k) {
        const bool last = k + 1 == capture.replaced.size();
        if (!follow_capture(i, capture.replaced[k],
                            last ? capture.format : capture.replaced[k + 1].format))
          return false;
      }
      s.chunks = capture.buffer->take_all();
      feed.note_peak(peak_of(s.chunks));
      report_stream_failure(*capture.buffer);
      follow_format(i, capture.format);
    }
    const double now = seconds(s_.clock->now());

    for (std::size_t i = 0; i < states_.size(); ++i) {
      SourceState& s = states_[i];
      if (s.on == s.was_on) continue;
      s.was_on = s.on;
      if (s.on) {
        switch_on(i);
      } else {
        switch_off(i);
      }
      if (output_.error()) return false;
      policy_->switched(i);
    }
    if (output_.error()) return false;
    for (std::size_t i = 0; i < states_.size(); ++i) {
      if (!feed(i, now)) return false;
    }
    if (stop) {
      drain();
      return false;
    }
    policy_->write(frame_at(now - LATENCY_ALLOWANCE_S));
    return !output_.error();
  }

  static float peak_of(const std::vector<Chunk>& chunks) {
    float peak = 0.0f;
    for (const Chunk& c : chunks)
      for (float v : c.samples) peak = std::max(peak, std::abs(v));
    return peak;
  }

  // A capture that ended by itself is told once (its error file written
  // here, off the capture's thread); the other sources record on.
  void report_stream_failure(AudioBuf& buffer) {
    if (auto line = take_capture_failure(buffer)) {
      write_err(s_.err, *line + "\n");
    }
  }

  // A source whose capture now runs at another rate or channel count than
  // its lane converts from gets a fresh lane for that format.
  void follow_format(std::size_t i, const AudioFormat& format) {
    SourceState& s = states_[i];
    if (same_frames(format, s.format)) return;
    s.format = format;
    s.lane = SourceLane(format.sample_rate, format.channels, s_.spec, s_.err);
    s.clock = SourceClock(format.sample_rate);
  }

  // The source's capture gave way to another at `r.at` without a switch
  // (system audio following a new default output device): the replaced
  // capture's last audio goes in, the stretch is brought up to the moment
  // and flushed out of the resampler, and the capture that follows goes on
  // in the same stretch and file, in a lane for its own format (what is
  // queued stays queued), placed by its own stamps from there. A source not
  // yet on keeps nothing of a capture replaced while it was starting.
  bool follow_capture(std::size_t i, SourceFeed::Replaced& r, const AudioFormat& next) {
    SourceState& s = states_[i];
    report_stream_failure(*r.buffer);
    std::vector<Chunk> chunks = r.buffer->take_all();
    s_.sources[i]->note_peak(peak_of(chunks));
    if (!s.was_on) {
      s.held.clear();
      return true;
    }
    if (!same_frames(r.format, s.format)) fresh_lane(i, r.format);
    s.chunks = std::move(chunks);
    const double at = seconds(r.at);
    if (!feed_chunks(i, std::numeric_limits<double>::infinity())) return false;
    if (!silence(i, s.clock.fill_to(at))) return false;
    s.lane.end_stretch();
    const double from = std::max(at, s.clock.position());
    fresh_lane(i, next);
    s.clock = SourceClock(next.sample_rate);
    s.clock.restart(from);
    return true;
  }

  // Source `i` converts from `format` from here on, with nothing learnt of
  // another device's clock; what is queued stays queued.
  void fresh_lane(std::size_t i, const AudioFormat& format) {
    SourceState& s = states_[i];
    s.format = format;
    SourceLane lane(format.sample_rate, format.channels, s_.spec, s_.err);
    lane.queue().append(s.queue().front(s.queue().size()));
    s.lane = std::move(lane);
  }

  // A stretch begins where the switch was made; of what its capture
  // delivered while the start was under way, only audio from then on counts.
  void switch_on(std::size_t i) {
    SourceState& s = states_[i];
    const double at = seconds(s.switched_at);
    s.clock.restart(at);
    s.position = frame_at(at);
    std::vector<Chunk> chunks;
    for (Chunk& c : s.held) {
      if (seconds(c.time) >= at - JITTER_TOLERANCE_S) chunks.push_back(std::move(c));
    }
    s.held.clear();
    for (Chunk& c : s.chunks) chunks.push_back(std::move(c));
    s.chunks = std::move(chunks);
  }

  // A stretch ends where the switch was made: the audio captured before it
  // (the capture was released first, so all of it is here) is converted,
  // padded to the switch when the source was behind, and flushed out of the
  // resampler; nothing of it reaches the next stretch.
  void switch_off(std::size_t i) {
    SourceState& s = states_[i];
    const double at = seconds(s.switched_at);
    if (!feed_chunks(i, at)) return;
    if (!silence(i, s.clock.fill_to(at))) return;
    s.lane.end_stretch();
  }

  // Feeds this pass's chunks of an active source at their place on the
  // timeline, up to `until` seconds (a switch-off); a source that delivered
  // nothing for too long is silent up to the latency allowance.
  bool feed(std::size_t i, double now) {
    SourceState& s = states_[i];
    if (!s.on) {
      // A capture starting for a switch-on; a stopped one sends nothing.
      for (Chunk& c : s.chunks) s.held.push_back(std::move(c));
      s.chunks.clear();
      return true;
    }
    const bool arrived = !s.chunks.empty();
    if (!feed_chunks(i, std::numeric_limits<double>::infinity())) return false;
    if (!silence(i, s.clock.pass(now, arrived))) return false;
    if (s.clock.correcting() && s.clock.rate() != followed_rate(i)) {
      s.lane.follow_rate(i, s.clock.rate());
    }
    return true;
  }

  double followed_rate(std::size_t i) const {
    const SourceState& s = states_[i];
    return s.lane.following() ? s.lane.followed_rate() : 0.0;
  }

  bool feed_chunks(std::size_t i, double until) {
    SourceState& s = states_[i];
    const std::size_t channels = std::max<std::uint16_t>(s.format.channels, 1);
    for (const Chunk& chunk : s.chunks) {
      const double t = seconds(chunk.time);
      if (t >= until) break;
      std::size_t frames = chunk.size() / channels;
      // Only what was captured before a switch-off belongs to the stretch.
      if (until != std::numeric_limits<double>::infinity()) {
        const double keep = (until - t) * s.format.sample_rate;
        frames = std::min(frames, static_cast<std::size_t>(std::max(keep, 0.0)));
      }
      if (!silence(i, s.clock.place(t, frames))) return false;
      if (auto r = s.lane.feed(i, std::span<const float>(chunk.samples).first(frames * channels));
          !r) {
        output_.fail(r.error());
        return false;
      }
    }
    s.chunks.clear();
    return true;
  }

  bool silence(std::size_t i, std::uint64_t frames) {
    if (frames == 0) return true;
    if (auto r = states_[i].lane.feed_silence(i, frames); !r) {
      output_.fail(r.error());
      return false;
    }
    return true;
  }

  // The stop was seen: the sources that are on are brought up to the stop
  // (silence where they were behind), their resamplers flushed, and
  // everything is written; the files end level at the stop or past it.
  void drain() {
    const double stop = s_.stop_time
                            ? seconds(CaptureTime(CaptureTime::duration(s_.stop_time->load())))
                            : seconds(s_.clock->now());
    for (std::size_t i = 0; i < states_.size(); ++i) {
      SourceState& s = states_[i];
      if (!s.on) continue;
      if (!silence(i, s.clock.fill_to(stop))) return;
      s.lane.flush_tail();
    }
    policy_->drain(frame_at(stop));
  }

  ProcessorSetup& s_;
  SessionOutput output_;
  const std::uint32_t rate_;
  SourceStates states_;
  std::unique_ptr<WritePolicy> policy_;
  PassClock::time_point pass_start_{};
};

}  // namespace

ProcessorReport run_processor(ProcessorSetup setup) {
  return Processor(setup).run();
}

}  // namespace quillbox
