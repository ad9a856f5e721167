#include "flows/recording_control.h"

#include <algorithm>

#include "base/file_moves.h"
#include "base/text.h"

namespace quillbox {
namespace {

// The note about a created folder only reaches the status line.
constexpr std::string_view CREATED_FOLDER_NOTE = "Created output directory";

constexpr Control CONTROLS_LOCKED_WHILE_RECORDING[] = {Control::SingleRadio, Control::SilenceRadio,
                                                       Control::InstructedRadio,
                                                       Control::QualityCombo, Control::AskSaveBox};

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out += separator;
    out += parts[i];
  }
  return out;
}

// Whether the recording was started with this source.
bool records_source(const Recorder& recorder, const SourceKey& key) {
  const auto& sources = recorder.sources();
  return std::ranges::find(sources, key, &SourceInfo::key) != sources.end();
}

// Switches a source off at once, or starts it; the outcome of a start
// reaches the UI thread through `post_source_started`. Returns whether such
// an outcome is on its way (not when the source records already).
bool switch_recorder_source(Recorder& recorder, const SourceKey& key, bool enabled,
                            UiServices& ui) {
  // The recorder joins its workers by the end of its stop, so `ui` outlives them.
  const SwitchOutcome outcome = recorder.set_source_enabled(
      key, enabled, [&ui](SourceStartResult result) { ui.post_source_started(std::move(result)); });
  return outcome == SwitchOutcome::Starting;
}

}  // namespace

Control source_control(SourceKind kind) {
  switch (kind) {
    case SourceKind::SystemLoopback:
      return Control::SystemBox;
    case SourceKind::DefaultMic:
      return Control::MicBox;
    default:
      return Control::DeviceList;
  }
}

void toggle_recording(AppContext& app) {
  if (app.state.recorder) {
    finish_recording(app);
    return;
  }
  start_recording(app, collect_start_request(app), std::nullopt);
}

StartRequest collect_start_request(AppContext& app) {
  UiServices& ui = app.ui;
  StartRequest request;
  request.record_mic = ui.checked(Control::MicBox);
  request.record_system = ui.checked(Control::SystemBox);
  if (ui.checked(Control::SilenceRadio))
    request.mode = RecordMode::StemsSilence;
  else if (ui.checked(Control::InstructedRadio))
    request.mode = RecordMode::StemsInstructed;
  else
    request.mode = RecordMode::Single;
  request.output_dir = ui.text(Control::FolderEdit);
  if (const auto index = ui.selection(Control::QualityCombo);
      index && *index < FORMAT_PRESETS.size())
    request.format = FORMAT_PRESETS[*index].spec;
  for (std::size_t i = 0; i < app.state.device_names.size(); ++i)
    if (app.state.device_checked[i]) request.devices.push_back(app.state.device_names[i]);
  return request;
}

bool start_recording(AppContext& app, const StartRequest& request,
                     std::optional<std::uint64_t> auto_stop_seconds) {
  UiServices& ui = app.ui;
  auto started = Recorder::start(request, app.recorder_env);
  if (!started) {
    const StartError& failure = started.error();
    if (failure.kind == StartError::Kind::NoWritableDir) {
      ui.set_status("Recording couldn't be started: no writeable output directory.");
      ui.show_message({"Cannot start recording", failure.text, MessageIcon::Error});
    } else {
      ui.set_status("Error: " + failure.text);
      ui.show_message({"Cannot start recording", "Recording couldn't be started:\n" + failure.text,
                       MessageIcon::Error});
    }
    return false;
  }

  Recorder& recorder = *started;
  const std::vector<std::string>& warnings = recorder.warnings();
  const std::string status =
      warnings.empty() ? "Recording..." : "Recording (warning: " + join(warnings, "; ") + ")";
  const auto now = ui.now();
  std::optional<UiServices::time_point> deadline;
  if (auto_stop_seconds) deadline = auto_stop_deadline(now, *auto_stop_seconds);

  ui.set_status(status);
  if (!same_path(recorder.output_dir(), path_from_utf8(request.output_dir)))
    ui.set_text(Control::FolderEdit, path_to_text(recorder.output_dir()));
  ui.set_text(Control::StartButton, "&Stop Recording");
  for (Control c : CONTROLS_LOCKED_WHILE_RECORDING) ui.set_enabled(c, false);

  std::vector<std::string> problems;
  for (const std::string& w : warnings)
    if (!w.starts_with(CREATED_FOLDER_NOTE)) problems.push_back(w);

  app.state.recorder.emplace(std::move(recorder));
  app.state.started_at = now;
  app.state.deadline = deadline;
  update_duration_text(app);

  if (!problems.empty())
    ui.show_message({"Recording started with problems",
                     "Recording is running, but:\n\n" + join(problems, "\n"),
                     MessageIcon::Warning});
  return true;
}

void switch_source_live(AppContext& app, const SourceKey& key, bool enabled) {
  if (!app.state.recorder) return;
  Recorder& recorder = *app.state.recorder;
  if (!records_source(recorder, key)) return;
  if (!enabled) {
    switch_recorder_source(recorder, key, false, app.ui);
    return;
  }
  // A pending start keeps its control disabled until its outcome arrives;
  // a source that records already is answered at once.
  const Control control = source_control(key.kind);
  app.ui.set_enabled(control, false);
  if (switch_recorder_source(recorder, key, true, app.ui)) return;
  app.ui.set_enabled(control, true);
  app.ui.focus(control);
}

void on_source_started(AppContext& app, SourceStartResult result) {
  const Control control = source_control(result.key.kind);
  app.ui.set_enabled(control, true);
  app.ui.focus(control);
  // Without a recording there is nothing to attach; an outcome holds no
  // capture (the recorder released the one it started when it stopped).
  if (!app.state.recorder) return;
  const std::optional<std::string> error = app.state.recorder->attach_stream(result);
  if (!error) return;
  app.ui.set_status("Source failed to start: " + *error);
  app.ui.show_message(
      {"Source failed to start", "A source could not be started:\n" + *error, MessageIcon::Error});
}

std::optional<FinishOutcome> on_timer(AppContext& app) {
  if (app.state.recorder &&
      (app.state.recorder->error() || app.state.recorder->every_source_failed()))
    return finish_recording(app);
  if (app.state.deadline && app.ui.now() >= *app.state.deadline) {
    const FinishOutcome outcome = finish_recording(app);
    app.ui.request_close();
    return outcome;
  }
  update_duration_text(app);
  return std::nullopt;
}

void on_timer_under_box(AppContext& app) {
  if (app.state.deadline && app.ui.now() >= *app.state.deadline) app.ui.request_close();
}

std::string duration_text(std::chrono::seconds elapsed) {
  const auto s = std::max<std::chrono::seconds::rep>(elapsed.count(), 0);
  if (s < 3600) return "Duration: " + std::to_string(s / 60) + "m";
  return "Duration: " + std::to_string(s / 3600) + "h " + std::to_string(s % 3600 / 60) + "m";
}

void update_duration_text(AppContext& app) {
  if (!app.state.started_at) return;
  const auto elapsed =
      std::max(app.ui.now() - *app.state.started_at, UiServices::time_point::duration{});
  const auto whole = std::chrono::floor<std::chrono::seconds>(elapsed);
  if (whole < std::chrono::seconds(1)) return;
  app.ui.set_text(Control::DurationLabel, duration_text(whole));
}

}  // namespace quillbox
