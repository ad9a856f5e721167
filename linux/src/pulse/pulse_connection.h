#pragma once

// One connection to the PulseAudio server: a main loop with a thread of its
// own (`Loop`) and a context, connected on first use and connected afresh
// when the server went away. Every libpulse call of the platform runs under the main loop's lock
// (`Lock`); stream callbacks run on the main loop's thread with that lock
// held. No wait here is unbounded: a server that does not answer gives an
// error after `ANSWER_TIMEOUT`.

#include <pulse/pulseaudio.h>

#include <chrono>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "pulse/pulse_loop.h"

namespace quillbox::pulse {

inline constexpr std::chrono::milliseconds ANSWER_TIMEOUT{5000};

// "PulseAudio: {text}" for a libpulse error code.
std::string error_text(int error);

class Connection {
 public:
  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  // Stops the main loop thread and joins it. Never call from that thread.
  ~Connection();

  // Holds the main loop's lock; every libpulse call happens under one.
  class Lock {
   public:
    explicit Lock(Loop* loop) : loop_(loop) { loop_->lock(); }
    ~Lock() { loop_->unlock(); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    Loop* loop_;
  };

  // A ready context under the main loop's lock, connecting first when there
  // is none (or the old one failed); or "PulseAudio: {text}". The context
  // stays valid while the `Session` lives, since replacing it needs the lock.
  class Session {
   public:
    Session(Loop* loop, pa_context* context) : loop_(loop), context_(context) {}
    Session(Session&& other) noexcept
        : loop_(std::exchange(other.loop_, nullptr)), context_(other.context_) {}
    Session& operator=(Session&&) = delete;
    ~Session() {
      if (loop_ != nullptr) loop_->unlock();
    }
    pa_context* context() const { return context_; }
    // Gives up the lock without unlocking (for handing it to another Session).
    Loop* release() && { return std::exchange(loop_, nullptr); }

   private:
    Loop* loop_;
    pa_context* context_;
  };
  std::expected<Session, std::string> session();

  // The main loop; valid once `session()` has succeeded.
  Loop* loop() const { return loop_.get(); }

  // Under the lock: waits until `done()` holds, for at most `timeout`.
  // Returns false on timeout. Whatever `done` watches must signal the loop
  // (`Loop::signal`) when it changes.
  bool wait(const std::function<bool()>& done, std::chrono::milliseconds timeout = ANSWER_TIMEOUT);

  // Under the lock: runs an operation to its end (its callbacks signal the
  // loop), or cancels it after the timeout. False when it did not complete.
  bool finish(pa_operation* op);

 private:
  // Serializes connecting. Taken before the loop's lock, never inside it.
  std::mutex connect_mutex_;
  std::unique_ptr<Loop> loop_;
  pa_context* context_ = nullptr;
};

}  // namespace quillbox::pulse
