#include "console/console_front.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <system_error>
#include <thread>

#include "base/text.h"
#include "flows/app_state.h"
#include "flows/device_list_model.h"
#include "flows/finish_save.h"
#include "flows/loss_report.h"
#include "flows/recording_control.h"
#include "flows/source_peaks.h"
#include "flows/source_start_queue.h"

namespace quillbox {
namespace {

// The user-interface services on a terminal: no dialogs, boxes as lines.
class ConsoleUi final : public UiServices {
 public:
  explicit ConsoleUi(const ConsoleFrontEnv& env) : env_(env) {}

  void set_status(std::string_view text) override { status_ = std::string(text); }
  const std::string& status() const { return status_; }

  MessageAnswer show_message(const Message& m) override {
    clear_line();
    if (m.buttons != MessageButtons::YesNo) {
      env_.err(m.caption + ": " + m.text + "\n");
      return MessageAnswer::Ok;
    }
    if (!env_.ask) {
      env_.err(m.caption + ": " + m.text + "\n");
      return MessageAnswer::No;
    }
    env_.err(m.caption + ": " + m.text + " [y/N] ");
    const std::optional<std::string> line = env_.ask();
    if (!line) env_.err("\n");
    return line && (*line == "y" || *line == "Y" || *line == "yes") ? MessageAnswer::Yes
                                                                    : MessageAnswer::No;
  }

  void set_text(Control c, std::string_view text) override { texts_[c] = std::string(text); }
  std::string text(Control c) override { return texts_[c]; }
  void set_enabled(Control, bool) override {}
  bool checked(Control c) override { return ticks_[c]; }
  void set_checked(Control c, bool on) override { ticks_[c] = on; }
  void focus(Control) override {}
  std::optional<std::size_t> selection(Control) override { return quality_; }
  void select(std::optional<std::size_t> index) { quality_ = index; }
  void set_entries(Control, const std::vector<std::string>&) override {}
  void set_entry(Control, std::size_t, std::string_view) override {}
  // Nothing asks where to save.
  DialogResult save_file_dialog(const SaveFileRequest&) override { return DialogCancelled{}; }
  DialogResult open_file_dialog(const OpenFileRequest&) override { return DialogCancelled{}; }
  DialogResult folder_dialog(const FolderRequest&) override { return DialogCancelled{}; }
  time_point now() override { return std::chrono::steady_clock::now(); }
  void request_close() override {}

  void post_source_started(SourceStartResult result) override { posted_.push(std::move(result)); }
  std::optional<SourceStartResult> take_posted() { return posted_.take(); }

  void show_line(std::string_view text) {
    env_.err(text);
    line_shown_ = true;
  }
  void clear_line() {
    if (!line_shown_) return;
    env_.err("\r\x1b[K");
    line_shown_ = false;
  }

 private:
  const ConsoleFrontEnv& env_;
  std::string status_;
  std::map<Control, std::string> texts_;
  std::map<Control, bool> ticks_;
  std::optional<std::size_t> quality_;
  SourceStartQueue posted_;
  bool line_shown_ = false;
};

int exit_status(FinishOutcome outcome) {
  switch (outcome) {
    case FinishOutcome::WriteError:
    case FinishOutcome::SaveError:
    case FinishOutcome::SaveAsError:
    case FinishOutcome::SourcesFailed:
      return EXIT_STATUS_FAILURE;
    default:
      return EXIT_STATUS_OK;
  }
}

// A console recording whose every source failed would only hold silence:
// nothing was captured, so its files and the folders made for it go again.
void discard_empty_recording(Recorder recorder) {
  const StopResult stopped = std::move(recorder).stop();
  std::error_code ec;
  for (const auto& file : stopped.files) {
    std::filesystem::remove(file, ec);
    if (stopped.mode != RecordMode::Single) std::filesystem::remove(file.parent_path(), ec);
  }
  if (stopped.output_dir_created) std::filesystem::remove(stopped.output_dir, ec);
}

// The level of every source that is switched on, since the last line.
std::vector<SourceLevel> levels(const Recorder& recorder) {
  std::vector<SourceLevel> out;
  for (const SourcePeak& source : enabled_source_peaks(recorder)) {
    switch (source.key.kind) {
      case SourceKind::SystemLoopback:
        out.push_back({"system", source.peak});
        break;
      case SourceKind::DefaultMic:
        out.push_back({"mic", source.peak});
        break;
      default:
        out.push_back({source.key.name, source.peak});
        break;
    }
  }
  return out;
}

}  // namespace

std::string live_line_text(std::chrono::seconds elapsed, const std::vector<SourceLevel>& levels) {
  std::string line = "\rRecording " + clock_text(elapsed);
  for (const SourceLevel& level : levels) {
    const float peak = std::clamp(std::isnan(level.peak) ? 0.0f : level.peak, 0.0f, 1.0f);
    const auto filled = static_cast<std::size_t>(std::lround(peak * 10.0f));
    line +=
        "  " + level.label + " [" + std::string(filled, '#') + std::string(10 - filled, ' ') + "]";
  }
  return line + "\x1b[K";
}

int run_console_recording(const Options& options, const ConsoleFrontEnv& env) {
  ConsoleUi ui(env);
  AppContext app{AppState{}, ui, RecorderEnv{}};
  app.recorder_env.capture = env.capture;
  app.recorder_env.paths = env.paths;
  app.recorder_env.err = env.err;
  app.err = env.err;

  // There is no folder field to type into: --output counts with or without --duration.
  app.state.defaults = start_values(options, env.default_dir);
  if (options.output) app.state.defaults.output_dir = *options.output;
  const StartRequest& values = app.state.defaults;
  ui.set_text(Control::FolderEdit, values.output_dir);
  tick_start_values(ui, values);
  ui.select(preset_index(values.format));
  if (!values.devices.empty()) {
    refresh_device_list(app, *env.capture);
    check_device_entries(app, values.devices);
  }
  if (options.duration) app.state.deadline = auto_stop_deadline(ui.now(), *options.duration);

  if (!start_recording(app, collect_start_request(app), options.duration))
    return EXIT_STATUS_FAILURE;
  if (app.state.recorder->used_source_count() == 0) {
    discard_empty_recording(std::move(*app.state.recorder));
    app.state.recorder.reset();
    env.err("Cannot start recording: no source could be started.\n");
    return EXIT_STATUS_FAILURE;
  }

  std::optional<FinishOutcome> outcome;
  while (!outcome) {
    // A timed run wakes at its deadline rather than up to a tick after it.
    auto wait = env.tick;
    if (app.state.deadline) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(*app.state.deadline - ui.now());
      wait = std::clamp(left, std::chrono::milliseconds{0}, wait);
    }
    if (env.wait_tick) {
      env.wait_tick(wait);
    } else {
      std::this_thread::sleep_for(wait);
    }
    while (auto posted = ui.take_posted()) on_source_started(app, std::move(*posted));
    if (env.stop_requested != nullptr && env.stop_requested->load()) {
      outcome = finish_recording(app);
      break;
    }
    outcome = on_timer(app);
    if (!outcome && env.live_line && app.state.started_at) {
      ui.show_line(
          live_line_text(std::chrono::floor<std::chrono::seconds>(ui.now() - *app.state.started_at),
                         levels(*app.state.recorder)));
    }
  }
  ui.clear_line();
  if (!ui.status().empty()) env.out(ui.status() + "\n");
  return exit_status(*outcome);
}

}  // namespace quillbox
