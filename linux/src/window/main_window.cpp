#include "window/main_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QListWidget>
#include <QMouseEvent>
#include <QPushButton>

#include <xcb/xcb.h>

#include <cstdlib>
#include <string>
#include <system_error>

#include "base/console.h"
#include "cli/app.h"
#include "flows/device_list_model.h"
#include "flows/file_tools_flow.h"
#include "flows/finish_save.h"
#include "flows/recording_control.h"
#include "flows/source_peaks.h"

namespace quillbox {
namespace {

AppContext make_context(QtUi& ui, const WindowEnv& env) {
  AppContext app{AppState{}, ui, env.recorder_env};
  app.recorder_env.capture = env.capture;
  if (env.err) {
    app.err = env.err;
    if (!app.recorder_env.err) app.recorder_env.err = env.err;
  }
  return app;
}

std::size_t device_count(CapturePlatform& capture) {
  return capture.list_output_devices().size() + capture.list_input_devices().devices.size();
}

}  // namespace

MainWindow::MainWindow(const Options& options, WindowEnv env)
    : env_(std::move(env)), app_(make_context(ui_, env_)) {
  setWindowTitle("Quillbox");
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  app_.state.defaults = start_values(options, env_.default_dir);
  if (options.duration) app_.state.deadline = auto_stop_deadline(ui_.now(), *options.duration);

  ui_.set_window(this, [this] { take_source_started(); });
  CapturePlatform& capture = *env_.capture;
  controls_ = create_controls(*this, ui_, app_.state.defaults, device_count(capture),
                              capture.default_input_name().has_value());
  connect_controls();
  refresh_device_list(app_, capture);
  check_device_entries(app_, app_.state.defaults.devices);
  // The probe of the default output device remembers its id; the list is
  // built again without it. Without the thread the list keeps what it shows.
  try {
    devices_worker_ = std::thread([this, capture = env_.capture] {
      (void)capture->probe_loopback_format(std::nullopt);
      QMetaObject::invokeMethod(
          this, [this] { refresh_device_list(app_, *env_.capture); }, Qt::QueuedConnection);
    });
  } catch (const std::system_error& e) {
    app_.err(std::string("Cannot query the default output device: ") + e.what() + "\n");
  }

  timer_.setInterval(TIMER_MS);
  connect(&timer_, &QTimer::timeout, this, [this] { on_tick(); });
  timer_.start();
  meter_timer_.setInterval(METER_MS);
  connect(&meter_timer_, &QTimer::timeout, this, [this] { on_meter_tick(); });
  controls_.start_button->setFocus(Qt::OtherFocusReason);
}

MainWindow::~MainWindow() {
  if (devices_worker_.joinable()) devices_worker_.join();
  timer_.stop();
  meter_timer_.stop();
  ui_.clear_source_started();
}

void MainWindow::start_duration_run(std::uint64_t seconds) {
  run_flow([&] {
    // The start values' devices are the --device entries the list shows ticked.
    StartRequest request = app_.state.defaults;
    request.output_dir = ui_.text(Control::FolderEdit);
    start_recording(app_, request, seconds);
  });
}

void MainWindow::connect_controls() {
  connect(controls_.start_button, &QPushButton::clicked, this,
          [this] { run_flow([this] { toggle_recording(app_); }); });
  const auto source_box = [this](Control control, SourceKind kind) {
    auto* box = qobject_cast<QCheckBox*>(ui_.control(control));
    if (box == nullptr) return;
    connect(box, &QCheckBox::clicked, this, [this, kind](bool on) {
      run_flow([&] { switch_source_live(app_, SourceKey{kind, {}}, on); });
    });
  };
  source_box(Control::MicBox, SourceKind::DefaultMic);
  source_box(Control::SystemBox, SourceKind::SystemLoopback);
  connect(qobject_cast<QPushButton*>(ui_.control(Control::RepairButton)), &QPushButton::clicked,
          this, [this] { run_flow([this] { run_repair_button(app_); }); });
  connect(qobject_cast<QPushButton*>(ui_.control(Control::NormalizeButton)), &QPushButton::clicked,
          this, [this] { run_flow([this] { run_normalize_button(app_); }); });
  controls_.device_list->installEventFilter(this);
  controls_.device_list->viewport()->installEventFilter(this);
}

bool MainWindow::on_mark(int x) const {
  const QFontMetrics metrics = controls_.device_list->fontMetrics();
  return x < metrics.horizontalAdvance("off ") + 2 * metrics.averageCharWidth();
}

// Space on the selected entry, or a click on an entry's mark, ticks or unticks it.
bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  QListWidget* list = controls_.device_list;
  if (watched == list && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Space && list->currentRow() >= 0) {
    const auto row = static_cast<std::size_t>(list->currentRow());
    run_flow([&] { toggle_device_entry(app_, row); });
    return true;
  }
  if (watched == list->viewport() && event->type() == QEvent::MouseButtonPress) {
    const auto* click = static_cast<QMouseEvent*>(event);
    const QPoint at = click->position().toPoint();
    if (QListWidgetItem* item = list->itemAt(at);
        item != nullptr && click->button() == Qt::LeftButton &&
        on_mark(at.x() - list->visualItemRect(item).left())) {
      const auto row = static_cast<std::size_t>(list->row(item));
      list->setCurrentItem(item);
      run_flow([&] { toggle_device_entry(app_, row); });
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void MainWindow::run_flow(const std::function<void()>& flow) {
  ++flows_running_;
  flow();
  --flows_running_;
  if (flows_running_ == 0 && app_.state.recorder && !meter_timer_.isActive()) meter_timer_.start();
}

void MainWindow::on_tick() {
  if (flows_running_ == 0) run_flow([this] { on_timer(app_); });
}

void MainWindow::on_meter_tick() {
  if (flows_running_ != 0) return;
  if (!app_.state.recorder) {
    controls_.meters->clear();
    meter_timer_.stop();
    return;
  }
  controls_.meters->show_peaks(enabled_source_peaks(*app_.state.recorder));
}

void MainWindow::take_source_started() {
  while (auto started = ui_.take_source_started())
    run_flow([&] { on_source_started(app_, std::move(*started)); });
}

// A running recording is finished and saved before the window goes.
void MainWindow::closeEvent(QCloseEvent* event) {
  if (flows_running_ != 0) {
    // A box of another flow is open; the close waits until it has returned.
    event->ignore();
    QTimer::singleShot(METER_MS, this, &QWidget::close);
    return;
  }
  if (app_.state.recorder) run_flow([this] { finish_recording(app_); });
  timer_.stop();
  meter_timer_.stop();
  controls_.meters->clear();
  event->accept();
}

std::optional<std::string> display_unavailable() {
  const auto set = [](const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
  };
  const char* x_display = set("DISPLAY");
  if (x_display != nullptr) {
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const bool reachable = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    if (reachable) return std::nullopt;
  }
  if (set("WAYLAND_DISPLAY") != nullptr) return std::nullopt;
  if (x_display != nullptr)
    return std::string("Cannot open the window: cannot connect to the X display ") + x_display +
           ".";
  return "Cannot open the window: no graphical session (DISPLAY and WAYLAND_DISPLAY are not set).";
}

int run_window(int& argc, char** argv, const Options& options, WindowEnv env) {
  QApplication application(argc, argv);
  QApplication::setApplicationName("Quillbox");
  MainWindow window(options, std::move(env));
  if (options.duration) window.start_duration_run(*options.duration);
  window.show();
  QApplication::exec();
  return EXIT_STATUS_OK;
}

}  // namespace quillbox
