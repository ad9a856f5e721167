#pragma once

// Watching the server's default sink: a connection of its own (its main
// loop thread runs the event callback) subscribed to the server's change
// events, which a new default sink (or source) raises. Whoever is told
// compares the default sink's name with the one it knew.

#include <functional>
#include <memory>

#include "engine/capture.h"

namespace quillbox::pulse {

// Calls `changed` on the watch's main loop thread at every change of the
// server; nothing when no server answers. Destroying the watch disconnects
// and joins that thread: no call runs afterwards.
std::unique_ptr<DefaultOutputWatch> watch_server(std::function<void()> changed);

}  // namespace quillbox::pulse
