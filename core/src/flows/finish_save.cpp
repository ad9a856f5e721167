#include "flows/finish_save.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "base/file_moves.h"
#include "base/path_names.h"
#include "base/text.h"
#include "flows/loss_report.h"
#include "wav/normalize.h"
#include "wav/repair.h"

namespace quillbox {
namespace {

// A quiet mix below this peak is offered for normalizing.
constexpr float HEADROOM_THRESHOLD = 0.5f;
// The window's button that normalizes any file.
constexpr char NORMALIZE_TOOL[] = "Normalize WAV file...";

constexpr Control CONTROLS_UNLOCKED_AT_FINISH[] = {Control::SingleRadio, Control::SilenceRadio,
                                                   Control::InstructedRadio, Control::QualityCombo,
                                                   Control::AskSaveBox};

std::string join_lines(const std::vector<std::string>& lines) {
  std::string out;
  for (std::size_t i = 0; i < lines.size(); ++i) out += (i > 0 ? "\n" : "") + lines[i];
  return out;
}

Error fs_error(const std::error_code& ec) {
  return ec.category() == std::system_category() ? os_error(ec.value()) : app_error(ec.message());
}

bool is_stems(RecordMode mode) {
  return mode != RecordMode::Single;
}

// A recording that left sources unused keeps their headroom in the mix:
// offer to lift it to full scale. A timed run is often unattended, so it
// never waits on the question: it only says so, and the note for the status
// line comes back.
std::optional<std::string> offer_normalize(AppContext& app, const StopResult& stopped,
                                           const std::vector<std::filesystem::path>& saved,
                                           bool timed) {
  if (is_stems(stopped.mode) || stopped.used_sources >= stopped.source_count) return std::nullopt;
  // The peak was kept as the files were written: nothing is read back, so
  // the stop takes as long after an hour as after a minute.
  if (saved.empty() || !stopped.peak || !(*stopped.peak < HEADROOM_THRESHOLD)) return std::nullopt;

  const std::string quiet = "Recording used " + std::to_string(stopped.used_sources) + " of " +
                            std::to_string(stopped.source_count) +
                            " sources and the file is quiet (headroom from unused sources).";
  if (timed) {
    const std::string tool =
        std::string("use \"") + NORMALIZE_TOOL + "\" to raise it to peak volume.";
    app.err(quiet + " It was not normalized (a timed recording); " + tool + "\n");
    return "The file is quiet; " + tool;
  }
  if (app.ui.show_message({"Normalize recording?", quiet + "\n\nNormalize to peak volume now?",
                           MessageIcon::Question, MessageButtons::YesNo}) != MessageAnswer::Yes)
    return std::nullopt;
  std::vector<std::string> failures;
  for (const auto& file : saved)
    if (auto done = normalize_file(file); !done)
      failures.push_back(path_to_text(file) + ": " + done.error().text);
  if (!failures.empty()) {
    app.ui.show_message({"Normalize error",
                         "Normalized " + std::to_string(saved.size() - failures.size()) +
                             " file(s) with " + std::to_string(failures.size()) + " error(s):\n" +
                             join_lines(failures),
                         MessageIcon::Error});
  } else {
    app.ui.show_message({"Normalize complete",
                         "Normalized " + std::to_string(saved.size()) + " file(s).",
                         MessageIcon::Information});
  }
  return std::nullopt;
}

using SaveResult = std::expected<std::optional<std::vector<std::filesystem::path>>, std::string>;

// Save As for a single-file recording; nothing (no move) when cancelled.
SaveResult save_single(AppContext& app, const std::vector<std::filesystem::path>& saved) {
  SaveFileRequest request{"Save recording as",
                          {{"WAV Files (*.wav)", "*.wav"}},
                          path_to_text(saved.front().filename())};
  const DialogResult chosen = app.ui.save_file_dialog(request);
  // A dialog that fails counts as cancelled.
  const auto* path = std::get_if<std::filesystem::path>(&chosen);
  if (path == nullptr) return std::nullopt;
  std::filesystem::path destination = *path;
  if (name_parts(destination).extension.empty()) destination += ".wav";

  std::vector<std::filesystem::path> final_list;
  // The dialog asked about replacing the chosen name only.
  if (auto moved = move_file(saved.front(), destination, true, app.rename); !moved)
    return std::unexpected(moved.error().text);
  final_list.push_back(destination);
  for (std::size_t i = 1; i < saved.size(); ++i) {
    // Later parts never replace a file the user was not asked about.
    std::filesystem::path target = saved_part_path(destination, i + 1);
    if (!same_file(saved[i], target)) target = unique_path(target);
    if (auto moved = move_file(saved[i], target, false, app.rename); !moved)
      return std::unexpected(moved.error().text);
    final_list.push_back(target);
  }
  return final_list;
}

bool is_wav(const std::filesystem::path& path) {
  std::string ext = path_to_text(path.extension());
  std::ranges::transform(ext, ext.begin(), [](unsigned char c) { return std::tolower(c); });
  return ext == ".wav";
}

// The folder picker for stems: every file of the session folder moves there
// under a free name, and the emptied session folder is removed.
SaveResult save_stems(AppContext& app, const std::vector<std::filesystem::path>& saved) {
  const DialogResult chosen = app.ui.folder_dialog({"Choose folder for stem files"});
  if (std::holds_alternative<DialogCancelled>(chosen)) return std::nullopt;
  if (const auto* error = std::get_if<std::string>(&chosen)) return std::unexpected(*error);
  const std::filesystem::path& folder = std::get<std::filesystem::path>(chosen);

  const std::filesystem::path session = saved.front().parent_path();
  if (session.empty())
    return std::unexpected(std::string("stem recording has no session directory"));
  if (same_path(folder, session)) return saved;

  std::vector<std::filesystem::path> final_list;
  std::error_code ec;
  std::filesystem::directory_iterator it(session, ec);
  if (ec) return std::unexpected(fs_error(ec).text);
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    std::error_code kind_ec;
    const bool directory = it->is_directory(kind_ec);
    if (kind_ec || directory) continue;
    const std::filesystem::path target = unique_path(folder / it->path().filename());
    if (auto moved = move_file(it->path(), target, false, app.rename); !moved)
      return std::unexpected(moved.error().text);
    if (is_wav(target)) final_list.push_back(target);
  }
  if (ec) return std::unexpected(fs_error(ec).text);
  std::filesystem::remove(session, ec);
  if (ec) return std::unexpected(fs_error(ec).text);
  return final_list;
}

// A folder created for this recording goes again when the files left it.
void remove_created_dir(AppContext& app, const StopResult& stopped,
                        const std::vector<std::filesystem::path>& final_list) {
  if (!stopped.output_dir_created) return;
  const bool some_outside = std::ranges::any_of(
      final_list, [&](const auto& f) { return !path_inside(f, stopped.output_dir); });
  if (!some_outside) return;
  std::error_code ec;
  std::filesystem::remove(stopped.output_dir, ec);
  if (ec)
    app.err("Could not remove temporary output directory " + path_to_text(stopped.output_dir) +
            ": " + fs_error(ec).text + "\n");
}

// Files deleted or moved while recording were saved again: say where.
void tell_rescued(AppContext& app, const std::vector<RescuedFile>& rescued) {
  std::vector<std::filesystem::path> folders;
  for (const RescuedFile& r : rescued)
    if (std::ranges::find(folders, r.to.parent_path()) == folders.end())
      folders.push_back(r.to.parent_path());
  std::string text =
      "Files of this recording were deleted or moved while it was recording. Everything "
      "recorded has been saved again in:";
  for (const auto& folder : folders) text += "\n" + path_to_text(folder);
  app.ui.show_message({"Recording saved again", text, MessageIcon::Warning});
}

std::string saved_status(RecordMode mode, const std::vector<std::filesystem::path>& files) {
  const std::string first = files.empty() ? std::string() : path_to_text(files.front());
  const std::size_t n = files.size();
  if (is_stems(mode))
    return n == 1 ? "Saved stem: " + first : "Saved " + std::to_string(n) + " stems: " + first;
  return n == 1 ? "Saved: " + first : "Saved " + std::to_string(n) + " parts: " + first;
}

}  // namespace

std::filesystem::path saved_part_path(const std::filesystem::path& destination, std::size_t k) {
  const NameParts parts = name_parts(destination);
  std::string stem = parts.stem.empty() ? "recording" : path_to_text(parts.stem);
  std::string ext = parts.extension.empty() ? "wav" : path_to_text(parts.extension).substr(1);
  return destination.parent_path() / path_from_utf8(stem + "_part" + std::to_string(k) + "." + ext);
}

FinishOutcome finish_recording(AppContext& app) {
  UiServices& ui = app.ui;
  ui.set_text(Control::StartButton, "&Start Recording");
  ui.set_text(Control::DurationLabel, "");
  for (Control c : CONTROLS_UNLOCKED_AT_FINISH) ui.set_enabled(c, true);
  app.state.started_at.reset();
  // The deadline goes when the finish is done, not before: the timer runs on
  // under the finish's boxes, and a timed run, often unattended, closes at
  // its deadline even when nobody answers one.
  const bool timed = app.state.deadline.has_value();
  struct ClearDeadline {
    AppState& state;
    ~ClearDeadline() { state.deadline.reset(); }
  } clear_deadline{app.state};
  if (!app.state.recorder) return FinishOutcome::NoRecording;
  Recorder recorder = std::move(*app.state.recorder);
  app.state.recorder.reset();
  const bool ask_save = ui.checked(Control::AskSaveBox);

  const StopResult stopped = std::move(recorder).stop();

  std::vector<std::filesystem::path> saved;
  std::vector<std::string> save_errors;
  for (const auto& file : stopped.files) {
    if (auto wav = repair_file(file))
      saved.push_back(*wav);
    else
      save_errors.push_back(path_to_text(file) + ": " + wav.error().text);
  }

  if (!stopped.rescued.empty()) tell_rescued(app, stopped.rescued);

  FinishOutcome outcome = FinishOutcome::Saved;
  if (!stopped.error) {
    if (!save_errors.empty()) {
      ui.set_status("Save error.");
      ui.show_message(
          {"Save error", "Save error(s):\n" + join_lines(save_errors), MessageIcon::Error});
      outcome = FinishOutcome::SaveError;
      if (saved.empty()) return outcome;
    } else if (saved.empty()) {
      ui.set_status("No audio recorded.");
      ui.show_message({"Nothing recorded", "No audio was recorded.", MessageIcon::Information});
      return FinishOutcome::NothingRecorded;
    }
  } else {
    const std::string& msg = *stopped.error;
    std::string text = "Recording stopped because writing failed:\n" + msg;
    if (!saved.empty()) text += "\n\nWhatever was captured before this has been saved.";
    if (!save_errors.empty()) text += "\n\nSave error(s):\n" + join_lines(save_errors);
    ui.set_status("Recording error: " + msg);
    ui.show_message({"Recording error", text, MessageIcon::Error});
    outcome = FinishOutcome::WriteError;
    if (saved.empty()) return outcome;
  }
  if (report_every_source_failed(ui, stopped) && outcome == FinishOutcome::Saved)
    outcome = FinishOutcome::SourcesFailed;
  report_lost_audio(ui, stopped.lost);

  const std::optional<std::string> quiet_note = offer_normalize(app, stopped, saved, timed);

  std::vector<std::filesystem::path> final_list = saved;
  if (ask_save) {
    const SaveResult moved =
        is_stems(stopped.mode) ? save_stems(app, saved) : save_single(app, saved);
    if (!moved) {
      std::string text = "Save As error: " + moved.error();
      if (const auto dir = saved.front().parent_path(); !dir.empty())
        text += "\n\nAny files that were not moved are still in:\n" + path_to_text(dir);
      ui.show_message({"Save As error", text, MessageIcon::Error});
      ui.set_status("Save As error.");
      return outcome == FinishOutcome::Saved ? FinishOutcome::SaveAsError : outcome;
    }
    if (*moved) {
      final_list = std::move(**moved);
      remove_created_dir(app, stopped, final_list);
    }
  }
  // The note on a line of its own: the first line says where, as always.
  ui.set_status(saved_status(stopped.mode, final_list) +
                (quiet_note ? "\n" + *quiet_note : std::string()));
  return outcome;
}

}  // namespace quillbox
