#pragma once

// The Linux window: the Qt widgets over the window's flows. Button clicks,
// the boxes, Space or a click on a device entry's mark, the 1000 ms timer,
// live-start outcomes and closing turn into calls of the flows; what they
// decide and say is theirs. While recording, the meters show each source's
// level several times a second.

#include <QDialog>
#include <QTimer>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "cli/cli.h"
#include "flows/app_state.h"
#include "window/qt_ui.h"
#include "window/window_controls.h"

namespace quillbox {

struct WindowEnv {
  std::shared_ptr<CapturePlatform> capture;
  // The recorder's environment; its capture is `capture`.
  RecorderEnv recorder_env;
  std::filesystem::path default_dir;
  std::function<void(std::string_view)> err;  // standard error when empty
};

inline constexpr int TIMER_MS = 1000;
inline constexpr int METER_MS = 100;

class MainWindow final : public QDialog {
 public:
  // The window with the start values of `options`; with `--duration` the
  // deadline is set (the recording starts with `start_duration_run`).
  MainWindow(const Options& options, WindowEnv env);
  ~MainWindow() override;

  // A `--duration` run's start: from the controls, no devices, with the
  // run's auto-stop.
  void start_duration_run(std::uint64_t seconds);

  QtUi& ui() { return ui_; }
  AppContext& app() { return app_; }
  MeterPanel& meters() { return *controls_.meters; }

  // Escape does not close the window (a dialog's default).
  void reject() override {}

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Runs a flow; the timers' flows wait while another is running (its boxes
  // run their own event loops).
  void run_flow(const std::function<void()>& flow);
  void on_tick();
  void on_meter_tick();
  void take_source_started();
  void connect_controls();
  // Whether a click at `x` (in the list's viewport) falls on an entry's mark.
  bool on_mark(int x) const;

  QtUi ui_;
  WindowEnv env_;
  AppContext app_;
  WindowControls controls_;
  QTimer timer_;
  QTimer meter_timer_;
  int flows_running_ = 0;
  // Reads the default output device once, off the UI thread (that device is
  // then left out of the list); joined by the destructor.
  std::thread devices_worker_;
};

// Window mode: the window with the options as start values, a `--duration`
// recording started before it is shown, then Qt's event loop until the
// window is closed. Returns 0.
int run_window(int& argc, char** argv, const Options& options, WindowEnv env);

// Why the window cannot open here, or nothing when a graphical session is
// reachable: an X display that accepts a connection, or WAYLAND_DISPLAY set.
// The toolkit aborts on a display it cannot reach, so that is checked first.
std::optional<std::string> display_unavailable();

}  // namespace quillbox
