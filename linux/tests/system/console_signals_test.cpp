#include "system/console_signals.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace quillbox {
namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;

// The console's tick waits on the stop signals: one that arrives while the
// tick waits ends it at once, and once a stop was asked no wait begins. The
// handlers stay for the rest of this process, where nothing else reads the
// flag; the default actions are put back for whatever runs after.
TEST(ConsoleSignals, AStopSignalEndsTheTicksWaitAtOnce) {
  install_stop_signals();
  ASSERT_FALSE(stop_requested().load());
  std::thread sender([] {
    std::this_thread::sleep_for(100ms);
    ::kill(::getpid(), SIGHUP);
  });
  const auto before = steady_clock::now();
  while (!stop_requested().load()) wait_for_stop(60s);
  const auto waited = steady_clock::now() - before;
  sender.join();
  // Far below the minute asked for: the signal, not the timeout, ended it.
  EXPECT_LT(waited, 30s);

  const auto again = steady_clock::now();
  wait_for_stop(60s);
  EXPECT_LT(steady_clock::now() - again, 30s);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) ::signal(s, SIG_DFL);
}

}  // namespace
}  // namespace quillbox
