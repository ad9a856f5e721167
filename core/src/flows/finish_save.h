#pragma once

// Ending a recording in the window: the controls go back to idle, the
// recorder stops, every file is repaired to WAV, write and save errors are
// reported, a quiet mixed recording is offered for normalizing, the files go
// where the user chooses, a created output folder left empty is removed,
// and the status line says where the recording is. Audio the sources lost,
// and a recording whose every source failed, are told before the offer.

#include <filesystem>
#include <vector>

#include "flows/app_state.h"

namespace quillbox {

// How a finish ended, for front ends that report it (the console's exit status).
enum class FinishOutcome {
  NoRecording,      // nothing was running
  Saved,            // files saved; the status line says where
  NothingRecorded,  // "No audio recorded."
  WriteError,       // the recording ended with a write error (what was saved stays)
  SaveError,        // some files could not be repaired (the others stay)
  SaveAsError,      // moving to the chosen place failed (files not moved stay)
  SourcesFailed,    // every source failed, so the recording stopped (what was captured stays)
};

// The "{stem}_part{k}.{ext}" name of the k-th file (k >= 2) saved under `destination`.
std::filesystem::path saved_part_path(const std::filesystem::path& destination, std::size_t k);

FinishOutcome finish_recording(AppContext& app);

}  // namespace quillbox
