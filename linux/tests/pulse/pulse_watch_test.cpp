// The default output device and its watch against the private test server:
// null sinks "Speakers" (the default) and "Headset". Skipped when no such
// server runs (PULSE_SERVER unset).

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "engine/capture.h"
#include "pulse/pulse_platform.h"
#include "test_support.h"

namespace quillbox {
namespace {

using test_support::eventually;

// Makes `sink` the server's default output.
bool set_default_sink(const std::string& sink) {
  return std::system(("pactl set-default-sink " + sink).c_str()) == 0;
}

TEST(PulseWatch, TellsOfANewDefaultSinkUntilItIsDropped) {
  if (std::getenv("PULSE_SERVER") == nullptr) GTEST_SKIP() << "no test server";
  auto platform = make_pulse_platform();
  ASSERT_TRUE(set_default_sink("speakers"));
  const auto before = platform->default_output_device();
  ASSERT_TRUE(before.has_value());
  EXPECT_EQ(before->name, "Speakers");
  EXPECT_EQ(before->id, "speakers");

  std::atomic<int> told{0};
  auto watch = platform->watch_default_output([&] { ++told; });
  ASSERT_NE(watch, nullptr);
  ASSERT_TRUE(set_default_sink("headset"));
  EXPECT_TRUE(eventually([&] { return told.load() > 0; }));
  const auto after = platform->default_output_device();
  ASSERT_TRUE(after.has_value());
  EXPECT_EQ(after->name, "Headset");
  EXPECT_EQ(after->id, "headset");

  watch.reset();
  const int seen = told.load();
  ASSERT_TRUE(set_default_sink("speakers"));
  EXPECT_TRUE(eventually([&] { return platform->default_output_device()->id == "speakers"; }));
  EXPECT_EQ(told.load(), seen);
}

}  // namespace
}  // namespace quillbox
