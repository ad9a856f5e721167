#pragma once

// Finished recordings as a listener gets them: every `.recpart` file
// repaired to WAV and read back, in the order given.

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "base/text.h"
#include "signal_analysis.h"
#include "wav/repair.h"

namespace quillbox::test_support {

inline std::vector<signal::Audio> repaired(const std::vector<std::filesystem::path>& files) {
  std::vector<signal::Audio> out;
  for (const auto& f : files) {
    if (f.extension() != ".recpart") continue;
    auto wav = repair_file(f);
    EXPECT_TRUE(wav.has_value()) << path_to_text(f);
    if (!wav) continue;
    auto audio = signal::read_wav(*wav);
    EXPECT_TRUE(audio.has_value()) << path_to_text(*wav);
    if (audio) out.push_back(std::move(*audio));
  }
  return out;
}

}  // namespace quillbox::test_support
