// A disk or network share that blocks: the recording's files accept nothing
// for a minute. Made real by wrapping the platform's write at link time (the
// test binary is linked with --wrap=write): a write to a file in a chosen
// folder first holds the processor up for a stretch of virtual time, during
// which the synthetic captures deliver into their buffers as devices would.

#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <string>

#include "engine/recorder.h"
#include "flow_rig.h"
#include "flows/finish_save.h"
#include "flows/loss_report.h"
#include "repaired_audio.h"
#include "signal_analysis.h"
#include "stepped_clock.h"
#include "synthetic_capture.h"
#include "test_support.h"

namespace quillbox {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The first write to a file under `dir` once `after` of virtual time has
// passed is held up for `length`; later writes go through at once.
class HeldWrite {
 public:
  HeldWrite(std::shared_ptr<synthetic::SteppedClock> clock, const fs::path& dir,
            std::chrono::nanoseconds after, std::chrono::nanoseconds length)
      : clock_(std::move(clock)),
        dir_(fs::weakly_canonical(dir).string() + "/"),
        after_(after),
        length_(length) {
    armed().store(this);
  }
  ~HeldWrite() { armed().store(nullptr); }
  HeldWrite(const HeldWrite&) = delete;
  HeldWrite& operator=(const HeldWrite&) = delete;

  // Virtual time since the start when the write was held up.
  std::optional<double> held_at() const {
    const double at = held_at_.load();
    return at < 0 ? std::nullopt : std::optional<double>(at);
  }

  static std::atomic<HeldWrite*>& armed() {
    static std::atomic<HeldWrite*> current{nullptr};
    return current;
  }

  void on_write(int fd) {
    if (held_at_.load() >= 0 || clock_->elapsed() < after_ || !in_dir(fd)) return;
    double expected = -1;
    const double now = std::chrono::duration<double>(clock_->elapsed()).count();
    if (held_at_.compare_exchange_strong(expected, now)) clock_->hold_up(length_);
  }

 private:
  bool in_dir(int fd) const {
    char target[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    return n > 0 && std::string(target, std::size_t(n)).starts_with(dir_);
  }

  std::shared_ptr<synthetic::SteppedClock> clock_;
  const std::string dir_;
  const std::chrono::nanoseconds after_;
  const std::chrono::nanoseconds length_;
  std::atomic<double> held_at_{-1};
};

}  // namespace
}  // namespace quillbox

extern "C" ssize_t __real_write(int fd, const void* data, size_t size);
extern "C" ssize_t __wrap_write(int fd, const void* data, size_t size) {
  if (auto* held = quillbox::HeldWrite::armed().load()) held->on_write(fd);
  return __real_write(fd, data, size);
}

namespace quillbox {
namespace {

// System audio in 5 ms chunks (as PulseAudio delivers a monitor) and a
// microphone in 10 ms chunks, 48 kHz, tones at half scale.
synthetic::SyntheticConfig small_and_large_chunks() {
  auto c = test_support::speakers_and_mic();
  c.outputs[0].packet_frames = 240;
  c.outputs[0].amplitude = 0.5f;
  c.inputs[0].packet_frames = 480;
  return c;
}

// Peak magnitude of channel 0 between two times in seconds.
float peak_between(const signal::Audio& a, double from, double to) {
  return signal::peak(
      a.channel(0, std::size_t(from * a.sample_rate), std::size_t(to * a.sample_rate)));
}

// Writing blocks for 60 s from about 2 s on (a pass after 2.1 s, so the
// loss begins past 0:42 whatever the passes and flush marks). Each source's buffer holds the
// first 40 s of it whatever its chunk size; the last 20 s are dropped,
// counted with their place, and stay silence at their true time, and the
// audio after the block sounds where it was captured.
TEST(LostAudio, ABlockedWriteLosesTheNewestAudioAsSilenceAtItsTrueTime) {
  test_support::FlowRig rig(small_and_large_chunks());
  std::optional<StopResult> result;
  std::optional<double> held;
  {
    HeldWrite hold(rig.clock, rig.dir.path(), 2100ms, 60s);
    auto rec =
        Recorder::start(rig.request(RecordMode::StemsSilence, true, true), rig.app.recorder_env);
    ASSERT_TRUE(rec.has_value()) << rec.error().text;
    ASSERT_TRUE(rig.clock->run_to(75s, 300s));
    result = std::move(*rec).stop();
    held = hold.held_at();
  }
  ASSERT_TRUE(held.has_value());
  EXPECT_FALSE(result->error.has_value()) << *result->error;
  const double t = *held;

  ASSERT_EQ(result->lost.size(), 2u);
  EXPECT_EQ(result->lost[0].source, "System audio");
  EXPECT_EQ(result->lost[1].source, "Microphone");
  for (const LostAudio& loss : result->lost) {
    SCOPED_TRACE(loss.source);
    ASSERT_EQ(loss.stretches.size(), 1u);
    EXPECT_NEAR(loss.stretches[0].at, t + 40.0, 0.011);
    EXPECT_NEAR(loss.stretches[0].seconds, 20.0, 0.011);
  }
  EXPECT_EQ(lost_audio_lines(result->lost)[0],
            "System audio: 20.0 s lost at 0:42 while writing could not keep up");

  const auto audio = test_support::repaired(result->files);
  ASSERT_EQ(audio.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    const LostAudio::Stretch& lost = result->lost[i].stretches[0];
    const double end = lost.at + lost.seconds;
    // Everything before the loss is there, the 40 s the buffer held included.
    EXPECT_NEAR(signal::tone_amplitude(audio[i].channel(0, std::size_t((t + 1) * 48000),
                                                        std::size_t((t + 39.9) * 48000)),
                                       48000, i == 0 ? 440.0 : 1000.0),
                0.5, 0.01);
    EXPECT_GT(peak_between(audio[i], lost.at - 0.05, lost.at - 0.002), 0.45f);
    EXPECT_EQ(peak_between(audio[i], lost.at + 0.002, end - 0.002), 0.0f);
    EXPECT_GT(peak_between(audio[i], end + 0.002, end + 0.05), 0.45f);
    EXPECT_NEAR(audio[i].frames() / 48000.0, 75.0, 0.1);
  }
}

// The window's finish says it once: the status line and one box, before
// the line that says where the recording was saved.
TEST(LostAudio, TheFinishTellsItInTheStatusLineAndOneBox) {
  test_support::FlowRig rig(small_and_large_chunks());
  {
    HeldWrite hold(rig.clock, rig.dir.path(), 2100ms, 60s);
    ASSERT_TRUE(rig.record(RecordMode::Single, 70s, true, true));
    EXPECT_EQ(finish_recording(rig.app), FinishOutcome::Saved);
    ASSERT_TRUE(hold.held_at().has_value());
  }
  ASSERT_EQ(rig.ui.messages.size(), 1u);
  const Message& box = rig.ui.messages[0];
  EXPECT_EQ(box.caption, "Audio lost");
  EXPECT_EQ(box.icon, MessageIcon::Warning);
  const std::string system = "System audio: 20.0 s lost at 0:42 while writing could not keep up";
  const std::string mic = "Microphone: 20.0 s lost at 0:42 while writing could not keep up";
  EXPECT_EQ(box.text, "Some audio could not be kept; it is silence in the recording:\n" + system +
                          "\n" + mic);
  ASSERT_GE(rig.ui.statuses.size(), 2u);
  EXPECT_EQ(rig.ui.statuses[rig.ui.statuses.size() - 2], system + "; " + mic);
  EXPECT_TRUE(rig.ui.last_status().starts_with("Saved: ")) << rig.ui.last_status();
}

}  // namespace
}  // namespace quillbox
