#include "pulse/pulse_platform.h"

#include <filesystem>
#include <optional>
#include <utility>

#include "base/platform_paths.h"
#include "pulse/pulse_connection.h"
#include "pulse/pulse_devices.h"
#include "pulse/pulse_streams.h"
#include "pulse/pulse_watch.h"

namespace quillbox {
namespace {

using pulse::Connection;

class PulsePlatform final : public CapturePlatform {
 public:
  std::vector<OutputDeviceInfo> list_output_devices() override {
    auto session = connection_->session();
    if (!session) return {};
    auto sinks = pulse::list_sinks(*connection_, session->context());
    if (!sinks) return {};
    return pulse::output_devices(*sinks, default_output_);
  }

  InputDeviceList list_input_devices() override {
    auto session = connection_->session();
    if (!session) return {};
    auto sources = input_sources(*session);
    if (!sources) return {};
    return pulse::input_devices(sources->list, sources->default_name);
  }

  std::optional<std::string> default_input_name() override {
    auto session = connection_->session();
    if (!session) return std::nullopt;
    auto sources = input_sources(*session);
    if (!sources) return std::nullopt;
    const pulse::SourceEntry* def = pulse::default_input(sources->list, sources->default_name);
    if (def == nullptr) return std::nullopt;
    return def->description;
  }

  std::expected<AudioFormat, std::string> probe_loopback_format(
      const std::optional<std::string>& id) override {
    auto session = connection_->session();
    if (!session) return std::unexpected(session.error());
    auto sink = find_sink(*session, id);
    if (!sink) return std::unexpected(sink.error());
    return pulse::native_spec(sink->spec);
  }

  std::optional<AudioFormat> probe_input_format(const std::string& name) override {
    auto session = connection_->session();
    if (!session) return std::nullopt;
    auto sources = pulse::list_sources(*connection_, session->context());
    if (!sources) return std::nullopt;
    for (const auto& source : *sources) {
      if (!source.is_monitor && source.description == name) return pulse::native_spec(source.spec);
    }
    return std::nullopt;
  }

  StreamResult start_loopback(const std::optional<std::string>& id,
                              std::shared_ptr<AudioBuf> buffer) override {
    auto session = connection_->session();
    if (!session) return std::unexpected(session.error());
    auto sink = find_sink(*session, id);
    if (!sink) return std::unexpected(sink.error());
    return pulse::start_loopback_stream(
        connection_, *session,
        {sink->monitor, sink->spec, sink->map, sink->running ? "" : sink->name},
        pulse::native_spec(sink->spec), std::move(buffer), exe_dir_);
  }

  StreamResult start_default_mic(std::shared_ptr<AudioBuf> buffer) override {
    auto session = connection_->session();
    if (!session) return std::unexpected(session.error());
    auto sources = input_sources(*session);
    if (!sources) return std::unexpected(sources.error());
    const pulse::SourceEntry* source = pulse::default_input(sources->list, sources->default_name);
    if (source == nullptr) return std::unexpected(std::string("No default input device"));
    return start_input_source(*session, *source, std::move(buffer));
  }

  StreamResult start_input(const InputDeviceInfo& device,
                           std::shared_ptr<AudioBuf> buffer) override {
    auto session = connection_->session();
    if (!session) return std::unexpected(session.error());
    auto sources = input_sources(*session);
    if (!sources) return std::unexpected(sources.error());
    const pulse::SourceEntry* source =
        pulse::find_input_source(sources->list, sources->default_name, device.name);
    if (source == nullptr) return std::unexpected(device.name + ": input device not found");
    return start_input_source(*session, *source, std::move(buffer));
  }

  std::optional<OutputDeviceInfo> default_output_device() override {
    auto session = connection_->session();
    if (!session) return std::nullopt;
    auto sink = default_sink(*session);
    if (!sink) return std::nullopt;
    return OutputDeviceInfo{sink->description, sink->name};
  }

  std::unique_ptr<DefaultOutputWatch> watch_default_output(std::function<void()> changed) override {
    return pulse::watch_server(std::move(changed));
  }

 private:
  // The server's sources and the name of its default source.
  struct InputSources {
    std::vector<pulse::SourceEntry> list;
    std::string default_name;
  };
  std::expected<InputSources, std::string> input_sources(const Connection::Session& session) {
    auto defaults = pulse::server_defaults(*connection_, session.context());
    if (!defaults) return std::unexpected(defaults.error());
    auto list = pulse::list_sources(*connection_, session.context());
    if (!list) return std::unexpected(list.error());
    return InputSources{std::move(*list), defaults->source};
  }

  // The sink of that name, or the server's default sink, whose name is then
  // remembered as the default output id.
  std::expected<pulse::SinkEntry, std::string> find_sink(const Connection::Session& session,
                                                         const std::optional<std::string>& id) {
    auto sink = id ? sink_named(session, *id) : default_sink(session);
    if (sink && !id) default_output_.remember(sink->name);
    return sink;
  }

  // The server's default sink as it is now.
  std::expected<pulse::SinkEntry, std::string> default_sink(const Connection::Session& session) {
    auto defaults = pulse::server_defaults(*connection_, session.context());
    if (!defaults) return std::unexpected(defaults.error());
    if (defaults->sink.empty()) return std::unexpected(pulse::error_text(PA_ERR_NOENTITY));
    return sink_named(session, defaults->sink);
  }

  std::expected<pulse::SinkEntry, std::string> sink_named(const Connection::Session& session,
                                                          const std::string& name) {
    auto sinks = pulse::list_sinks(*connection_, session.context());
    if (!sinks) return std::unexpected(sinks.error());
    for (const auto& sink : *sinks) {
      if (sink.name == name) return sink;
    }
    return std::unexpected(pulse::error_text(PA_ERR_NOENTITY));
  }

  // The stream's format is the source's own; it records float32 at the
  // source's rate and channels.
  StreamResult start_input_source(const Connection::Session& session,
                                  const pulse::SourceEntry& source,
                                  std::shared_ptr<AudioBuf> buffer) {
    return pulse::start_input_stream(connection_, session,
                                     {source.name, source.spec, source.map, {}},
                                     pulse::native_spec(source.spec), std::move(buffer));
  }

  std::shared_ptr<Connection> connection_ = std::make_shared<Connection>();
  DefaultOutputId default_output_;
  // Where a loopback's error file goes; looked up once, not on the main loop.
  const std::optional<std::filesystem::path> exe_dir_ = executable_directory();
};

}  // namespace

std::shared_ptr<CapturePlatform> make_pulse_platform() {
  return std::make_shared<PulsePlatform>();
}

}  // namespace quillbox
