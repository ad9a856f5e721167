#include "engine/recorder.h"

#include <algorithm>
#include <cstdio>
#include <list>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

#include "base/console.h"
#include "engine/output_follower.h"
#include "engine/session_layout.h"

namespace quillbox {
namespace {

// The file label of a source: "loopback", "mic", or its device name made fit
// for a file name.
std::string source_label(const SourceKey& key) {
  switch (key.kind) {
    case SourceKind::SystemLoopback:
      return "loopback";
    case SourceKind::DefaultMic:
      return "mic";
    default:
      return sanitize_label(key.name);
  }
}

// The session layout's request: one file format (the session's) and label
// per source, and which sources record from the start.
SessionRequest session_request(const StartRequest& request, const AudioFormat& spec,
                               const std::vector<SourceInfo>& sources, std::string timestamp) {
  SessionRequest session;
  session.output_dir = request.output_dir;
  session.mode = request.mode;
  session.timestamp = std::move(timestamp);
  session.session_spec = spec;
  for (const SourceInfo& s : sources) {
    session.specs.push_back(spec);
    session.labels.push_back(source_label(s.key));
    session.active.push_back(s.feed->enabled());
  }
  return session;
}

// What each source's buffer dropped, on the timeline that begins at `start`.
std::vector<LostAudio> lost_audio(const std::vector<SourceInfo>& sources, CaptureTime start) {
  std::vector<LostAudio> lost;
  for (const SourceInfo& s : sources) {
    const std::vector<DroppedAudio> dropped = s.feed->dropped();
    if (dropped.empty()) continue;
    LostAudio& loss = lost.emplace_back(LostAudio{source_name(s.key), {}});
    for (const DroppedAudio& d : dropped) {
      loss.stretches.push_back({std::chrono::duration<double>(d.begin - start).count(),
                                std::chrono::duration<double>(d.length).count()});
    }
  }
  return lost;
}

}  // namespace

std::string source_name(const SourceKey& key) {
  switch (key.kind) {
    case SourceKind::SystemLoopback:
      return "System audio";
    case SourceKind::DefaultMic:
      return "Microphone";
    default:
      return key.name;
  }
}

// What a running recording shares between the window thread, the live-start
// workers and `stop`; everything under `mutex`.
struct Recorder::Live {
  // Where a source's live start stands.
  enum class Start : std::uint8_t {
    None,       // no start under way
    Running,    // a worker is starting the capture
    Cancelled,  // a worker is starting it, but the source was switched off
    Ready,      // started; the capture waits in `ready` for `attach_stream`
  };
  struct Worker {
    std::thread thread;
    bool done = false;
  };

  std::mutex mutex;
  std::vector<StreamHandle> streams;                  // the captures the recording records
  std::vector<Start> starts;                          // per source
  std::vector<std::unique_ptr<CaptureStream>> ready;  // per source
  std::list<Worker> workers;
  std::set<std::size_t> used;  // sources that were on at some time
  bool stopped = false;

  std::shared_ptr<std::atomic<bool>> stop_flag;
  std::shared_ptr<std::atomic<CaptureTime::rep>> stop_time;
  std::shared_ptr<PassClock> clock;  // the processor's: switches and the stop are timed on it
  WorkerStarter start_worker;
  std::vector<CaptureTime> asked_on;  // per source: when its running start was asked for
  std::thread processor;
  std::optional<ProcessorReport> report;  // the processor's
  // Last, so that it is stopped before anything it uses goes.
  std::unique_ptr<DefaultOutputFollower> follower;

  // Starts the processor thread on the recording's clock, with the stop
  // flag and time this state raises. Joined by `stop`; a body that throws
  // leaves `report` empty, which the stop reports as the processor's loss.
  void start_processor(ProcessorSetup setup) {
    stop_flag = setup.stop_flag = std::make_shared<std::atomic<bool>>(false);
    stop_time = setup.stop_time = std::make_shared<std::atomic<CaptureTime::rep>>(0);
    setup.clock = clock;
    processor = std::thread([setup = std::move(setup), this]() mutable {
      try {
        report = run_processor(std::move(setup));
      } catch (...) {
      }
    });
  }

  // Whether a capture failed and none is left (see `every_source_failed`);
  // the caller holds `mutex`.
  bool nothing_left(const std::vector<SourceInfo>& sources) const {
    bool failed = false;
    for (std::size_t i = 0; i < sources.size(); ++i) {
      if (starts[i] == Start::Running || starts[i] == Start::Ready) return false;
      if (!sources[i].feed->enabled()) continue;
      if (!sources[i].feed->buffer()->failed()) return false;
      failed = true;
    }
    return failed;
  }

  // A live start, on its worker: the started capture waits in `ready` while
  // the source is still wanted, else it is released; `notify` hears the
  // outcome unless the recording has stopped.
  void run_start(CapturePlatform& capture, const SourceKey& key, std::size_t index,
                 std::shared_ptr<AudioBuf> buffer, const SourceStartedSink& notify) {
    // The source is off, its last capture released: a new one fills the buffer.
    buffer->restart();
    auto started = start_source(capture, key, buffer);
    if (started)
      buffer->set_format(started->stream->format().sample_rate, started->stream->format().channels);
    SourceStartResult result{key, index, std::nullopt};
    std::unique_ptr<CaptureStream> unwanted;
    bool tell = true;
    {
      std::lock_guard lock(mutex);
      Start& state = starts[index];
      const bool wanted = state == Start::Running && !stopped;
      tell = !stopped;
      if (!started) {
        if (wanted) result.error = std::move(started.error());
        state = Start::None;
      } else if (wanted) {
        ready[index] = std::move(started->stream);
        state = Start::Ready;
      } else {
        unwanted = std::move(started->stream);
        state = Start::None;
      }
    }
    unwanted.reset();
    if (tell && notify) notify(std::move(result));
  }

  // System audio follows the default output device, on the follower's
  // thread: the system capture is released, one of the new default starts
  // into a fresh buffer and takes its place on the same source, so its audio
  // goes on in the same stretch and file from its own stamps; the user is
  // told. While system audio is not recorded nothing happens (its next
  // start opens the new default). A switch-off or the stop while this runs
  // wins: what it started is released again.
  void follow_default_output(CapturePlatform& capture, SourceFeed& feed,
                             const OutputDeviceInfo& device, const TextSink& err) {
    const auto is_system = [](const StreamHandle& h) {
      return h.key.kind == SourceKind::SystemLoopback;
    };
    std::unique_ptr<CaptureStream> replaced;
    {
      std::lock_guard lock(mutex);
      const auto h = std::ranges::find_if(streams, is_system);
      if (stopped || h == streams.end() || !h->stream) return;
      replaced = std::move(h->stream);
    }
    // Released before the next capture starts: the old device's audio up to
    // here is in its buffer, and nothing of it comes later.
    replaced.reset();
    const CaptureTime at = clock->now();
    auto buffer = std::make_shared<AudioBuf>();
    StreamResult started = capture.start_loopback(std::nullopt, buffer);
    std::unique_ptr<CaptureStream> unwanted;
    bool followed = false;
    {
      std::lock_guard lock(mutex);
      const auto h = std::ranges::find_if(streams, is_system);
      if (stopped || h == streams.end()) {
        if (started) unwanted = std::move(*started);
      } else {
        // A failed start leaves the source on with nothing to capture: a
        // failed capture, told once and counted as one.
        if (!started)
          buffer->fail("System audio could not follow " + device.name + ": " + started.error());
        feed.replace_capture(buffer, started ? (*started)->format() : feed.format(), at);
        if (started) {
          h->stream = std::move(*started);
        } else {
          streams.erase(h);
        }
        followed = true;
      }
    }
    unwanted.reset();
    if (followed && started) write_err(err, "System audio now follows " + device.name + "\n");
  }

  // Joins the workers that have finished; the caller holds no lock.
  void reap() {
    std::list<Worker> finished;
    {
      std::lock_guard lock(mutex);
      for (auto it = workers.begin(); it != workers.end();) {
        auto next = std::next(it);
        if (it->done) finished.splice(finished.end(), workers, it);
        it = next;
      }
    }
    for (Worker& w : finished) w.thread.join();
  }
};

std::string session_timestamp(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  if (when < system_clock::time_point{}) when = system_clock::time_point{};
  const auto day = floor<days>(when);
  const year_month_day date{day};
  const hh_mm_ss time{floor<minutes>(when - day)};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u_%02d-%02d", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()));
  return text;
}

std::expected<Recorder, StartError> Recorder::start(const StartRequest& request,
                                                    const RecorderEnv& env) {
  Recorder rec;
  rec.capture_ = env.capture;
  rec.live_ = std::make_unique<Live>();
  rec.error_ = std::make_shared<ErrorSlot>();
  rec.mode_ = request.mode;
  Live& live = *rec.live_;
  live.clock = env.clock ? env.clock : real_pass_clock();
  live.start_worker = env.start_worker ? env.start_worker : [](std::function<void()> body) {
    return std::thread(std::move(body));
  };
  // Position 0 of the recording's timeline: before any capture starts, so
  // every captured frame lies after it.
  const CaptureTime start_time = live.clock->now();
  rec.start_time_ = start_time;

  OpenedSources opened = open_sources(request, *env.capture, start_time);
  for (const std::string& w : opened.warnings) write_err(env.err, w + "\n");
  rec.sources_ = std::move(opened.sources);
  rec.warnings_ = std::move(opened.warnings);
  live.streams = std::move(opened.streams);
  for (std::size_t i = 0; i < rec.sources_.size(); ++i)
    if (rec.sources_[i].feed->enabled()) live.used.insert(i);
  rec.spec_ = session_format(request.format, rec.sources_);

  // A failed layout drops the recorder, which releases the captures started above.
  auto layout = create_session_layout(
      session_request(
          request, rec.spec_, rec.sources_,
          session_timestamp(env.wall_clock ? env.wall_clock() : std::chrono::system_clock::now())),
      env.paths);
  if (!layout) {
    return std::unexpected(
        StartError{StartError::Kind::NoWritableDir, no_writable_dir_text(layout.error())});
  }
  rec.output_dir_ = layout->dir;
  rec.output_dir_created_ = layout->dir_created;
  if (layout->notice) rec.warnings_.insert(rec.warnings_.begin(), *layout->notice);

  live.starts.assign(rec.sources_.size(), Live::Start::None);
  live.asked_on.assign(rec.sources_.size(), start_time);
  live.ready.resize(rec.sources_.size());

  ProcessorSetup setup;
  for (const SourceInfo& s : rec.sources_) setup.sources.push_back(s.feed);
  setup.spec = rec.spec_;
  setup.writers = std::move(layout->writers);
  setup.files = std::move(layout->files);
  setup.instructions = std::move(layout->instructions);
  setup.instructions_path = std::move(layout->instructions_path);
  setup.rescue_dirs = std::move(layout->rescue_dirs);
  setup.start_time = start_time;
  setup.error = rec.error_;
  setup.mix_divisor = static_cast<std::uint32_t>(std::max<std::size_t>(rec.sources_.size(), 1));
  setup.mode = request.mode;
  setup.err = env.err;
  setup.part_size_limit = env.part_size_limit;
  // The first files are made already, by this thread, before anyone can ask.
  rec.live_files_ = setup.live_files = std::make_shared<LiveFiles>();
  for (const std::filesystem::path& file : setup.files) rec.live_files_->add(file);
  live.start_processor(std::move(setup));
  live.follower = std::make_unique<DefaultOutputFollower>(
      env.capture, [&live, capture = env.capture, feed = rec.sources_[0].feed,
                    err = env.err](const OutputDeviceInfo& device) {
        live.follow_default_output(*capture, *feed, device, err);
      });
  return rec;
}

// Out of line: moving needs the complete live state.
Recorder::Recorder(Recorder&&) noexcept = default;

std::vector<float> Recorder::take_peaks() const {
  std::vector<float> peaks;
  for (const SourceInfo& s : sources_) peaks.push_back(s.feed->take_peak());
  return peaks;
}

bool Recorder::writes_to(const std::filesystem::path& path) const {
  return live_files_ && live_files_->holds(path);
}

Recorder::~Recorder() {
  if (live_ && live_->processor.joinable()) (void)std::move(*this).stop();
}

std::optional<std::string> Recorder::error() const {
  std::lock_guard lock(error_->mutex);
  return error_->text;
}

bool Recorder::every_source_failed() const {
  std::lock_guard lock(live_->mutex);
  return live_->nothing_left(sources_);
}

std::size_t Recorder::used_source_count() const {
  std::lock_guard lock(live_->mutex);
  return live_->used.size();
}

SwitchOutcome Recorder::set_source_enabled(const SourceKey& key, bool enabled,
                                           SourceStartedSink notify) {
  const auto found = std::ranges::find(sources_, key, &SourceInfo::key);
  if (found == sources_.end()) return SwitchOutcome::NotSwitchable;
  const std::size_t index = static_cast<std::size_t>(found - sources_.begin());
  const auto same_key = [&](const StreamHandle& h) { return h.key == key; };
  Live& live = *live_;
  live.reap();

  std::unique_lock lock(live.mutex);
  if (live.stopped) return SwitchOutcome::NotSwitchable;
  Live::Start& start = live.starts[index];
  if (!enabled) {
    const CaptureTime at = live.clock->now();
    StreamHandle released;
    if (auto h = std::ranges::find_if(live.streams, same_key); h != live.streams.end()) {
      released = std::move(*h);
      live.streams.erase(h);
    }
    std::unique_ptr<CaptureStream> unattached = std::move(live.ready[index]);
    if (start == Live::Start::Running) start = Live::Start::Cancelled;
    if (start == Live::Start::Ready) start = Live::Start::None;
    lock.unlock();
    // Stops the captures here (an input stream first pushes its last partial
    // chunk), and only then switches the source off: everything captured
    // before the switch is in the buffer when the processor sees it.
    released.stream.reset();
    unattached.reset();
    found->feed->set_enabled(false, at);
    return SwitchOutcome::SwitchedOff;
  }

  if (std::ranges::any_of(live.streams, same_key)) return SwitchOutcome::AlreadyActive;
  if (start == Live::Start::Cancelled) {
    // A start still under way serves the new switch-on.
    start = Live::Start::Running;
    live.asked_on[index] = live.clock->now();
  }
  if (start != Live::Start::None) return SwitchOutcome::Starting;
  const CaptureTime asked = live.clock->now();
  Live::Worker& worker = live.workers.emplace_back();
  try {
    worker.thread = live.start_worker(
        [&live, &worker, capture = capture_, buffer = found->feed->buffer(), key, index, notify] {
          live.run_start(*capture, key, index, buffer, notify);
          std::lock_guard lock(live.mutex);
          worker.done = true;
        });
  } catch (const std::system_error& e) {
    // Without its worker the start fails here, and says so as a failed start does.
    live.workers.pop_back();
    lock.unlock();
    if (notify) notify(SourceStartResult{key, index, start_failure_text(key, e.what())});
    return SwitchOutcome::Starting;
  }
  start = Live::Start::Running;
  live.asked_on[index] = asked;
  return SwitchOutcome::Starting;
}

std::optional<std::string> Recorder::attach_stream(const SourceStartResult& result) {
  if (result.error) return result.error;
  Live& live = *live_;
  std::lock_guard lock(live.mutex);
  const std::size_t i = result.index;
  if (live.stopped || i >= sources_.size() || live.starts[i] != Live::Start::Ready) return {};
  std::unique_ptr<CaptureStream> stream = std::move(live.ready[i]);
  live.starts[i] = Live::Start::None;
  // The format before the switch, so the processor never converts the new
  // capture's audio as the old one's.
  sources_[i].feed->set_format(stream->format());
  sources_[i].feed->set_enabled(true, live.asked_on[i]);
  live.streams.push_back(StreamHandle{sources_[i].key, std::move(stream)});
  live.used.insert(i);
  return {};
}

StopResult Recorder::stop() && {
  StopResult result;
  Live& live = *live_;
  live.stop_time->store(live.clock->now().time_since_epoch().count());
  std::vector<StreamHandle> streams;
  std::vector<std::unique_ptr<CaptureStream>> unattached;
  std::list<Live::Worker> workers;
  bool nothing_left = false;
  {
    std::lock_guard lock(live.mutex);
    nothing_left = live.nothing_left(sources_);
    live.stopped = true;
    streams = std::move(live.streams);
    unattached = std::move(live.ready);
    workers = std::move(live.workers);
    result.used_sources = live.used.size();
  }
  // Each capture stops here and pushes what it still holds before the
  // processor hears of the stop; a start under way releases its own capture.
  streams.clear();
  unattached.clear();
  for (Live::Worker& w : workers) w.thread.join();
  // A capture it hands over is in place before the processor's last pass.
  if (live.follower) live.follower->stop();
  live.stop_flag->store(true);
  live.clock->wake();
  live.processor.join();
  if (live.report) {
    result.files = std::move(live.report->files);
    result.rescued = std::move(live.report->rescued);
    result.peak = live.report->peak;
  } else {
    std::lock_guard lock(error_->mutex);
    if (!error_->text) error_->text = std::string(PROCESSOR_LOST_TEXT);
  }
  result.error = error();
  result.lost = lost_audio(sources_, start_time_);
  if (nothing_left) {
    std::vector<std::string>& lines = result.every_source_failed.emplace();
    for (const SourceInfo& s : sources_)
      if (auto line = s.feed->buffer()->failure_line(); line && s.feed->enabled())
        lines.push_back(std::move(*line));
  }
  result.source_count = sources_.size();
  result.output_dir = output_dir_;
  result.output_dir_created = output_dir_created_;
  result.mode = mode_;
  return result;
}

}  // namespace quillbox
