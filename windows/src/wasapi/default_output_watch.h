#pragma once

// Watching the default output device: an `IMMNotificationClient` registered
// on a device enumerator, which the system calls on a thread of its own.
// Only a new default render device for the console role counts (what
// system audio records); the client then only signals.

#include <windows.h>

#include <mmdeviceapi.h>

#include <functional>
#include <memory>

#include "engine/capture.h"
#include "wasapi/com_support.h"

namespace quillbox::wasapi {

// Registers the client on `enumerator` (the system's, or a test's) and
// unregisters it when the watch goes, before the enumerator is released;
// no call of `changed` runs after that. Nothing when the registration fails.
std::unique_ptr<DefaultOutputWatch> watch_default_render(ComPtr<IMMDeviceEnumerator> enumerator,
                                                         std::function<void()> changed);

// The same on the system's enumerator, with COM set up on the calling thread
// for the watch's life (it is dropped on that thread).
std::unique_ptr<DefaultOutputWatch> watch_default_render(std::function<void()> changed);

}  // namespace quillbox::wasapi
