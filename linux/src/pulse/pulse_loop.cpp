#include "pulse/pulse_loop.h"

#include <poll.h>

#include <algorithm>

namespace quillbox::pulse {

Loop::Loop() {
  loop_ = pa_mainloop_new();
  if (loop_ == nullptr) return;
  api_ = pa_mainloop_get_api(loop_);
  pa_mainloop_set_poll_func(loop_, &Loop::poll_paced, this);
  thread_ = std::thread([this] { run(); });
}

Loop::~Loop() {
  if (loop_ == nullptr) return;
  if (thread_.joinable()) {
    {
      std::lock_guard held(mutex_);
      pa_mainloop_quit(loop_, 0);  // wakes the loop
    }
    thread_.join();
  }
  pa_mainloop_free(loop_);
}

void Loop::run() {
  std::lock_guard held(mutex_);
  looked_ = std::chrono::steady_clock::now();
  pa_mainloop_run(loop_, nullptr);
}

void Loop::wait() {
  eager(true);
  answered_.wait(mutex_);
  eager(false);
}

void Loop::eager(bool on) {
  if (on && unpaced_++ == 0) pa_mainloop_wakeup(loop_);  // a paced look ends now
  if (!on) --unpaced_;
}

// Runs on the loop's thread in place of poll(), with the lock given up as
// long as it waits. The first entry is always the loop's own wake-up pipe,
// which other threads write to when they make a request: it is watched
// throughout. The others (the server's socket, its shared ring's
// notifications) wait out the pace since the last full look, unless the
// pace is lifted or a timer of the loop is due sooner.
int Loop::poll_paced(pollfd* fds, unsigned long count, int timeout_ms, void* user) {
  auto* self = static_cast<Loop*>(user);
  self->mutex_.unlock();
  const auto since = std::chrono::steady_clock::now() - self->looked_;
  const auto hold = std::chrono::ceil<std::chrono::milliseconds>(self->pace_ - since).count();
  int result = 0;
  bool looked = true;
  if (count > 1 && hold > 0 && timeout_ms != 0 && self->unpaced_.load() == 0) {
    const int held =
        timeout_ms < 0 ? static_cast<int>(hold) : std::min(timeout_ms, static_cast<int>(hold));
    result = ::poll(fds, 1, held);
    if (result != 0 || held == timeout_ms) {
      // Woken by a request, or a timer is due: the rest waits for later.
      for (unsigned long i = 1; i < count; ++i) fds[i].revents = 0;
      looked = false;
    } else {
      result = ::poll(fds, count, timeout_ms < 0 ? timeout_ms : timeout_ms - held);
    }
  } else {
    result = ::poll(fds, count, timeout_ms);
  }
  if (looked) {
    self->looked_ = std::chrono::steady_clock::now();
    // Each look waits a little less than the pace, by a different amount
    // each time, so that looks fall at every point of a device's block in
    // turn: a pace in step with a device's blocks would find its audio
    // waiting the same while every time, and the least wait over a stretch
    // is what the capture times steer by.
    self->pace_ = PACE - std::chrono::milliseconds(self->dither_() % (PACE_DITHER.count() + 1));
  }
  self->mutex_.lock();
  return result;
}

}  // namespace quillbox::pulse
