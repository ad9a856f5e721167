#pragma once

// The "Other devices:" list: which devices exist and which are ticked, the
// text each entry shows, and the window's layout scale.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "engine/capture.h"
#include "flows/app_state.h"

namespace quillbox {

// "{mark}  —  {name}": the mark is "on " for a ticked entry, "off" otherwise.
std::string device_entry_text(std::string_view name, bool checked);

// Rebuilds the list from the platform's devices: every output device as
// "[Loopback] {name}", then every input device. An entry keeps the tick of
// the first old entry of the same name; new entries start unticked. The
// list control gets every entry's text.
void refresh_device_list(AppContext& app, CapturePlatform& capture);

// Ticks the entries of these names (`--device`) before a recording, as the
// Space key would; names that are no entry are passed over.
void check_device_entries(AppContext& app, const std::vector<std::string>& names);

// The Space key on entry `index`: inverts its tick, shows the new text and
// tells the live switch (kind LoopbackDevice for "[Loopback] " entries,
// InputDevice otherwise).
void toggle_device_entry(AppContext& app, std::size_t index);

// The rows the device list is sized for: the entry count, at least 2.
std::size_t list_rows(std::size_t entries);

// The layout scale of a window with `rows` list rows on a screen of
// `screen_width` x `screen_height` pixels; `dpi_scale` is the pixels per
// inch over 96 (1.0 when unknown). Large screens enlarge the layout even at
// 96 DPI, the window never grows past the screen less its margins, and it
// never shrinks below 0.75.
float layout_scale(float dpi_scale, int screen_width, int screen_height, std::size_t rows);

}  // namespace quillbox
