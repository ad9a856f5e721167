#pragma once

// The server's sinks and sources as the recorder's device model sees them:
// output devices are sinks (name = description, id = sink name), input
// devices are sources that are not monitors; a sink's monitor is recorded
// only as that sink's loopback. Queries run under a `Connection::Session`.

#include <pulse/pulseaudio.h>

#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "base/audio_format.h"
#include "engine/capture.h"
#include "pulse/pulse_connection.h"

namespace quillbox::pulse {

struct ServerDefaults {
  std::string sink;    // empty when the server has none
  std::string source;  // empty when the server has none
};

struct SinkEntry {
  std::string name;
  std::string description;
  std::string monitor;  // its monitor source's name
  pa_sample_spec spec{};
  pa_channel_map map{};
  bool running = false;  // something plays on it
};

struct SourceEntry {
  std::string name;
  std::string description;
  bool is_monitor = false;
  pa_sample_spec spec{};
  pa_channel_map map{};
};

std::expected<ServerDefaults, std::string> server_defaults(Connection& connection,
                                                           pa_context* context);
// In the server's order (by index).
std::expected<std::vector<SinkEntry>, std::string> list_sinks(Connection& connection,
                                                              pa_context* context);
std::expected<std::vector<SourceEntry>, std::string> list_sources(Connection& connection,
                                                                  pa_context* context);

// A device's native format: rate and channels, and float32 -> 32-bit float,
// s16 -> 16, s24 / s24-32 -> 24, s32 -> 32, u8 -> 8; the companded 8-bit
// formats decode to 16 bits.
AudioFormat native_spec(const pa_sample_spec& spec);

// Every sink but the one whose name is the remembered default output id.
std::vector<OutputDeviceInfo> output_devices(const std::vector<SinkEntry>& sinks,
                                             const DefaultOutputId& default_output_id);

// The default input device: the default source, unless the server has none
// or its default is a sink's monitor (that is system audio, not a microphone).
const SourceEntry* default_input(const std::vector<SourceEntry>& sources,
                                 const std::string& default_source);

// Sources that are not monitors, without any whose description is
// byte-equal to the default input's; each configured for float32 capture at
// its own rate and channel count.
InputDeviceList input_devices(const std::vector<SourceEntry>& sources,
                              const std::string& default_source);

// The source behind the listed input device of that description (the first
// one `input_devices` keeps), or none.
const SourceEntry* find_input_source(const std::vector<SourceEntry>& sources,
                                     const std::string& default_source,
                                     const std::string& description);

}  // namespace quillbox::pulse
