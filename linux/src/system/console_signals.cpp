#include "system/console_signals.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace quillbox {
namespace {

std::atomic<bool> g_stop{false};
std::atomic<int> g_signals{0};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

extern "C" void on_stop_signal(int) {
  g_stop.store(true);
  g_signals.fetch_add(1);
}

}  // namespace

void install_stop_signals() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  // System calls interrupted by a signal resume, so a second Ctrl-C never
  // cuts a file operation of the finish short.
  action.sa_flags = SA_RESTART;
  for (int s : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(s, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

const std::atomic<bool>& stop_requested() {
  return g_stop;
}

bool stdin_is_terminal() {
  return ::isatty(STDIN_FILENO) == 1;
}

bool stderr_is_terminal() {
  return ::isatty(STDERR_FILENO) == 1;
}

std::optional<std::string> read_answer() {
  const int signals_before = g_signals.load();
  std::string line;
  for (;;) {
    if (g_signals.load() != signals_before) return std::nullopt;
    pollfd fd{STDIN_FILENO, POLLIN, 0};
    const int ready = ::poll(&fd, 1, 200);
    if (ready < 0 && errno != EINTR) return std::nullopt;
    if (ready <= 0) continue;
    char c = 0;
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return line.empty() ? std::nullopt : std::optional(line);
    if (c == '\n') return line;
    line += c;
  }
}

}  // namespace quillbox
