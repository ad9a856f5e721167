#pragma once

// The window's controls: the texts, ticks and Tab order the Win32 window has,
// laid out by Qt layouts so that they follow the desktop's font and scale.
// The meters sit beside the status and duration lines. What the controls do
// is `main_window`'s.

#include <cstddef>

#include "engine/recorder.h"
#include "window/level_meter.h"
#include "window/qt_ui.h"

class QListWidget;
class QPushButton;
class QWidget;

namespace quillbox {

struct WindowControls {
  QPushButton* start_button = nullptr;
  QListWidget* device_list = nullptr;
  MeterPanel* meters = nullptr;
};

// Creates the controls in `window` (in Tab order), names them to `ui`, and
// ticks the boxes, the mode and the quality from `defaults`. The device list
// is tall enough for `device_count` entries (at least 2). `has_mic`: the
// microphone box, else a line saying there is none.
WindowControls create_controls(QWidget& window, QtUi& ui, const StartRequest& defaults,
                               std::size_t device_count, bool has_mic);

}  // namespace quillbox
