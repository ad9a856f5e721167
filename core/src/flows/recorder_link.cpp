#include "flows/recorder_link.h"

#include <algorithm>
#include <string_view>
#include <utility>

namespace quillbox {
namespace {

// How the recorder's text of a recording that could not be placed anywhere begins.
constexpr std::string_view NO_WRITABLE_DIR_START =
    "Recording couldn't be started because no writeable directory could be found.";

}  // namespace

std::expected<Recorder, StartFailure> start_recorder(const StartRequest& request,
                                                     const RecorderEnv& env) {
  auto started = Recorder::start(request, env);
  if (started) return std::move(*started);
  StartFailure failure{std::move(started.error()), false};
  failure.no_writable_dir = failure.text.starts_with(NO_WRITABLE_DIR_START);
  return std::unexpected(std::move(failure));
}

bool records_source(const Recorder& recorder, const SourceKey& key) {
  return std::ranges::any_of(recorder.sources(), [&](const SourceInfo& s) { return s.key == key; });
}

bool switch_recorder_source(Recorder& recorder, const SourceKey& key, bool enabled,
                            UiServices& ui) {
  // The recorder joins its workers by the end of its stop, so `ui` outlives them.
  const SwitchOutcome outcome = recorder.set_source_enabled(
      key, enabled, [&ui](SourceStartResult result) { ui.post_source_started(std::move(result)); });
  return outcome == SwitchOutcome::Starting;
}

std::optional<std::string> attach_source(Recorder& recorder, const SourceStartResult& result) {
  return recorder.attach_stream(result);
}

}  // namespace quillbox
