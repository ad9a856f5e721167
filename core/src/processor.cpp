#include "processor.h"

#include <algorithm>
#include <string>
#include <utility>

#include "console.h"
#include "session_output.h"

namespace quillbox {
namespace {

class Processor {
 public:
  explicit Processor(ProcessorSetup& setup)
      : s_(setup),
        output_(std::move(setup.writers), std::move(setup.files), std::move(setup.instructions),
                setup.mode == RecordMode::Single ? PartNaming::MixedFile : PartNaming::PerSource,
                setup.part_size_limit) {
    if (!s_.clock) s_.clock = real_pass_clock();
    states_.reserve(s_.sources.size());
    for (const auto& feed : s_.sources) states_.emplace_back(feed->format(), s_.spec, s_.err);
    policy_ = make_write_policy(s_.mode, states_, output_, s_.mix_divisor);
  }

  std::vector<std::filesystem::path> run() {
    for (std::size_t i = 0; i < states_.size(); ++i) {
      states_[i].on = states_[i].was_on = s_.sources[i]->enabled();
    }
    policy_->begin(s_.clock->now());
    while (pass()) {
    }
    std::vector<std::filesystem::path> files = output_.finish();
    if (output_.error()) {
      std::lock_guard lock(s_.error->mutex);
      s_.error->text = *output_.error();
    }
    return files;
  }

 private:
  // One pass; false when the loop ends.
  bool pass() {
    s_.clock->sleep_for(POLL_INTERVAL, *s_.stop_flag);
    // The flag first: whatever the captures pushed before it was raised is
    // in this pass's chunks.
    const bool stop = s_.stop_flag->load();
    for (std::size_t i = 0; i < states_.size(); ++i) {
      SourceFeed& feed = *s_.sources[i];
      states_[i].chunks = feed.buffer()->take_all();
      report_stream_failure(feed);
      states_[i].on = feed.enabled();
      follow_format(i);
    }
    const auto now = s_.clock->now();

    for (std::size_t i = 0; i < states_.size(); ++i) {
      SourceState& s = states_[i];
      if (s.on == s.was_on) continue;
      s.was_on = s.on;
      policy_->switched(i);
    }
    if (output_.error()) return false;
    feed();
    if (output_.error()) return false;
    if (stop) {
      drain();
      return false;
    }
    policy_->write(now);
    return !output_.error();
  }

  // A capture that ended by itself is told once; the other sources record on.
  void report_stream_failure(SourceFeed& feed) {
    if (!feed.buffer()->failed()) return;
    if (auto line = feed.buffer()->take_failure()) {
      const std::string text = *line + "\n";
      if (s_.err) {
        s_.err(text);
      } else {
        write_stderr(text);
      }
    }
  }

  // A source whose capture now runs at another rate or channel count than
  // its lane converts from gets a fresh lane for that format.
  void follow_format(std::size_t i) {
    SourceState& s = states_[i];
    const StreamFormat format = s_.sources[i]->format();
    if (format == s.format) return;
    s.format = format;
    s.lane = SourceLane(format.rate, format.channels, s_.spec, s_.err);
    s.empty_passes = 0;
  }

  void feed() {
    for (std::size_t i = 0; i < states_.size(); ++i) {
      SourceState& s = states_[i];
      if (s.chunks.empty()) {
        if (s.on && s.queue().empty() && !s.starved()) ++s.empty_passes;
        continue;
      }
      s.empty_passes = 0;
      for (const Chunk& chunk : s.chunks) {
        if (auto r = s.lane.feed(i, chunk.samples); !r) {
          output_.fail(r.error());
          return;
        }
      }
      s.chunks.clear();
    }
  }

  // The stop was seen: what the sources that are on still hold, including
  // what their resamplers hold back, is written.
  void drain() {
    for (SourceState& s : states_) {
      if (s.on)
        s.lane.flush_tail();
      else
        s.lane.clear();
    }
    policy_->drain();
  }

  ProcessorSetup& s_;
  SessionOutput output_;
  SourceStates states_;
  std::unique_ptr<WritePolicy> policy_;
};

}  // namespace

std::vector<std::filesystem::path> run_processor(ProcessorSetup setup) {
  return Processor(setup).run();
}

}  // namespace quillbox
