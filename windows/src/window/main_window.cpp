#include "window/main_window.h"

#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <algorithm>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "flows/app_state.h"
#include "flows/device_list_model.h"
#include "flows/file_tools_flow.h"
#include "flows/finish_save.h"
#include "flows/recording_control.h"
#include "wasapi/wasapi_devices.h"
#include "wasapi/wasapi_platform.h"
#include "window/win32_ui.h"
#include "window/window_controls.h"

namespace quillbox {
namespace {

constexpr wchar_t CLASS_NAME[] = L"QuillboxMain";
// The icon resource of windows/res/quillbox.rc.
constexpr wchar_t ICON_NAME[] = L"QUILLBOX";
constexpr UINT_PTR TIMER_ID = 1;
constexpr UINT TIMER_MS = 1000;

// The window thread's state: the flows' context and the window's own handles.
struct MainWindow {
  Win32Ui ui;
  std::shared_ptr<wasapi::WasapiPlatform> capture;
  AppContext app{AppState{}, ui, RecorderEnv{}};
  HWND main_window = nullptr;
  WindowControls controls;
  HWND last_focus = nullptr;
  // Reads the default output id once; joined when the loop ends.
  std::thread devices_worker;
  // A timer tick runs flows that may show boxes, whose loops deliver ticks again.
  bool in_timer = false;
};

MainWindow* g_window = nullptr;
WNDPROC g_list_previous = nullptr;

// The device list: Space ticks or unticks the selected entry; a click only selects.
LRESULT CALLBACK list_proc(HWND list, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_KEYDOWN && wp == VK_SPACE && g_window != nullptr) {
    const LRESULT index = ::SendMessageW(list, LB_GETCURSEL, 0, 0);
    if (index != LB_ERR) {
      toggle_device_entry(g_window->app, static_cast<std::size_t>(index));
      return 0;
    }
  }
  if (g_list_previous != nullptr) return ::CallWindowProcW(g_list_previous, list, msg, wp, lp);
  return ::DefWindowProcW(list, msg, wp, lp);
}

void on_create(MainWindow& w, HWND hwnd) {
  w.main_window = hwnd;
  w.ui.set_main_window(hwnd);
  const std::size_t devices =
      w.capture->list_output_devices().size() + w.capture->list_input_devices().devices.size();
  const bool has_mic = w.capture->default_input_name().has_value();
  w.controls = create_controls(hwnd, w.ui, w.app.state.defaults, devices, has_mic);

  g_list_previous = reinterpret_cast<WNDPROC>(::SetWindowLongPtrW(
      w.controls.device_list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(list_proc)));
  ::SetTimer(hwnd, TIMER_ID, TIMER_MS, nullptr);

  refresh_device_list(w.app, *w.capture);
  check_device_entries(w.app, w.app.state.defaults.devices);

  // The default output id is read off the window thread; the list is built
  // again when it is known. Without the thread the list keeps what it shows.
  try {
    w.devices_worker = std::thread([capture = w.capture, hwnd] {
      capture->remember_default_output_id();
      ::PostMessageW(hwnd, WM_APP_DEVICES_READY, 0, 0);
    });
  } catch (const std::system_error& e) {
    w.app.err(std::string("Cannot query the default output device: ") + e.what() + "\n");
  }
}

void on_command(MainWindow& w, int id) {
  AppContext& app = w.app;
  const std::optional<Control> control = control_of_id(id);
  if (!control) return;
  switch (*control) {
    case Control::StartButton:
      toggle_recording(app);
      break;
    case Control::MicBox:
      switch_source_live(app, SourceKey{SourceKind::DefaultMic, {}},
                         app.ui.checked(Control::MicBox));
      break;
    case Control::SystemBox:
      switch_source_live(app, SourceKey{SourceKind::SystemLoopback, {}},
                         app.ui.checked(Control::SystemBox));
      break;
    case Control::RepairButton:
      run_repair_button(app);
      break;
    case Control::NormalizeButton:
      run_normalize_button(app);
      break;
    default:
      break;
  }
}

void restore_focus(MainWindow& w) {
  ::SetFocus(w.last_focus != nullptr ? w.last_focus : w.controls.start_button);
}

LRESULT CALLBACK window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  MainWindow* w = g_window;
  if (w == nullptr) return ::DefWindowProcW(hwnd, msg, wp, lp);
  switch (msg) {
    case WM_CREATE:
      on_create(*w, hwnd);
      return 0;
    case WM_DESTROY:
      release_font(w->controls);
      ::PostQuitMessage(0);
      return 0;
    case WM_ACTIVATE:
      if (LOWORD(wp) != WA_INACTIVE) restore_focus(*w);
      return 0;
    case WM_SETFOCUS: {
      HWND focused = ::GetFocus();
      if (std::ranges::find(w->controls.focusable, focused) != w->controls.focusable.end())
        w->last_focus = focused;
      else
        restore_focus(*w);
      return 0;
    }
    case WM_CLOSE:
      // A running recording is finished and saved before the window goes.
      if (w->app.state.recorder) finish_recording(w->app);
      ::KillTimer(hwnd, TIMER_ID);
      ::DestroyWindow(hwnd);
      return 0;
    case WM_COMMAND:
      if (HIWORD(wp) == BN_CLICKED) on_command(*w, LOWORD(wp));
      return 0;
    case WM_TIMER:
      if (wp != TIMER_ID) return 0;
      if (w->in_timer) {
        on_timer_under_box(w->app);
        return 0;
      }
      w->in_timer = true;
      on_timer(w->app);
      w->in_timer = false;
      return 0;
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORSTATIC:
      return control_colors(msg, reinterpret_cast<HDC>(wp));
    case WM_APP_DEVICES_READY:
      refresh_device_list(w->app, *w->capture);
      return 0;
    case WM_APP_SOURCE_STARTED:
      while (auto started = w->ui.take_source_started())
        on_source_started(w->app, std::move(*started));
      return 0;
    default:
      return ::DefWindowProcW(hwnd, msg, wp, lp);
  }
}

int start_failure(const std::string& message) {
  write_stderr("GUI error: " + message + "\n");
  ::MessageBoxW(nullptr, to_wide("Quillbox could not start:\n" + message).c_str(), L"Quillbox",
                MB_OK | MB_ICONERROR);
  return EXIT_STATUS_FAILURE;
}

}  // namespace

int run_window(const Options& options) {
  // Lives until the process ends; the loop below is its only user.
  static MainWindow window;
  MainWindow& w = window;
  w.app.state.defaults = start_values(options, default_output_dir());
  ::SetProcessDPIAware();
  if (options.duration)
    w.app.state.deadline = auto_stop_deadline(std::chrono::steady_clock::now(), *options.duration);
  w.capture = std::make_shared<wasapi::WasapiPlatform>(wasapi::process_default_output_id());
  w.app.recorder_env.capture = w.capture;
  g_window = &w;

  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES};
  ::InitCommonControlsEx(&icc);

  const HINSTANCE instance = ::GetModuleHandleW(nullptr);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = window_proc;
  wc.hInstance = instance;
  // The program's own icon, at the sizes the title bar and the taskbar use.
  wc.hIcon = static_cast<HICON>(::LoadImageW(instance, ICON_NAME, IMAGE_ICON,
                                             ::GetSystemMetrics(SM_CXICON),
                                             ::GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR));
  wc.hIconSm = static_cast<HICON>(::LoadImageW(instance, ICON_NAME, IMAGE_ICON,
                                               ::GetSystemMetrics(SM_CXSMICON),
                                               ::GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
  wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
  wc.lpszClassName = CLASS_NAME;
  if (::RegisterClassExW(&wc) == 0) return start_failure("Failed to register window class");

  HWND hwnd =
      ::CreateWindowExW(0, CLASS_NAME, L"Quillbox", MAIN_STYLE, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
  if (hwnd == nullptr) {
    if (w.devices_worker.joinable()) w.devices_worker.join();
    return start_failure("Failed to create window");
  }
  w.main_window = hwnd;

  if (options.duration) {
    // The start values' devices are the --device entries the list shows ticked.
    StartRequest request = w.app.state.defaults;
    request.output_dir = w.ui.text(Control::FolderEdit);
    start_recording(w.app, request, options.duration);
  }

  ::ShowWindow(hwnd, SW_SHOW);
  ::UpdateWindow(hwnd);
  ::SetFocus(w.controls.start_button);

  MSG msg;
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (::IsDialogMessageW(hwnd, &msg)) continue;
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  if (w.devices_worker.joinable()) w.devices_worker.join();
  w.ui.clear_source_started();
  return EXIT_STATUS_OK;
}

}  // namespace quillbox
