#include "flows/loss_report.h"

#include <algorithm>
#include <cmath>

namespace quillbox {
namespace {

std::string join(const std::vector<std::string>& parts, const char* separator) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) out += (i > 0 ? separator : "") + parts[i];
  return out;
}

// "05" for 5: the seconds and minutes of a time.
std::string two_digits(long long v) {
  return (v < 10 ? "0" : "") + std::to_string(v);
}

std::string lost_audio_line(const LostAudio& loss) {
  double seconds = 0;
  std::string times;
  for (std::size_t i = 0; i < loss.stretches.size(); ++i) {
    const LostAudio::Stretch& s = loss.stretches[i];
    seconds += s.seconds;
    if (i > 0) times += i + 1 == loss.stretches.size() ? " and " : ", ";
    const auto at = static_cast<std::chrono::seconds::rep>(std::floor(std::max(s.at, 0.0)));
    times += clock_text(std::chrono::seconds(at));
  }
  const long long tenths = std::llround(std::max(seconds, 0.0) * 10);
  return loss.source + ": " + std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) +
         " s lost at " + times + " while writing could not keep up";
}

}  // namespace

std::string clock_text(std::chrono::seconds elapsed) {
  const long long s = std::max<long long>(elapsed.count(), 0);
  if (s < 3600) return std::to_string(s / 60) + ":" + two_digits(s % 60);
  return std::to_string(s / 3600) + ":" + two_digits(s % 3600 / 60) + ":" + two_digits(s % 60);
}

std::vector<std::string> lost_audio_lines(const std::vector<LostAudio>& lost) {
  std::vector<std::string> lines;
  for (const LostAudio& loss : lost)
    if (!loss.stretches.empty()) lines.push_back(lost_audio_line(loss));
  return lines;
}

void report_lost_audio(UiServices& ui, const std::vector<LostAudio>& lost) {
  const std::vector<std::string> lines = lost_audio_lines(lost);
  if (lines.empty()) return;
  ui.set_status(join(lines, "; "));
  // Each line stands alone, so a console shows one line per source.
  ui.show_message(
      {"Audio lost",
       "Some audio could not be kept; it is silence in the recording:\n" + join(lines, "\n"),
       MessageIcon::Warning});
}

bool report_every_source_failed(UiServices& ui, const StopResult& stopped) {
  if (!stopped.every_source_failed) return false;
  std::string text = "Every source of the recording failed";
  const std::vector<std::string>& failures = *stopped.every_source_failed;
  text += failures.empty() ? "." : ":\n" + join(failures, "\n");
  text += "\n\nWhatever was captured before this has been saved.";
  ui.set_status("Recording stopped: every source failed.");
  ui.show_message({"Recording stopped", text, MessageIcon::Error});
  return true;
}

}  // namespace quillbox
