#pragma once

// What the end of a recording tells about audio it could not get: the
// stretches its sources lost while writing could not keep up (silence at
// their true time in the files), and a recording that stopped because every
// source failed.

#include <chrono>
#include <string>
#include <vector>

#include "engine/recorder.h"
#include "flows/ui_services.h"

namespace quillbox {

// A time since the recording's start: "m:ss", or "h:mm:ss" from an hour on.
std::string clock_text(std::chrono::seconds elapsed);

// One line per source: "{source}: {seconds} s lost at {time} while writing
// could not keep up", the seconds in all to one decimal, the time where each
// stretch begins as `clock_text` ("at 2:40", "at 0:10 and 2:40", "at 0:10,
// 2:40 and 9:05").
std::vector<std::string> lost_audio_lines(const std::vector<LostAudio>& lost);

// When audio was lost: those lines in the status line and once in a box.
void report_lost_audio(UiServices& ui, const std::vector<LostAudio>& lost);

// When every source failed: the status line and a box with each failure,
// for a recording whose files were saved. Returns whether it reported.
bool report_every_source_failed(UiServices& ui, const StopResult& stopped);

}  // namespace quillbox
