#pragma once

// The connection's main loop: a libpulse main loop run by a thread of its
// own, with a lock every libpulse call holds (callbacks run on the thread
// with it held) and a condition to wait for the server's answers, as
// libpulse's threaded main loop has.
//
// What it adds is a pace. A device hands its audio over block by block, each
// block as a few packets, at whatever latency its players ask for (tens of
// milliseconds), and every block would wake the thread. Once the thread has
// looked at the server's socket, it looks again only 45-55 ms later (`PACE`
// less a different dither each time): what arrived in between, from every
// stream, is read in one wake-up. Audio keeps its capture times: they
// follow the frames, and the streams' `CaptureStamps` know that a
// measurement may run up to `PACE` late. The pace never holds back
// an answer somebody waits for (`wait` lifts it), a request made from
// another thread wakes the loop at once as before, and `eager` lifts it
// while a stream waits for its first audio after a start or a resume.

#include <pulse/mainloop.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

struct pollfd;

namespace quillbox::pulse {

inline constexpr std::chrono::milliseconds PACE{55};
// How much shorter than `PACE` a look's wait may be.
inline constexpr std::chrono::milliseconds PACE_DITHER{10};

class Loop {
 public:
  // Creates the loop and starts its thread; `ok()` says whether both worked.
  Loop();
  // Stops the thread and joins it. Never call from that thread, nor with
  // the lock held.
  ~Loop();
  Loop(const Loop&) = delete;
  Loop& operator=(const Loop&) = delete;

  bool ok() const { return loop_ != nullptr && thread_.joinable(); }
  pa_mainloop_api* api() const { return api_; }

  // The lock (recursive, as callbacks may call code that takes it).
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }
  // Under the lock, taken once: waits for a `signal`. The pace is lifted
  // while anybody waits.
  void wait();
  // Wakes every `wait`; called under the lock.
  void signal() { answered_.notify_all(); }
  // Under the lock: lifts the pace (`true`) until as many `false` calls.
  void eager(bool on);

 private:
  static int poll_paced(pollfd* fds, unsigned long count, int timeout_ms, void* user);
  void run();

  pa_mainloop* loop_ = nullptr;
  pa_mainloop_api* api_ = nullptr;
  std::recursive_mutex mutex_;
  std::condition_variable_any answered_;
  std::atomic<int> unpaced_{0};  // waiters and eager streams
  // The loop's thread only: when its last full look at the sockets ended.
  std::chrono::steady_clock::time_point looked_{};
  std::chrono::milliseconds pace_ = PACE;  // how long after it the next look comes
  std::minstd_rand dither_;
  std::thread thread_;
};

}  // namespace quillbox::pulse
