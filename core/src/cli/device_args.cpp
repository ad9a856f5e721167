#include "cli/device_args.h"

#include <algorithm>
#include <cstddef>

#include "base/text.h"

namespace quillbox {
namespace {

enum class DeviceKind { Output, Input };

struct DeviceLine {
  DeviceKind kind;
  std::string entry;
  std::optional<AudioFormat> format;
  std::string_view role;  // how a default device is recorded; empty for the others
};

constexpr std::string_view SYSTEM_AUDIO_ROLE = "default: system audio";
constexpr std::string_view MIC_ROLE = "default: --mic";

std::string format_text(const std::optional<AudioFormat>& format) {
  if (!format) return "format unknown";
  std::string text = std::to_string(format->sample_rate) + " Hz, " +
                     std::to_string(format->channels) +
                     (format->channels == 1 ? " channel, " : " channels, ") +
                     std::to_string(format->bits_per_sample) + "-bit";
  if (format->is_float) text += " float";
  return text;
}

// A listed input device's own format, or else what its configuration tells.
AudioFormat config_format(const InputDeviceConfig& config) {
  const bool is_float = config.format == SampleFormat::F32;
  const auto bits = config.format == SampleFormat::I24 ? 24 : sample_bytes(config.format) * 8;
  return AudioFormat{config.sample_rate, config.channels, static_cast<std::uint16_t>(bits),
                     is_float};
}

// The devices the program can record, the default ones first of their kind.
// The default output's probe comes first: it makes the platform remember
// that device and leave it out of the list of the others.
std::vector<DeviceLine> device_lines(CapturePlatform& platform) {
  std::vector<DeviceLine> lines;
  const auto system_format = platform.probe_loopback_format(std::nullopt);
  if (const auto system = platform.default_output_device()) {
    lines.push_back({DeviceKind::Output, loopback_entry(system->name),
                     system_format ? std::optional(*system_format) : std::nullopt,
                     SYSTEM_AUDIO_ROLE});
  }
  for (const OutputDeviceInfo& device : platform.list_output_devices()) {
    const auto format = platform.probe_loopback_format(device.id);
    lines.push_back({DeviceKind::Output,
                     loopback_entry(device.name),
                     format ? std::optional(*format) : std::nullopt,
                     {}});
  }
  const InputDeviceList inputs = platform.list_input_devices();
  if (inputs.default_name) {
    lines.push_back({DeviceKind::Input, *inputs.default_name,
                     platform.probe_input_format(*inputs.default_name), MIC_ROLE});
  }
  for (const InputDeviceInfo& device : inputs.devices) {
    const auto format = platform.probe_input_format(device.name);
    lines.push_back(
        {DeviceKind::Input, device.name, format.value_or(config_format(device.config)), {}});
  }
  return lines;
}

void pad_to(std::string& text, std::size_t start, std::size_t width) {
  const std::size_t used = utf8_length(std::string_view(text).substr(start));
  if (used < width) text.append(width - used, ' ');
}

// Edits (insertions, deletions, replacements of one byte) between a and b.
std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string lower_ascii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

bool looks_like(const std::string& name, const std::string& candidate) {
  const std::size_t shorter = std::min(name.size(), candidate.size());
  if (shorter >= 3 && (name.contains(candidate) || candidate.contains(name))) return true;
  return edit_distance(name, candidate) <= std::max<std::size_t>(2, name.size() / 4);
}

std::string quoted_list(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    if (!text.empty()) text += ", ";
    text += "'" + name + "'";
  }
  return text;
}

}  // namespace

std::string device_listing(CapturePlatform& platform) {
  const std::vector<DeviceLine> lines = device_lines(platform);
  std::size_t name_width = 0;
  std::size_t format_width = 0;
  for (const DeviceLine& line : lines) {
    name_width = std::max(name_width, utf8_length(line.entry));
    format_width = std::max(format_width, format_text(line.format).size());
  }
  std::string text;
  for (const DeviceLine& line : lines) {
    const std::size_t start = text.size();
    text += line.kind == DeviceKind::Output ? "output  " : "input   ";
    text += line.entry;
    pad_to(text, start + 8, name_width + 2);
    const std::size_t format_start = text.size();
    text += format_text(line.format);
    if (!line.role.empty()) {
      pad_to(text, format_start, format_width + 2);
      text += line.role;
    }
    text += '\n';
  }
  return text;
}

std::optional<std::string> check_device_names(CapturePlatform& platform,
                                              const std::vector<std::string>& names) {
  if (names.empty()) return std::nullopt;
  const std::vector<DeviceLine> lines = device_lines(platform);
  std::vector<std::string> entries;
  for (const DeviceLine& line : lines)
    if (line.role.empty()) entries.push_back(line.entry);
  for (const std::string& name : names) {
    if (std::ranges::find(entries, name) != entries.end()) continue;
    const auto def = std::ranges::find(lines, name, &DeviceLine::entry);
    if (def != lines.end()) {
      return "Device '" + name + "' is the default " +
             (def->kind == DeviceKind::Output ? "output, recorded as system audio"
                                              : "input, recorded with --mic");
    }
    const std::vector<std::string> close = close_matches(name, entries);
    if (close.empty()) return "Unknown device '" + name + "'. --list-devices lists the devices";
    return "Unknown device '" + name + "'. Close matches: " + quoted_list(close);
  }
  return std::nullopt;
}

std::vector<std::string> close_matches(std::string_view name,
                                       const std::vector<std::string>& entries) {
  const std::string wanted = lower_ascii(strip_loopback_prefix(name));
  std::vector<std::string> found;
  for (const std::string& entry : entries) {
    if (looks_like(wanted, lower_ascii(strip_loopback_prefix(entry)))) found.push_back(entry);
  }
  return found;
}

}  // namespace quillbox
