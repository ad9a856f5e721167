#pragma once

// The main window's twenty controls: where each sits (the layout at 96 DPI,
// scaled for the screen and the device list's rows), its text and style,
// the font, the start values' ticks, their colours, and the client area
// sized to hold them. What the controls do is the window procedure's.

#include <windows.h>

#include <cstddef>
#include <vector>

#include "engine/recorder.h"
#include "window/win32_ui.h"

namespace quillbox {

inline constexpr DWORD MAIN_STYLE = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

struct WindowControls {
  HWND start_button = nullptr;
  HWND device_list = nullptr;
  // Controls that keep the focus when the window gets it back.
  std::vector<HWND> focusable;
  HFONT font = nullptr;  // released by `release_font`
};

// Creates the controls in `window` (in Tab order), names them to `ui`, ticks
// the boxes and the mode from `defaults` and sizes the window to fit a device
// list of `device_count` entries. `has_mic`: the microphone box, else a label
// saying there is none.
WindowControls create_controls(HWND window, Win32Ui& ui, const StartRequest& defaults,
                               std::size_t device_count, bool has_mic);

// Deletes the controls' font unless it is the stock one.
void release_font(WindowControls& controls);

// The answer to a WM_CTLCOLOR* message: black text on the system's window
// (edit, list) or face (buttons, labels) colour.
LRESULT control_colors(UINT msg, HDC dc);

}  // namespace quillbox
