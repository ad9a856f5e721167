#pragma once

// Capture streams on the PulseAudio server: record streams in the device's
// own format where it is 16- or 32-bit integers (32-bit float otherwise), at
// its own rate, channels and channel map, asking for fragments of at most
// 100 ms. Their callbacks run on the connection's main loop thread.
// What arrives in one wake-up of that thread (a device's block comes as
// several packets) is gathered into one delivery, measured once; the first
// one after a start or a resume waits a few milliseconds for the rest of
// its block.
//
// - A loopback records a sink's monitor and pushes one chunk per delivery.
//   Its start returns as soon as the stream is requested; a failure
//   afterwards (the server refuses the stream, the sink vanishes) is
//   recorded once as a loopback failure. Its error file (in
//   `error_file_dir`) is left to the processor: no file is touched on the
//   main loop thread, which every stream's callbacks share. A sink renders
//   as far ahead as its streams allow, up to 2 s when nobody plays, and its
//   monitor delivers nothing until real time catches up; so a loopback of an
//   idle sink restarts it (suspend and resume) once its own short-latency
//   stream is there. The recording stream itself keeps the sink from being
//   suspended when idle: the monitor delivers silence continuously.
// - An input stream records a source through `InputChunker` (chunks of at
//   least 5 ms, never split). Its start waits until the stream runs or
//   fails; a failure after that is reported once as "Mic stream error".
//
// Every chunk's time is the capture time of its first frame on the steady
// clock, measured as now less the stream's latency (how long ago the oldest
// unread frame was captured: source latency plus what waits in the buffers).
// A monitor may report a negative latency (its audio is rendered before the
// sink plays it), and right after a resume one from before the pause; the
// measurement is then the arrival less the length of the delivery, which
// holds the whole block the sink rendered. Measurements jitter
// with the delivery, so consecutive chunks follow their frames and the
// measurement only steers them, except after a gap: a suspended device (the
// server says so), or a measurement later than what was readable can cover;
// a chunk never ends after now.
//
// Destroying a stream disconnects it under the main loop's lock, so no
// callback of it runs afterwards; an input stream then pushes its last
// partial chunk. Streams keep their connection alive.

#include <pulse/pulseaudio.h>

#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "base/audio_format.h"
#include "engine/audio_buf.h"
#include "engine/capture.h"
#include "pulse/pulse_connection.h"

namespace quillbox::pulse {

// The longest fragments we ask for. The latency a stream asks for is the
// one its device runs at unless another stream asks for less: a device
// driven at 10 ms wakes the server, every player on it and us 100 times a
// second. The players' own latency (tens of ms) sets how often a playing
// sink's monitor delivers; a device nobody else uses delivers every 100 ms.
inline constexpr pa_usec_t FRAGMENT_USEC = 100000;

// What a record stream opens: a source by name, its rate, channel count and
// map; for a loopback of an idle sink also that sink, to restart it.
struct RecordTarget {
  std::string source;
  pa_sample_spec spec{};
  pa_channel_map map{};
  std::string restart_sink;
};

// Both start under `session` (the main loop's lock held).
StreamResult start_loopback_stream(std::shared_ptr<Connection> connection,
                                   const Connection::Session& session, const RecordTarget& target,
                                   AudioFormat format, std::shared_ptr<AudioBuf> buffer,
                                   std::optional<std::filesystem::path> error_file_dir);
StreamResult start_input_stream(std::shared_ptr<Connection> connection,
                                const Connection::Session& session, const RecordTarget& target,
                                AudioFormat format, std::shared_ptr<AudioBuf> buffer);

}  // namespace quillbox::pulse
