#include "flows/source_peaks.h"

namespace quillbox {

std::vector<SourcePeak> enabled_source_peaks(const Recorder& recorder) {
  const std::vector<float> peaks = recorder.take_peaks();
  std::vector<SourcePeak> out;
  for (std::size_t i = 0; i < peaks.size() && i < recorder.sources().size(); ++i) {
    const SourceInfo& source = recorder.sources()[i];
    if (source.feed->enabled()) out.push_back({source.key, peaks[i]});
  }
  return out;
}

}  // namespace quillbox
