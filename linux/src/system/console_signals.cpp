#include "system/console_signals.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace quillbox {
namespace {

std::atomic<bool> g_stop{false};
std::atomic<int> g_signals{0};
// A byte written here on every stop signal wakes a wait for one at once.
int g_wake[2] = {-1, -1};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

extern "C" void on_stop_signal(int) {
  const int saved = errno;
  g_stop.store(true);
  g_signals.fetch_add(1);
  // The pipe never blocks; a full one already wakes any wait.
  if (g_wake[1] >= 0) (void)!::write(g_wake[1], "", 1);
  errno = saved;
}

}  // namespace

void install_stop_signals() {
  if (g_wake[0] < 0 && ::pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) g_wake[0] = g_wake[1] = -1;
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

void wait_for_stop(std::chrono::milliseconds timeout) {
  if (g_stop.load()) return;
  if (g_wake[0] < 0) {
    ::poll(nullptr, 0, static_cast<int>(timeout.count()));
    return;
  }
  pollfd fd{g_wake[0], POLLIN, 0};
  ::poll(&fd, 1, static_cast<int>(timeout.count()));
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
