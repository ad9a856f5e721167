#include "window/window_controls.h"

#include <climits>
#include <cmath>
#include <string>

#include "engine/record_mode.h"
#include "flows/app_state.h"
#include "flows/device_list_model.h"

namespace quillbox {
namespace {

constexpr float CLIENT_WIDTH = 600.0f;
constexpr float BASE_HEIGHT = 358.0f;
constexpr float ROW_HEIGHT = 16.0f;

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

}  // namespace

WindowControls create_controls(HWND hwnd, Win32Ui& ui, const StartRequest& d,
                               std::size_t device_count, bool has_mic) {
  const std::size_t rows = list_rows(device_count);
  const float s = screen_scale(hwnd, rows);
  const float r = ROW_HEIGHT * static_cast<float>(rows);
  WindowControls w;

  const auto button = [&](Control id, const wchar_t* text, DWORD style, float x, float y, float cw,
                          float ch) {
    HWND c = create_control(L"BUTTON", text, style, x, y, cw, ch, hwnd, control_id(id), s);
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
                              control_id(Control::QualityCombo), s);
  ui.set_control(Control::QualityCombo, combo);
  w.focusable.push_back(combo);
  for (const FormatPreset& preset : FORMAT_PRESETS)
    ::SendMessageW(combo, CB_ADDSTRING, 0,
                   reinterpret_cast<LPARAM>(to_wide(std::string(preset.label)).c_str()));
  ::SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(preset_index(d.format)), 0);
  label(L"Other devices:", 10, 226, 120, 16);
  w.device_list = create_control(
      L"LISTBOX", L"", WS_VSCROLL | WS_TABSTOP | LBS_NOINTEGRALHEIGHT | LBS_NOTIFY, 10, 244, 580,
      r + 4.0f, hwnd, control_id(Control::DeviceList), s, WS_EX_CLIENTEDGE);
  ui.set_control(Control::DeviceList, w.device_list);
  w.focusable.push_back(w.device_list);
  label(L"Output folder:", 10, r + 256.0f, 85, 18);
  HWND edit =
      create_control(L"EDIT", to_wide(d.output_dir), WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 100,
                     r + 254.0f, 490, 22, hwnd, control_id(Control::FolderEdit), s);
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

  tick_start_values(ui, d);

  RECT rect{0, 0, scaled(CLIENT_WIDTH, s), scaled(BASE_HEIGHT + r, s)};
  ::AdjustWindowRect(&rect, MAIN_STYLE, FALSE);
  ::SetWindowPos(hwnd, nullptr, 0, 0, rect.right - rect.left, rect.bottom - rect.top,
                 SWP_NOMOVE | SWP_NOZORDER);
  return w;
}

void release_font(WindowControls& controls) {
  if (controls.font != nullptr && controls.font != ::GetStockObject(DEFAULT_GUI_FONT))
    ::DeleteObject(controls.font);
  controls.font = nullptr;
}

LRESULT control_colors(UINT msg, HDC dc) {
  ::SetTextColor(dc, RGB(0, 0, 0));
  if (msg == WM_CTLCOLORSTATIC) {
    ::SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
  }
  const int face = msg == WM_CTLCOLORBTN ? COLOR_BTNFACE : COLOR_WINDOW;
  ::SetBkColor(dc, ::GetSysColor(face));
  return reinterpret_cast<LRESULT>(::GetSysColorBrush(face));
}

}  // namespace quillbox
