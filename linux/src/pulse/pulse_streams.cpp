#include "pulse/pulse_streams.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <utility>
#include <vector>

#include "engine/capture_stamps.h"
#include "engine/input_chunker.h"
#include "engine/sample_format.h"

namespace quillbox::pulse {
namespace {

using std::chrono::microseconds;
using std::chrono::steady_clock;

// How long the first delivery after a start or a resume waits for the rest
// of its block.
constexpr std::chrono::microseconds SETTLE{5000};

// What a stream asks the server for: the source's own samples where we can
// convert them ourselves, so the server hands them over as they are instead
// of converting them for us (and sends half the bytes for 16-bit); 32-bit
// floats otherwise. Every format kept reads zero bytes as silence.
struct WireFormat {
  pa_sample_format_t wire;
  SampleFormat format;
};
WireFormat wire_format(pa_sample_format_t source) {
  switch (source) {
    case PA_SAMPLE_S16NE:
      return {source, SampleFormat::I16};
    case PA_SAMPLE_S32NE:
      return {source, SampleFormat::I32};
    default:
      return {PA_SAMPLE_FLOAT32NE, SampleFormat::F32};
  }
}

// One record stream. The derived kinds say what becomes of the samples and
// of a failure; both run on the main loop thread with its lock held.
class RecordStream : public CaptureStream {
 public:
  RecordStream(std::shared_ptr<Connection> connection, AudioFormat format,
               std::shared_ptr<AudioBuf> buffer)
      : connection_(std::move(connection)), format_(format), buffer_(std::move(buffer)) {}
  RecordStream(const RecordStream&) = delete;
  RecordStream& operator=(const RecordStream&) = delete;

  AudioFormat format() const override { return format_; }

  // Under the lock: creates and connects the stream. Errors are the texts a
  // start returns.
  std::expected<void, std::string> open(pa_context* context, const RecordTarget& target) {
    spec_ = target.spec;
    const WireFormat wire = wire_format(spec_.format);
    spec_.format = wire.wire;
    wire_ = wire.format;
    stamps_ = CaptureStamps(spec_.rate, PACE);
    stream_ = pa_stream_new(context, "Quillbox capture", &spec_, &target.map);
    if (stream_ == nullptr) return std::unexpected(error_text(pa_context_errno(context)));
    pa_stream_set_state_callback(stream_, &RecordStream::on_state, this);
    pa_stream_set_read_callback(stream_, &RecordStream::on_read, this);
    pa_stream_set_suspended_callback(stream_, &RecordStream::on_suspended, this);
    api_ = connection_->loop()->api();
    drain_ = api_->defer_new(api_, &RecordStream::on_drain, this);
    api_->defer_enable(drain_, 0);
    settle_ = pa_context_rttime_new(context, PA_USEC_INVALID, &RecordStream::on_settled, this);
    read_on_arrival();
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(FRAGMENT_USEC, &spec_));
    // A vanished device ends the stream instead of moving it to another one.
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING |
                                       PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream_, target.source.c_str(), &attr, flags) < 0) {
      const int error = pa_context_errno(context);
      close_locked();
      return std::unexpected(error_text(error));
    }
    return {};
  }

  // Under the lock: waits until the stream runs; the server's refusal or no
  // answer is the error.
  std::expected<void, std::string> wait_ready() {
    const bool settled = connection_->wait([this] {
      return !PA_STREAM_IS_GOOD(pa_stream_get_state(stream_)) ||
             pa_stream_get_state(stream_) == PA_STREAM_READY;
    });
    if (pa_stream_get_state(stream_) == PA_STREAM_READY) {
      started_ = true;
      return {};
    }
    const int error = settled ? pa_context_errno(pa_stream_get_context(stream_)) : PA_ERR_TIMEOUT;
    close_locked();
    return std::unexpected(error_text(error));
  }

  // From now on failures go through the buffer.
  void mark_started() { started_ = true; }

 protected:
  // Called once per delivery: `count` samples of `format`, captured at
  // `time` (a hole the server reports is there as silence).
  virtual void deliver(SampleFormat format, const void* samples, std::size_t count,
                       CaptureTime time) = 0;
  // The stream failed after its start; `text` is the server's error text.
  virtual void failed(const std::string& text) = 0;

  // Disconnects the stream: afterwards no callback of it runs. Idempotent.
  void close() {
    if (stream_ == nullptr) return;
    Connection::Lock lock(connection_->loop());
    close_locked();
  }

  AudioBuf& buffer() { return *buffer_; }

 private:
  void close_locked() {
    if (stream_ == nullptr) return;
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_suspended_callback(stream_, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
    read_at_pace();
    if (drain_ != nullptr) api_->defer_free(drain_);
    drain_ = nullptr;
    if (settle_ != nullptr) api_->time_free(settle_);
    settle_ = nullptr;
  }

  static void on_state(pa_stream* stream, void* user) {
    auto* self = static_cast<RecordStream*>(user);
    self->connection_->loop()->signal();
    if (pa_stream_get_state(stream) != PA_STREAM_FAILED || !self->started_ || self->reported_) {
      return;
    }
    self->reported_ = true;
    const char* text = pa_strerror(pa_context_errno(pa_stream_get_context(stream)));
    self->failed(text != nullptr ? text : "unknown error");
  }

  // While its device is suspended a stream gets nothing: what comes after
  // the resume does not follow the frames before, and is read as it comes.
  // What arrives between the two notices is the rest from before.
  static void on_suspended(pa_stream* stream, void* user) {
    auto* self = static_cast<RecordStream*>(user);
    if (pa_stream_is_suspended(stream) == 1) {
      self->read_on_arrival();
    } else {
      self->lost_ = true;
    }
  }

  // The first delivery after a start or a resume sets where the audio
  // starts afresh, measured from when its packets arrived: the loop reads
  // it as it comes, not at its pace. A suspend's notice may itself wait for
  // the pace, but nothing comes while the device is suspended, so the
  // resume finds the loop looking. Later deliveries follow their frames.
  void read_on_arrival() {
    if (!eager_) connection_->loop()->eager(true);
    eager_ = true;
  }
  void read_at_pace() {
    if (eager_) connection_->loop()->eager(false);
    eager_ = false;
  }

  // A device's block reaches us as several packets in a row, each with its
  // own read callback. Everything that arrived in one wake-up goes out as
  // one delivery, measured once: the packets' own measurements disagree by
  // the block's length, and the first delivery after a pause would be
  // placed by whichever one came first. That first delivery, which sets
  // where the audio starts afresh, also waits `SETTLE` for the rest of its
  // block; it is measured from the last packet's arrival all the same.
  static void on_read(pa_stream*, std::size_t, void* user) {
    auto* self = static_cast<RecordStream*>(user);
    self->arrived_ = steady_clock::now();
    if ((!self->lost_ && self->stamps_.placed_any()) || self->settle_ == nullptr) {
      self->api_->defer_enable(self->drain_, 1);
    } else if (!self->settling_) {
      self->settling_ = true;
      pa_context_rttime_restart(pa_stream_get_context(self->stream_), self->settle_,
                                pa_rtclock_now() + static_cast<pa_usec_t>(SETTLE.count()));
    }
  }

  static void on_settled(pa_mainloop_api* api, pa_time_event* event, const timeval*, void* user) {
    auto* self = static_cast<RecordStream*>(user);
    self->settling_ = false;
    api->time_restart(event, nullptr);  // off until the next start or resume
    self->api_->defer_enable(self->drain_, 1);
  }

  // Everything readable goes out as one delivery (so it is all that is
  // queued); a hole the server reports reads as silence. A lone fragment
  // goes out straight from the server's memory.
  static void on_drain(pa_mainloop_api* api, pa_defer_event* event, void* user) {
    api->defer_enable(event, 0);
    auto* self = static_cast<RecordStream*>(user);
    pa_stream* stream = self->stream_;
    auto& gathered = self->gathered_;
    gathered.clear();
    std::size_t readable = pa_stream_readable_size(stream);
    if (readable == static_cast<std::size_t>(-1) || readable == 0) return;
    const CaptureTime measured = self->measure(stream, readable, self->arrived_);
    const void* lone = nullptr;
    std::size_t lone_bytes = 0;
    while (readable > 0) {
      const void* data = nullptr;
      std::size_t bytes = 0;
      if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
      readable -= std::min(readable, bytes);
      if (gathered.empty() && data != nullptr && readable == 0) {
        lone = data;
        lone_bytes = bytes;
        break;  // dropped once delivered
      }
      if (data != nullptr) {
        const auto* from = static_cast<const std::uint8_t*>(data);
        gathered.insert(gathered.end(), from, from + bytes);
      } else {
        gathered.resize(gathered.size() + bytes, 0);
      }
      pa_stream_drop(stream);
    }
    const void* samples = lone != nullptr ? lone : gathered.data();
    const std::size_t frames =
        (lone != nullptr ? lone_bytes : gathered.size()) / pa_frame_size(&self->spec_);
    if (frames > 0) {
      const bool afresh = self->lost_ || !self->stamps_.placed_any();
      const CaptureTime time =
          self->stamps_.place(measured, frames, steady_clock::now(), frames, self->lost_);
      self->lost_ = false;
      if (afresh) self->read_at_pace();
      self->deliver(self->wire_, samples, frames * self->spec_.channels, time);
    }
    if (lone != nullptr) pa_stream_drop(stream);
  }

  // When the oldest of `readable` unread bytes was captured: now less the
  // stream's latency, and at least less the length of what is there to read
  // (which is all a negative or unknown latency leaves to go by). A monitor
  // reports a negative latency, since its sink renders ahead of playing, and
  // right after a resume a figure from before the pause; what is readable
  // is the whole block the sink rendered, and goes by the same rule then as
  // at any other time. What is readable had all come by the moment its last
  // packet `arrived`.
  CaptureTime measure(pa_stream* stream, std::size_t readable, CaptureTime arrived) const {
    const CaptureTime now = steady_clock::now();
    const auto unread = frames_length(readable / pa_frame_size(&spec_), spec_.rate);
    CaptureTime measured = std::min(now, arrived) - unread;
    pa_usec_t usec = 0;
    int negative = 0;
    if (pa_stream_get_latency(stream, &usec, &negative) == 0 && negative == 0) {
      measured = std::min(measured, now - microseconds(usec));
    }
    return measured;
  }

  std::shared_ptr<Connection> connection_;
  AudioFormat format_;
  std::shared_ptr<AudioBuf> buffer_;
  pa_sample_spec spec_{};
  SampleFormat wire_ = SampleFormat::F32;  // what `spec_` asks the server for
  pa_stream* stream_ = nullptr;
  pa_mainloop_api* api_ = nullptr;
  pa_defer_event* drain_ = nullptr;  // enabled while packets wait to be gathered
  pa_time_event* settle_ = nullptr;  // the first delivery's wait for its block
  // The rest belongs to the main loop's thread (or is under its lock).
  bool started_ = false;
  bool reported_ = false;
  bool lost_ = false;  // the device resumed since the last delivery
  bool settling_ = false;
  bool eager_ = false;     // the loop's pace is lifted for this stream
  CaptureTime arrived_{};  // when the last packet came
  std::vector<std::uint8_t> gathered_;
  CaptureStamps stamps_{1};  // at the stream's rate once opened
};

class LoopbackStream final : public RecordStream {
 public:
  LoopbackStream(std::shared_ptr<Connection> connection, AudioFormat format,
                 std::shared_ptr<AudioBuf> buffer, std::string source,
                 std::optional<std::filesystem::path> error_file_dir)
      : RecordStream(std::move(connection), format, std::move(buffer)),
        source_(std::move(source)),
        error_file_dir_(std::move(error_file_dir)) {}
  ~LoopbackStream() override { close(); }

 protected:
  void deliver(SampleFormat format, const void* samples, std::size_t count,
               CaptureTime time) override {
    Chunk chunk;
    chunk.time = time;
    chunk.samples.resize(count);
    convert_samples(format, samples, count, chunk.samples.data());  // floats are clamped
    buffer().push(std::move(chunk));
  }
  void failed(const std::string& text) override {
    report_loopback_failure(buffer(), source_ + ": " + text, error_file_dir_);
  }

 private:
  std::string source_;
  std::optional<std::filesystem::path> error_file_dir_;
};

class InputStream final : public RecordStream {
 public:
  InputStream(std::shared_ptr<Connection> connection, AudioFormat format,
              std::shared_ptr<AudioBuf> buffer, const pa_sample_spec& spec)
      : RecordStream(std::move(connection), format, buffer),
        chunker_(std::move(buffer), spec.rate, spec.channels) {}
  ~InputStream() override {
    chunker_.stop_accepting();
    close();
    chunker_.finish();  // the last partial chunk is not lost
  }

 protected:
  void deliver(SampleFormat format, const void* samples, std::size_t count,
               CaptureTime time) override {
    chunker_.accept(format, samples, count, time);
  }
  void failed(const std::string& text) override { report_input_failure(buffer(), text); }

 private:
  InputChunker chunker_;
};

}  // namespace

StreamResult start_loopback_stream(std::shared_ptr<Connection> connection,
                                   const Connection::Session& session, const RecordTarget& target,
                                   AudioFormat format, std::shared_ptr<AudioBuf> buffer,
                                   std::optional<std::filesystem::path> error_file_dir) {
  auto stream = std::make_unique<LoopbackStream>(connection, format, std::move(buffer),
                                                 target.source, std::move(error_file_dir));
  if (auto opened = stream->open(session.context(), target); !opened) {
    return std::unexpected(opened.error());
  }
  // Whatever happens from here on, the stream reports it itself.
  stream->mark_started();
  if (!target.restart_sink.empty()) {
    // The server handles our requests in order: by now the stream asks the
    // sink for its short latency, so the sink renders from now on, that
    // short way ahead. Nothing plays on it, so nobody hears the restart.
    pa_context* context = session.context();
    const char* sink = target.restart_sink.c_str();
    auto done = [](pa_context*, int, void* loop) { static_cast<Loop*>(loop)->signal(); };
    connection->finish(pa_context_suspend_sink_by_name(context, sink, 1, done, connection->loop()));
    connection->finish(pa_context_suspend_sink_by_name(context, sink, 0, done, connection->loop()));
  }
  return stream;
}

StreamResult start_input_stream(std::shared_ptr<Connection> connection,
                                const Connection::Session& session, const RecordTarget& target,
                                AudioFormat format, std::shared_ptr<AudioBuf> buffer) {
  auto stream =
      std::make_unique<InputStream>(std::move(connection), format, std::move(buffer), target.spec);
  if (auto opened = stream->open(session.context(), target); !opened) {
    return std::unexpected(opened.error());
  }
  if (auto ready = stream->wait_ready(); !ready) return std::unexpected(ready.error());
  return stream;
}

}  // namespace quillbox::pulse
