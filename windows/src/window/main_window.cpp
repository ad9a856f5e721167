#include "window/main_window.h"

#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <algorithm>
#include <climits>
#include <cmath>
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

namespace quillbox {
namespace {

constexpr wchar_t CLASS_NAME[] = L"QuillboxMain";
constexpr DWORD MAIN_STYLE = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr UINT_PTR TIMER_ID = 1;
constexpr UINT TIMER_MS = 1000;
constexpr float CLIENT_WIDTH = 600.0f;
constexpr float BASE_HEIGHT = 358.0f;
constexpr float ROW_HEIGHT = 16.0f;

// The window thread's state: the flows' context and the window's own handles.
struct MainWindow {
  Win32Ui ui;
  std::shared_ptr<wasapi::WasapiPlatform> capture;
  AppContext app{AppState{}, ui, RecorderEnv{}};
  HWND main_window = nullptr;
  HWND start_button = nullptr;
  HWND device_list = nullptr;
  float dpi_scale = 1.0f;
  HFONT font = nullptr;
  HWND last_focus = nullptr;
  // Controls that keep the focus when the window gets it back.
  std::vector<HWND> focusable;
  // Reads the default output id once; joined when the loop ends.
  std::thread devices_worker;
  // A timer tick runs flows that may show boxes, whose loops deliver ticks again.
  bool in_timer = false;
};

MainWindow* g_window = nullptr;
WNDPROC g_list_previous = nullptr;

// Nearest integer, halves away from zero, saturated to 32 bits; NaN is 0.
int scaled(float value, float scale) {
  const double v = static_cast<double>(value) * static_cast<double>(scale);
  if (std::isnan(v)) return 0;
  const double r = std::round(v);
  if (r >= static_cast<double>(INT_MAX)) return INT_MAX;
  if (r <= static_cast<double>(INT_MIN)) return INT_MIN;
  return static_cast<int>(r);
}

HWND create_control(const wchar_t* cls, const std::wstring& text, DWORD style, float x, float y,
                    float w, float h, HWND parent, int id, float scale, DWORD ex_style = 0) {
  return ::CreateWindowExW(ex_style, cls, text.c_str(), style | WS_CHILD | WS_VISIBLE,
                           scaled(x, scale), scaled(y, scale), scaled(w, scale), scaled(h, scale),
                           parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                           ::GetModuleHandleW(nullptr), nullptr);
}

// The selected quality entry for a format: the last preset of equal format,
// "Auto (match source)" for none, entry 0 when nothing matches.
int preset_index(const std::optional<AudioFormat>& format) {
  int found = 0;
  for (std::size_t i = 0; i < FORMAT_PRESETS.size(); ++i)
    if (FORMAT_PRESETS[i].spec == format) found = static_cast<int>(i);
  return found;
}

float screen_scale(HWND window, std::size_t rows) {
  float dpi = 1.0f;
  if (HDC dc = ::GetDC(window)) {
    dpi = static_cast<float>(::GetDeviceCaps(dc, LOGPIXELSX)) / 96.0f;
    ::ReleaseDC(window, dc);
  }
  return layout_scale(dpi, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN), rows);
}

BOOL CALLBACK set_font_on_child(HWND child, LPARAM font) {
  ::SendMessageW(child, WM_SETFONT, static_cast<WPARAM>(font), TRUE);
  return TRUE;
}

HFONT make_font(float scale) {
  const auto stock = static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
  LOGFONTW lf{};
  if (::GetObjectW(stock, sizeof lf, &lf) == 0) return stock;
  if (lf.lfHeight != 0) lf.lfHeight = scaled(static_cast<float>(lf.lfHeight), scale);
  HFONT font = ::CreateFontIndirectW(&lf);
  return font != nullptr ? font : stock;
}

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
  const StartRequest& d = w.app.state.defaults;
  const std::size_t rows = list_rows(w.capture->list_output_devices().size() +
                                     w.capture->list_input_devices().devices.size());
  const float s = screen_scale(hwnd, rows);
  w.dpi_scale = s;
  const float r = ROW_HEIGHT * static_cast<float>(rows);
  const bool has_mic = w.capture->default_input_name().has_value();
  Win32Ui& ui = w.ui;
  w.main_window = hwnd;
  ui.set_main_window(hwnd);

  const auto button = [&](Control id, const wchar_t* text, DWORD style, float x, float y, float cw,
                          float ch) {
    HWND c = create_control(L"BUTTON", text, style, x, y, cw, ch, hwnd, static_cast<int>(id), s);
    ui.set_control(id, c);
    w.focusable.push_back(c);
    return c;
  };
  const auto label = [&](const wchar_t* text, float x, float y, float cw, float ch) {
    return create_control(L"STATIC", text, 0, x, y, cw, ch, hwnd, 0, s);
  };

  w.start_button = button(Control::StartButton, L"&Start Recording", WS_TABSTOP | BS_DEFPUSHBUTTON,
                          10, 10, 160, 26);
  if (has_mic)
    button(Control::MicBox, L"Record &microphone", WS_TABSTOP | BS_AUTOCHECKBOX, 10, 46, 200, 20);
  else
    label(L"No microphone found", 10, 49, 200, 16);
  button(Control::SystemBox, L"Record &system audio", WS_TABSTOP | BS_AUTOCHECKBOX, 10, 68, 200,
         20);
  button(Control::SingleRadio, L"Single file", WS_GROUP | WS_TABSTOP | BS_AUTORADIOBUTTON, 10, 92,
         145, 20);
  button(Control::SilenceRadio, L"Stems (silence)", BS_AUTORADIOBUTTON, 10, 128, 145, 20);
  button(Control::InstructedRadio, L"Stems (instructed)", BS_AUTORADIOBUTTON, 10, 164, 155, 20);
  label(L"Mix all sources into one recording file.", 165, 94, 425, 30);
  label(L"Record each source separately; insert silence while disabled so files stay aligned.", 165,
        130, 425, 30);
  label(L"Record active segments separately and provide sample-accurate editor offsets.", 165, 166,
        425, 30);
  label(L"Quality:", 10, 201, 55, 16);
  HWND combo = create_control(L"COMBOBOX", L"", WS_TABSTOP | CBS_DROPDOWNLIST, 68, 198, 522,
                              22.0f + 18.0f * static_cast<float>(FORMAT_PRESETS.size()), hwnd,
                              static_cast<int>(Control::QualityCombo), s);
  ui.set_control(Control::QualityCombo, combo);
  w.focusable.push_back(combo);
  for (const FormatPreset& preset : FORMAT_PRESETS)
    ::SendMessageW(combo, CB_ADDSTRING, 0,
                   reinterpret_cast<LPARAM>(to_wide(std::string(preset.label)).c_str()));
  ::SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(preset_index(d.format)), 0);
  label(L"Other devices:", 10, 226, 120, 16);
  w.device_list = create_control(
      L"LISTBOX", L"", WS_VSCROLL | WS_TABSTOP | LBS_NOINTEGRALHEIGHT | LBS_NOTIFY, 10, 244, 580,
      r + 4.0f, hwnd, static_cast<int>(Control::DeviceList), s, WS_EX_CLIENTEDGE);
  ui.set_control(Control::DeviceList, w.device_list);
  w.focusable.push_back(w.device_list);
  label(L"Output folder:", 10, r + 256.0f, 85, 18);
  HWND edit =
      create_control(L"EDIT", to_wide(d.output_dir), WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 100,
                     r + 254.0f, 490, 22, hwnd, static_cast<int>(Control::FolderEdit), s);
  ui.set_control(Control::FolderEdit, edit);
  w.focusable.push_back(edit);
  // The ask-where-to-save box is not among the controls that keep the focus.
  button(Control::AskSaveBox, L"Ask where to save after recording", WS_TABSTOP | BS_AUTOCHECKBOX,
         10, r + 284.0f, 360, 28);
  w.focusable.pop_back();
  button(Control::RepairButton, L"Repair incomplete recordings", WS_TABSTOP | BS_PUSHBUTTON, 10,
         r + 316.0f, 280, 26);
  button(Control::NormalizeButton, L"Normalize WAV file...", WS_TABSTOP | BS_PUSHBUTTON, 300,
         r + 316.0f, 290, 26);
  ui.set_control(Control::StatusLabel, label(L"Ready.", 220, 14, 210, 36));
  ui.set_control(Control::DurationLabel, label(L"", 220, 54, 210, 18));

  w.font = make_font(s);
  ::EnumChildWindows(hwnd, set_font_on_child, reinterpret_cast<LPARAM>(w.font));

  ui.set_checked(Control::MicBox, d.record_mic);
  ui.set_checked(Control::SystemBox, d.record_system);
  ui.set_checked(d.mode == RecordMode::Single         ? Control::SingleRadio
                 : d.mode == RecordMode::StemsSilence ? Control::SilenceRadio
                                                      : Control::InstructedRadio,
                 true);

  g_list_previous = reinterpret_cast<WNDPROC>(
      ::SetWindowLongPtrW(w.device_list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(list_proc)));

  RECT rect{0, 0, scaled(CLIENT_WIDTH, s), scaled(BASE_HEIGHT + r, s)};
  ::AdjustWindowRect(&rect, MAIN_STYLE, FALSE);
  ::SetWindowPos(hwnd, nullptr, 0, 0, rect.right - rect.left, rect.bottom - rect.top,
                 SWP_NOMOVE | SWP_NOZORDER);
  ::SetTimer(hwnd, TIMER_ID, TIMER_MS, nullptr);

  refresh_device_list(w.app, *w.capture);

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
  switch (static_cast<Control>(id)) {
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
  ::SetFocus(w.last_focus != nullptr ? w.last_focus : w.start_button);
}

LRESULT CALLBACK window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  MainWindow* w = g_window;
  if (w == nullptr) return ::DefWindowProcW(hwnd, msg, wp, lp);
  switch (msg) {
    case WM_CREATE:
      on_create(*w, hwnd);
      return 0;
    case WM_DESTROY:
      if (w->font != nullptr && w->font != ::GetStockObject(DEFAULT_GUI_FONT))
        ::DeleteObject(w->font);
      w->font = nullptr;
      ::PostQuitMessage(0);
      return 0;
    case WM_ACTIVATE:
      if (LOWORD(wp) != WA_INACTIVE) restore_focus(*w);
      return 0;
    case WM_SETFOCUS: {
      HWND focused = ::GetFocus();
      if (std::ranges::find(w->focusable, focused) != w->focusable.end())
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
      if (wp == TIMER_ID && !w->in_timer) {
        w->in_timer = true;
        on_timer(w->app);
        w->in_timer = false;
      }
      return 0;
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX: {
      const auto dc = reinterpret_cast<HDC>(wp);
      ::SetTextColor(dc, RGB(0, 0, 0));
      ::SetBkColor(dc, ::GetSysColor(COLOR_WINDOW));
      return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_WINDOW));
    }
    case WM_CTLCOLORBTN: {
      const auto dc = reinterpret_cast<HDC>(wp);
      ::SetTextColor(dc, RGB(0, 0, 0));
      ::SetBkColor(dc, ::GetSysColor(COLOR_BTNFACE));
      return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_CTLCOLORSTATIC: {
      const auto dc = reinterpret_cast<HDC>(wp);
      ::SetTextColor(dc, RGB(0, 0, 0));
      ::SetBkMode(dc, TRANSPARENT);
      return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
    }
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
  wc.hIcon = ::LoadIconW(nullptr, IDI_APPLICATION);
  wc.hIconSm = wc.hIcon;
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
    StartRequest request = w.app.state.defaults;
    request.output_dir = w.ui.text(Control::FolderEdit);
    request.devices.clear();
    start_recording(w.app, request, options.duration);
  }

  ::ShowWindow(hwnd, SW_SHOW);
  ::UpdateWindow(hwnd);
  ::SetFocus(w.start_button);

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
