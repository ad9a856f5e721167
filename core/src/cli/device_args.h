#pragma once

// The devices on the command line: the `--list-devices` listing and the check
// of every `--device` name against the entries of the window's device list.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/capture.h"

namespace quillbox {

// One line per device the program can record, outputs first: its kind
// ("output" for loopback, "input"), its entry as `--device` takes it, its
// native format, and for the two default devices how they are recorded
// instead ("default: system audio", "default: --mic"). The default output is
// probed first, which makes the platform remember it as the window does at
// its start, so the other lines are exactly the window's device list.
std::string device_listing(CapturePlatform& platform);

// The message of the first name that is no entry of the window's device
// list: the default devices say how they are recorded, other names list
// their close matches. Nothing when every name is an entry.
std::optional<std::string> check_device_names(CapturePlatform& platform,
                                              const std::vector<std::string>& names);

// The entries that look like `name`: equal but for letter case, one inside
// the other (three letters at least), or a few typing errors apart, with or
// without the loopback prefix. In the entries' order.
std::vector<std::string> close_matches(std::string_view name,
                                       const std::vector<std::string>& entries);

}  // namespace quillbox
