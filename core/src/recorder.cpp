#include "recorder.h"

#include <algorithm>
#include <cstdio>
#include <thread>
#include <tuple>
#include <utility>

#include "console.h"
#include "session_layout.h"

namespace quillbox {
namespace {

// What a source is taken to deliver when its format cannot be read.
constexpr OutputSpec FALLBACK_FORMAT{44100, 2, 16, false};

bool contains(const std::vector<std::string>& list, std::string_view item) {
  return std::ranges::find(list, item) != list.end();
}

}  // namespace

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

OutputSpec greatest_format(const std::vector<OutputSpec>& formats) {
  OutputSpec best{};
  bool first = true;
  for (const OutputSpec& f : formats) {
    const auto rank = [](const OutputSpec& s) {
      return std::tuple(s.sample_rate, s.channels, s.is_float, s.bits_per_sample);
    };
    if (first || rank(f) > rank(best)) best = f;
    first = false;
  }
  return best;
}

std::expected<Recorder, std::string> Recorder::start(const StartRequest& request,
                                                     const RecorderEnv& env) {
  CapturePlatform& capture = *env.capture;
  const auto err = env.err ? env.err : std::function<void(std::string_view)>(write_stderr);

  Recorder rec;
  rec.capture_ = env.capture;
  rec.streams_ = std::make_shared<StreamList>();
  rec.stop_flag_ = std::make_shared<std::atomic<bool>>(false);
  rec.error_ = std::make_shared<ErrorSlot>();
  rec.mode_ = request.mode;

  // Adds a source and, when asked, starts it; a failed start is a warning.
  const auto add = [&](SourceKey key, OutputSpec native, bool wanted, auto&& start,
                       const std::string& warning) {
    SourceInfo info{std::move(key), native, std::make_shared<AudioBuf>(),
                    std::make_shared<std::atomic<bool>>(false)};
    if (wanted) {
      StreamResult started = start(info.buffer);
      if (started) {
        info.enabled->store(true);
        rec.streams_->handles.push_back(StreamHandle{info.key, std::move(*started)});
        rec.used_->indices.insert(rec.sources_.size());
      } else {
        rec.warnings_.push_back(warning + started.error());
      }
    }
    rec.sources_.push_back(std::move(info));
  };

  // System audio always exists, started or not.
  const auto system_native = capture.probe_loopback_format(std::nullopt);
  add(
      SourceKey{SourceKind::SystemLoopback, {}}, system_native.value_or(FALLBACK_FORMAT),
      request.record_system,
      [&](std::shared_ptr<AudioBuf> buf) { return capture.start_loopback(std::nullopt, buf); },
      "System audio (loopback) failed to start: ");

  if (const auto mic = capture.default_input_name()) {
    add(
        SourceKey{SourceKind::DefaultMic, {}},
        capture.probe_input_format(*mic).value_or(FALLBACK_FORMAT), request.record_mic,
        [&](std::shared_ptr<AudioBuf> buf) { return capture.start_default_mic(buf); },
        "Microphone failed to start: ");
  }

  const bool wants_inputs = std::ranges::any_of(
      request.devices, [](const std::string& e) { return !is_loopback_entry(e); });
  const bool wants_loopbacks = std::ranges::any_of(request.devices, is_loopback_entry);

  if (wants_inputs) {
    for (const InputDeviceInfo& device : capture.list_input_devices().devices) {
      add(
          SourceKey{SourceKind::InputDevice, device.name},
          capture.probe_input_format(device.name).value_or(FALLBACK_FORMAT),
          contains(request.devices, device.name),
          [&](std::shared_ptr<AudioBuf> buf) { return capture.start_input(device, buf); },
          "Input \"" + device.name + "\" failed to start: ");
    }
  }
  if (wants_loopbacks) {
    for (const OutputDeviceInfo& device : capture.list_output_devices()) {
      std::string entry = loopback_entry(device.name);
      const bool wanted = contains(request.devices, entry);
      add(
          SourceKey{SourceKind::LoopbackDevice, std::move(entry)},
          capture.probe_loopback_format(device.id).value_or(FALLBACK_FORMAT), wanted,
          [&](std::shared_ptr<AudioBuf> buf) { return capture.start_loopback(device.id, buf); },
          "Loopback \"" + device.name + "\" failed to start: ");
    }
  }
  for (const std::string& w : rec.warnings_) err(w + "\n");

  std::vector<OutputSpec> natives;
  for (const SourceInfo& s : rec.sources_) natives.push_back(s.native);
  rec.spec_ = request.format.value_or(greatest_format(natives));
  if (rec.spec_.is_float) rec.spec_.bits_per_sample = 32;

  SessionRequest session;
  session.output_dir = request.output_dir;
  session.mode = request.mode;
  session.timestamp =
      session_timestamp(env.wall_clock ? env.wall_clock() : std::chrono::system_clock::now());
  session.session_spec = rec.spec_;
  for (const SourceInfo& s : rec.sources_) {
    session.specs.push_back(rec.spec_);
    switch (s.key.kind) {
      case SourceKind::SystemLoopback:
        session.labels.emplace_back("loopback");
        break;
      case SourceKind::DefaultMic:
        session.labels.emplace_back("mic");
        break;
      default:
        session.labels.push_back(sanitize_label(s.key.name));
        break;
    }
    session.active.push_back(s.enabled->load());
  }

  auto layout = create_session_layout(session, env.paths);
  if (!layout) return std::unexpected(no_writable_dir_text(layout.error()));
  rec.output_dir_ = layout->dir;
  rec.output_dir_created_ = layout->dir_created;
  if (layout->notice) rec.warnings_.insert(rec.warnings_.begin(), *layout->notice);

  ProcessorSetup setup;
  rec.status_ = setup.status.get_future();
  for (const SourceInfo& s : rec.sources_)
    setup.sources.push_back(
        {s.buffer, s.enabled, s.native.sample_rate, s.native.channels, rec.spec_});
  setup.writers = std::move(layout->writers);
  setup.files = std::move(layout->files);
  setup.output_dir = layout->dir;
  setup.instructions = std::move(layout->instructions);
  setup.stop_flag = rec.stop_flag_;
  setup.streams = rec.streams_;
  setup.error = rec.error_;
  setup.mix_divisor = static_cast<std::uint32_t>(std::max<std::size_t>(rec.sources_.size(), 1));
  setup.mode = request.mode;
  setup.clock = env.clock ? env.clock : real_pass_clock();
  setup.err = env.err;
  setup.part_size_limit = env.part_size_limit;
  // Never joined: `stop` meets the thread through its one status message.
  std::thread(run_processor, std::move(setup)).detach();
  return rec;
}

Recorder::~Recorder() {
  if (status_.valid()) (void)std::move(*this).stop();
}

std::optional<std::string> Recorder::error() const {
  std::lock_guard lock(error_->mutex);
  return error_->text;
}

std::size_t Recorder::used_source_count() const {
  std::lock_guard lock(used_->mutex);
  return used_->indices.size();
}

void Recorder::set_source_enabled(const SourceKey& key, bool enabled, SourceStartedSink notify) {
  const auto found = std::ranges::find(sources_, key, &SourceInfo::key);
  if (found == sources_.end()) return;
  const std::size_t index = static_cast<std::size_t>(found - sources_.begin());
  const auto same_key = [&](const StreamHandle& h) { return h.key == key; };

  if (!enabled) {
    found->enabled->store(false);
    StreamHandle released;
    {
      std::lock_guard lock(streams_->mutex);
      auto& handles = streams_->handles;
      if (auto h = std::ranges::find_if(handles, same_key); h != handles.end()) {
        released = std::move(*h);
        handles.erase(h);
      }
    }
    // Stops the capture (an input stream first pushes its last partial chunk).
    released.stream.reset();
    return;
  }

  bool running;
  {
    std::lock_guard lock(streams_->mutex);
    running = std::ranges::any_of(streams_->handles, same_key);
  }
  if (running) {
    notify(SourceStartResult{key, index, std::string("already active")});
    return;
  }
  std::thread([capture = capture_, buffer = found->buffer, key, index, notify = std::move(notify)] {
    auto started = start_source(*capture, key, buffer);
    SourceStartResult result{key, index, std::string()};
    if (started)
      result.result = std::move(*started);
    else
      result.result = std::move(started.error());
    notify(std::move(result));
  }).detach();
}

std::optional<std::string> Recorder::attach_stream(std::size_t index,
                                                   std::variant<StreamHandle, std::string> result) {
  if (auto* text = std::get_if<std::string>(&result)) {
    if (*text == "already active") return std::nullopt;
    return std::move(*text);
  }
  if (index < sources_.size()) sources_[index].enabled->store(true);
  {
    std::lock_guard lock(streams_->mutex);
    streams_->handles.push_back(std::move(std::get<StreamHandle>(result)));
  }
  std::lock_guard lock(used_->mutex);
  used_->indices.insert(index);
  return std::nullopt;
}

StopResult Recorder::stop() && {
  StopResult result;
  result.used_sources = used_source_count();
  // The captures run on until the processor lets go of them too.
  streams_.reset();
  stop_flag_->store(true);
  try {
    result.files = status_.get();
  } catch (const std::future_error&) {
    std::lock_guard lock(error_->mutex);
    if (!error_->text) error_->text = std::string(PROCESSOR_LOST_TEXT);
  }
  result.error = error();
  result.source_count = sources_.size();
  result.output_dir = output_dir_;
  result.output_dir_created = output_dir_created_;
  result.mode = mode_;
  return result;
}

}  // namespace quillbox
