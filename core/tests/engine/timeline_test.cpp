// The recording's timeline under real conditions, in virtual time with the
// real recorder and processor: devices that stall, start late, stamp with
// jitter or run on clocks of their own, and sources switched at known times.
// Every check listens to the repaired files: where each tone burst lies, how
// long each file and segment is, what the instructions say.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <future>
#include <numbers>
#include <string>
#include <tuple>
#include <vector>

#include "base/text.h"
#include "engine/recorder.h"
#include "repaired_audio.h"
#include "signal_analysis.h"
#include "stepped_clock.h"
#include "synthetic_capture.h"
#include "test_support.h"
#include "wav/repair.h"

namespace quillbox {
namespace {

using namespace std::chrono_literals;
using std::chrono::nanoseconds;
using synthetic::Stall;
using synthetic::SteppedClock;
using synthetic::SyntheticCapture;
using synthetic::SyntheticConfig;
using synthetic::SyntheticDevice;
using synthetic::Timing;

const SourceKey MIC{SourceKind::DefaultMic, {}};
constexpr double TOLERANCE_S = 0.005;

// An hour of virtual time, cut to ten minutes where the build runs many
// times slower (sanitizers) or files go through an emulator.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(_WIN32)
constexpr nanoseconds LONG_RUN = 10min;
#else
constexpr nanoseconds LONG_RUN = 60min;
#endif

// System audio and a microphone, 8 kHz mono float (long recordings stay
// small), 1 kHz tones at half scale.
SyntheticConfig pair_of_devices() {
  SyntheticConfig c;
  c.outputs.push_back(SyntheticDevice::output("Speakers", "spk", 8000, 1, 1000.0));
  c.inputs.push_back(SyntheticDevice::input("Mic", 8000, 1, 1000.0));
  c.inputs.back().native = {8000, 1, 32, true};
  c.default_input = 0;
  for (auto* d : {&c.outputs[0], &c.inputs[0]}) {
    d->amplitude = 0.5f;
    d->packet_frames = 80;
  }
  return c;
}

struct Rig {
  explicit Rig(SyntheticConfig config)
      : capture(std::make_shared<SyntheticCapture>(std::move(config), Timing::Stepped)),
        clock(std::make_shared<SteppedClock>(capture)) {
    // Passes of 5, 15 and 8 ms, as a coarse system timer gives them.
    clock->set_pass_overhead({0ms, 10ms, 3ms});
  }

  std::expected<Recorder, StartError> start(StartRequest request) {
    request.output_dir = path_to_text(dir.path());
    RecorderEnv env;
    env.capture = capture;
    env.clock = clock;
    env.err = [](std::string_view) {};
    return Recorder::start(request, env);
  }

  test_support::ScratchDir dir;
  std::shared_ptr<SyntheticCapture> capture;
  std::shared_ptr<SteppedClock> clock;
};

using test_support::repaired;

// Where channel 0 first sounds (0.1 of full scale) within `within` seconds
// after `from`, in seconds.
double onset(const signal::Audio& a, double from, double within = 2.0) {
  const auto ch =
      a.channel(0, std::size_t(from * a.sample_rate), std::size_t((from + within) * a.sample_rate));
  return from + double(signal::first_above(ch, 0.1f)) / a.sample_rate;
}

// Bursts of one second every `period`, from `first` on, for `total`.
std::vector<Stall> bursts(nanoseconds first, nanoseconds period, nanoseconds total) {
  std::vector<Stall> out;
  for (nanoseconds t = first; t + 1s < total; t += period) out.push_back({t, t + 1s, false});
  return out;
}

double secs(nanoseconds t) {
  return std::chrono::duration<double>(t).count();
}

// THD+N in dB of the sine in `x`, its frequency refined around `f0` (Hz).
double thd_n(std::span<const float> x, double rate, double f0, double& amplitude) {
  auto fit = [&](double f, double& amp) {
    double ss = 0, cc = 0, sc = 0, xs = 0, xc = 0;
    for (std::size_t k = 0; k < x.size(); ++k) {
      const double w = 2 * std::numbers::pi * f * double(k) / rate;
      const double s = std::sin(w), c = std::cos(w);
      ss += s * s, cc += c * c, sc += s * c, xs += x[k] * s, xc += x[k] * c;
    }
    const double det = ss * cc - sc * sc;
    const double a = (xs * cc - xc * sc) / det, b = (xc * ss - xs * sc) / det;
    double sig = 0, res = 0;
    for (std::size_t k = 0; k < x.size(); ++k) {
      const double w = 2 * std::numbers::pi * f * double(k) / rate;
      const double m = a * std::sin(w) + b * std::cos(w);
      sig += m * m, res += (x[k] - m) * (x[k] - m);
    }
    amp = std::hypot(a, b);
    return res / sig;
  };
  double f = f0, step = 0.05, best = fit(f, amplitude);
  for (int i = 0; i < 60; ++i) {
    double a1 = 0, a2 = 0;
    const double up = fit(f + step, a1), down = fit(f - step, a2);
    if (up < best) {
      best = up, f += step, amplitude = a1;
    } else if (down < best) {
      best = down, f -= step, amplitude = a2;
    } else {
      step /= 2;
    }
  }
  return 10 * std::log10(best);
}

// An hour of stems with silence while system audio delivers nothing in every
// other five minutes (a loopback while nothing plays, a device that stalls):
// both stems end level and every burst of either source sounds at its true time.
TEST(Timeline, AnHourOfStemsWithASourceSilentEveryOtherFiveMinutes) {
  SyntheticConfig c = pair_of_devices();
  const nanoseconds hour = LONG_RUN;
  for (nanoseconds t = 5min; t < hour; t += 10min) c.outputs[0].stalls.push_back({t, t + 5min});
  c.outputs[0].bursts = bursts(20s, 150s, hour);
  c.inputs[0].bursts = bursts(50s, 150s, hour);
  Rig rig(std::move(c));
  auto rec =
      rig.start({.record_system = true, .record_mic = true, .mode = RecordMode::StemsSilence});
  ASSERT_TRUE(rec.has_value()) << rec.error().text;
  ASSERT_TRUE(rig.clock->run_to(hour, 600s));
  const auto audio = repaired(std::move(*rec).stop().files);
  ASSERT_EQ(audio.size(), 2u);
  EXPECT_NEAR(audio[0].frames(), audio[1].frames(), TOLERANCE_S * 8000);
  EXPECT_NEAR(audio[0].frames() / 8000.0, secs(hour), 0.02);

  int heard = 0;
  for (int src = 0; src < 2; ++src) {
    const auto& cfg = rig.capture->config();
    for (const Stall& b : src == 0 ? cfg.outputs[0].bursts : cfg.inputs[0].bursts) {
      // Bursts inside a stall were never delivered.
      const double t = secs(b.begin);
      if (src == 0 && std::fmod(t, 600.0) >= 300.0) continue;
      EXPECT_NEAR(onset(audio[src], t - 0.5), t, TOLERANCE_S) << "source " << src << " at " << t;
      ++heard;
    }
  }
  EXPECT_GE(heard, int(secs(hour) / 150));  // every burst outside the stalls
}

// Ten stretches of the microphone at known times, with system audio running
// and alone: every instruction names the moment of its switch, every segment
// lasts its stretch, and nothing of one stretch sounds in another (each
// stretch's stream is silent for its first 0.3 s and sounds to its end). The
// microphone is resampled (8 kHz into CD quality).
TEST(Timeline, InstructedSegmentsSitWhereTheirSwitchesWere) {
  for (const bool with_system : {true, false}) {
    SCOPED_TRACE(with_system ? "with system audio" : "microphone alone");
    SyntheticConfig c = pair_of_devices();
    c.inputs[0].bursts = {{300ms, 1h, false}};
    c.inputs[0].packet_frames = 96;  // 12 ms buffers, unlike the loopback's 10 ms
    Rig rig(std::move(c));
    auto rec = rig.start({.format = AudioFormat{44100, 2, 16, false},
                          .record_system = with_system,
                          .record_mic = false,
                          .mode = RecordMode::StemsInstructed});
    ASSERT_TRUE(rec.has_value()) << rec.error().text;
    std::vector<std::pair<double, double>> stretches;
    nanoseconds t = 250ms;  // the next switch-on
    for (int k = 0; k < 10; ++k) {
      ASSERT_TRUE(rig.clock->run_to(t));
      // The switch happens at the virtual time the processor is parked at.
      const double on = secs(rig.clock->elapsed());
      std::promise<SourceStartResult> started;
      ASSERT_EQ(rec->set_source_enabled(
                    MIC, true, [&](SourceStartResult r) { started.set_value(std::move(r)); }),
                SwitchOutcome::Starting);
      ASSERT_EQ(rec->attach_stream(started.get_future().get()), std::nullopt);
      ASSERT_TRUE(rig.clock->run_to(t + 600ms + 70ms * k));
      const double off = secs(rig.clock->elapsed());
      rec->set_source_enabled(MIC, false, {});
      stretches.emplace_back(on, off);
      t += 900ms + 110ms * k;
    }
    ASSERT_TRUE(rig.clock->run_to(t));
    const StopResult result = std::move(*rec).stop();
    ASSERT_EQ(result.error, std::nullopt);
    const auto bytes =
        test_support::read_bytes<char>(result.files.at(0).parent_path() / "instructions.txt");
    const std::string text(bytes.begin(), bytes.end());
    std::vector<std::uint64_t> offsets;
    for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) {
      const std::string line = text.substr(at + 1, text.find('\n', at + 1) - at - 1);
      if (line.find(" mic") != std::string::npos) offsets.push_back(std::stoull(line));
    }
    ASSERT_EQ(offsets.size(), 10u) << text << path_to_text(result.output_dir);
    const auto audio = repaired(result.files);
    ASSERT_EQ(audio.size(), with_system ? 11u : 10u);
    for (int k = 0; k < 10; ++k) {
      const auto& seg = audio[(with_system ? 1 : 0) + k];
      const auto [on, off] = stretches[k];
      EXPECT_NEAR(offsets[k] / 44100.0, on, TOLERANCE_S) << "segment " << k;
      EXPECT_NEAR(seg.frames() / 44100.0, off - on, TOLERANCE_S) << "segment " << k;
      EXPECT_LT(signal::peak(seg.channel(0, 0, std::size_t(0.25 * 44100))), 0.001f) << k;
      // It sounds to its end, but for the device buffer under way at the switch.
      EXPECT_GT(signal::peak(seg.channel(0, seg.frames() - 15 * 44, seg.frames())), 0.2f) << k;
    }
  }
}

// Two devices whose clocks run 100 ppm fast and slow, for an hour, in each
// mode: bursts sound at their true times in every file (in the mix, the two
// sources' bursts alternate), and a tone through the drift correction stays
// clean and at its level.
class DriftingClocks : public testing::TestWithParam<RecordMode> {};

TEST_P(DriftingClocks, StayOnTheTimelineForAnHour) {
  const RecordMode mode = GetParam();
  SyntheticConfig c = pair_of_devices();
  const nanoseconds hour = LONG_RUN;
  c.outputs[0].ppm = 100;
  c.inputs[0].ppm = -100;
  // Measured without jitter: the distortion bound below is the resampler's
  // alone, not that of a rate that follows jittered stamps.
  c.outputs[0].jitter = c.inputs[0].jitter = nanoseconds(0);
  c.outputs[0].bursts = bursts(20s, 300s, hour);
  c.inputs[0].bursts = bursts(170s, 300s, hour);
  Rig rig(std::move(c));
  auto rec = rig.start({.record_system = true, .record_mic = true, .mode = mode});
  ASSERT_TRUE(rec.has_value()) << rec.error().text;
  ASSERT_TRUE(rig.clock->run_to(hour, 600s));
  const auto audio = repaired(std::move(*rec).stop().files);
  ASSERT_EQ(audio.size(), mode == RecordMode::Single ? 1u : 2u);
  const auto& cfg = rig.capture->config();
  for (int src = 0; src < 2; ++src) {
    const auto& file = audio[mode == RecordMode::Single ? 0 : src];
    for (const Stall& b : src == 0 ? cfg.outputs[0].bursts : cfg.inputs[0].bursts) {
      const double t = secs(b.begin);
      EXPECT_NEAR(onset(file, t - 0.5), t, TOLERANCE_S) << "source " << src << " at " << t;
    }
  }
  if (mode == RecordMode::StemsSilence) {
    // A burst late in the hour, well after the correction took hold.
    for (int src = 0; src < 2; ++src) {
      const double t = secs((src == 0 ? cfg.outputs[0] : cfg.inputs[0]).bursts.back().begin);
      const auto x =
          audio[src].channel(0, std::size_t((t + 0.1) * 8000), std::size_t((t + 0.9) * 8000));
      double amplitude = 0;
      EXPECT_LT(thd_n(x, 8000, 1000.0 * (1 + (src == 0 ? 100e-6 : -100e-6)), amplitude), -100.0);
      EXPECT_NEAR(signal::db(amplitude / 0.5), 0.0, 0.1);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Timeline, DriftingClocks,
                         testing::Values(RecordMode::StemsSilence, RecordMode::Single,
                                         RecordMode::StemsInstructed));

// A microphone whose first packet comes 1.5 s after its start and whose
// stamps jitter by +-5 ms: its bursts still sound at their true times.
TEST(Timeline, ALateFirstPacketAndJitteryStampsMoveNothing) {
  SyntheticConfig c = pair_of_devices();
  c.inputs[0].stalls = {{0s, 1500ms, false}};
  c.inputs[0].jitter = 5ms;
  c.inputs[0].bursts = bursts(2s, 3s, 20s);
  c.outputs[0].bursts = bursts(1s, 3s, 20s);
  Rig rig(std::move(c));
  auto rec =
      rig.start({.record_system = true, .record_mic = true, .mode = RecordMode::StemsSilence});
  ASSERT_TRUE(rec.has_value()) << rec.error().text;
  ASSERT_TRUE(rig.clock->run_to(20s));
  const auto audio = repaired(std::move(*rec).stop().files);
  ASSERT_EQ(audio.size(), 2u);
  EXPECT_NEAR(audio[0].frames(), audio[1].frames(), 1.0);
  const auto& cfg = rig.capture->config();
  for (int src = 0; src < 2; ++src) {
    for (const Stall& b : src == 0 ? cfg.outputs[0].bursts : cfg.inputs[0].bursts) {
      const double t = secs(b.begin);
      EXPECT_NEAR(onset(audio[src], t - 0.5), t, TOLERANCE_S) << "source " << src << " at " << t;
    }
  }
  EXPECT_LT(signal::peak(audio[1].channel(0, 0, 1400 * 8)), 0.001f);  // before its first packet
}

// A source that delivers nothing for a while and then resumes with right
// stamps and no word of what happened (a suspended device, a loopback while
// nothing plays): pauses of 0.4, 1 and 3 s, and two in one recording, of
// system audio or of the microphone, in every mode. Nothing sounds in a
// pause, and the first frame after each lands at its true time. The packet
// due when a pause begins is the first one missing, the one due when it ends
// the first one back: the silence runs from 10 ms before the pause to 10 ms
// before its end.
class PausedSource : public testing::TestWithParam<std::tuple<bool, RecordMode>> {};

TEST_P(PausedSource, ResumesAtItsTrueTime) {
  const auto [input, mode] = GetParam();
  const std::vector<std::vector<Stall>> cases = {
      {{2s, 2400ms}}, {{2s, 3s}}, {{2s, 5s}}, {{2s, 3s}, {6s, 9s}}};
  for (const auto& pauses : cases) {
    SCOPED_TRACE(testing::Message() << pauses.size() << " pause(s), the first "
                                    << secs(pauses[0].end - pauses[0].begin) << " s");
    SyntheticConfig c = pair_of_devices();
    (input ? c.inputs[0] : c.outputs[0]).stalls = pauses;
    Rig rig(std::move(c));
    auto rec = rig.start({.record_system = !input, .record_mic = input, .mode = mode});
    ASSERT_TRUE(rec.has_value()) << rec.error().text;
    ASSERT_TRUE(rig.clock->run_to(12s));
    const auto audio = repaired(std::move(*rec).stop().files);
    ASSERT_FALSE(audio.empty());
    const auto& file = audio.size() == 1 ? audio[0] : audio.at(input ? 1 : 0);
    const auto frame = [&](double t) { return std::size_t(t * file.sample_rate); };
    for (const Stall& p : pauses) {
      const double from = secs(p.begin) - 0.01;
      const double back = secs(p.end) - 0.01;
      SCOPED_TRACE(testing::Message() << "pause from " << from << " s to " << back << " s");
      EXPECT_GT(signal::peak(file.channel(0, frame(from - 0.02), frame(from - 0.005))), 0.2f);
      EXPECT_LT(signal::peak(file.channel(0, frame(from + 0.005), frame(back - TOLERANCE_S))),
                0.001f);
      EXPECT_NEAR(onset(file, from + 0.005, 4.0), back, TOLERANCE_S);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Timeline, PausedSource,
    testing::Combine(testing::Bool(), testing::Values(RecordMode::StemsSilence, RecordMode::Single,
                                                      RecordMode::StemsInstructed)));

}  // namespace
}  // namespace quillbox
