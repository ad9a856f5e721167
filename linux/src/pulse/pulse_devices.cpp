#include "pulse/pulse_devices.h"

namespace quillbox::pulse {
namespace {

std::string text_or_empty(const char* text) {
  return text != nullptr ? std::string(text) : std::string();
}

template <typename T>
struct Collected {
  Loop* loop;
  std::vector<T> items;
};

std::string failure(pa_context* context, bool completed) {
  return error_text(completed ? pa_context_errno(context) : PA_ERR_TIMEOUT);
}

}  // namespace

std::expected<ServerDefaults, std::string> server_defaults(Connection& connection,
                                                           pa_context* context) {
  Collected<ServerDefaults> out{connection.loop(), {}};
  pa_operation* op = pa_context_get_server_info(
      context,
      [](pa_context*, const pa_server_info* info, void* user) {
        auto* c = static_cast<Collected<ServerDefaults>*>(user);
        if (info != nullptr) {
          c->items.push_back(
              {text_or_empty(info->default_sink_name), text_or_empty(info->default_source_name)});
        }
        c->loop->signal();
      },
      &out);
  const bool completed = connection.finish(op);
  if (!completed || out.items.empty()) return std::unexpected(failure(context, completed));
  return out.items.front();
}

std::expected<std::vector<SinkEntry>, std::string> list_sinks(Connection& connection,
                                                              pa_context* context) {
  Collected<SinkEntry> out{connection.loop(), {}};
  pa_operation* op = pa_context_get_sink_info_list(
      context,
      [](pa_context*, const pa_sink_info* info, int eol, void* user) {
        auto* c = static_cast<Collected<SinkEntry>*>(user);
        if (eol == 0 && info != nullptr) {
          c->items.push_back({text_or_empty(info->name), text_or_empty(info->description),
                              text_or_empty(info->monitor_source_name), info->sample_spec,
                              info->channel_map, info->state == PA_SINK_RUNNING});
        }
        c->loop->signal();
      },
      &out);
  const bool completed = connection.finish(op);
  if (!completed) return std::unexpected(failure(context, completed));
  return std::move(out.items);
}

std::expected<std::vector<SourceEntry>, std::string> list_sources(Connection& connection,
                                                                  pa_context* context) {
  Collected<SourceEntry> out{connection.loop(), {}};
  pa_operation* op = pa_context_get_source_info_list(
      context,
      [](pa_context*, const pa_source_info* info, int eol, void* user) {
        auto* c = static_cast<Collected<SourceEntry>*>(user);
        if (eol == 0 && info != nullptr) {
          c->items.push_back({text_or_empty(info->name), text_or_empty(info->description),
                              info->monitor_of_sink != PA_INVALID_INDEX, info->sample_spec,
                              info->channel_map});
        }
        c->loop->signal();
      },
      &out);
  const bool completed = connection.finish(op);
  if (!completed) return std::unexpected(failure(context, completed));
  return std::move(out.items);
}

AudioFormat native_spec(const pa_sample_spec& spec) {
  AudioFormat out{spec.rate, spec.channels, 16, false};
  switch (spec.format) {
    case PA_SAMPLE_FLOAT32LE:
    case PA_SAMPLE_FLOAT32BE:
      out.bits_per_sample = 32;
      out.is_float = true;
      break;
    case PA_SAMPLE_S24LE:
    case PA_SAMPLE_S24BE:
    case PA_SAMPLE_S24_32LE:
    case PA_SAMPLE_S24_32BE:
      out.bits_per_sample = 24;
      break;
    case PA_SAMPLE_S32LE:
    case PA_SAMPLE_S32BE:
      out.bits_per_sample = 32;
      break;
    case PA_SAMPLE_U8:
      out.bits_per_sample = 8;
      break;
    default:  // s16, and a-law / mu-law, which decode to 16 bits
      break;
  }
  return out;
}

std::vector<OutputDeviceInfo> output_devices(const std::vector<SinkEntry>& sinks,
                                             const DefaultOutputId& default_output_id) {
  std::vector<OutputDeviceInfo> out;
  for (const auto& sink : sinks) out.push_back({sink.description, sink.name});
  return without_default_output(std::move(out), default_output_id);
}

const SourceEntry* default_input(const std::vector<SourceEntry>& sources,
                                 const std::string& default_source) {
  if (default_source.empty()) return nullptr;
  for (const auto& source : sources) {
    if (source.name == default_source) return source.is_monitor ? nullptr : &source;
  }
  return nullptr;
}

InputDeviceList input_devices(const std::vector<SourceEntry>& sources,
                              const std::string& default_source) {
  std::optional<std::string> default_name;
  if (const SourceEntry* def = default_input(sources, default_source)) {
    default_name = def->description;
  }
  std::vector<InputDeviceInfo> candidates;
  for (const auto& source : sources) {
    if (source.is_monitor) continue;
    candidates.push_back(
        {source.description, InputDeviceConfig{static_cast<std::uint16_t>(source.spec.channels),
                                               source.spec.rate, SampleFormat::F32}});
  }
  return make_input_device_list(std::move(default_name), std::move(candidates));
}

const SourceEntry* find_input_source(const std::vector<SourceEntry>& sources,
                                     const std::string& default_source,
                                     const std::string& description) {
  const SourceEntry* def = default_input(sources, default_source);
  if (def != nullptr && def->description == description) return nullptr;
  for (const auto& source : sources) {
    if (!source.is_monitor && source.description == description) return &source;
  }
  return nullptr;
}

}  // namespace quillbox::pulse
