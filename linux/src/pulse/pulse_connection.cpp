#include "pulse/pulse_connection.h"

#include <sys/time.h>

namespace quillbox::pulse {
namespace {

void signal_loop(Loop* loop) {
  loop->signal();
}

void drop_context(pa_context* context) {
  pa_context_set_state_callback(context, nullptr, nullptr);
  pa_context_disconnect(context);
  pa_context_unref(context);
}

}  // namespace

std::string error_text(int error) {
  const char* text = pa_strerror(error);
  return std::string("PulseAudio: ") + (text != nullptr ? text : "unknown error");
}

Connection::~Connection() {
  if (loop_ == nullptr) return;
  {
    Lock lock(loop_.get());
    if (context_ != nullptr) drop_context(context_);
    context_ = nullptr;
  }
  loop_.reset();  // joins the loop's thread
}

std::expected<Connection::Session, std::string> Connection::session() {
  std::lock_guard connecting(connect_mutex_);
  if (loop_ == nullptr) {
    auto loop = std::make_unique<Loop>();
    if (!loop->ok()) return std::unexpected(error_text(PA_ERR_INTERNAL));
    loop_ = std::move(loop);
  }
  loop_->lock();
  Session held(loop_.get(), nullptr);  // unlocks on every way out
  if (context_ != nullptr && pa_context_get_state(context_) == PA_CONTEXT_READY) {
    return Session(std::move(held).release(), context_);
  }
  if (context_ != nullptr) {
    // The server went away (or never answered): start over with a new context.
    drop_context(context_);
    context_ = nullptr;
  }
  pa_context* context = pa_context_new(loop_->api(), "Quillbox");
  if (context == nullptr) return std::unexpected(error_text(PA_ERR_INTERNAL));
  pa_context_set_state_callback(
      context, [](pa_context*, void* loop) { signal_loop(static_cast<Loop*>(loop)); }, loop_.get());
  // Never start a server of our own: no answer is an error the user sees.
  if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    const int error = pa_context_errno(context);
    drop_context(context);
    return std::unexpected(error_text(error));
  }
  const bool answered = wait([context] {
    const pa_context_state_t state = pa_context_get_state(context);
    return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
  });
  if (pa_context_get_state(context) != PA_CONTEXT_READY) {
    const int error = answered ? pa_context_errno(context) : PA_ERR_TIMEOUT;
    drop_context(context);
    return std::unexpected(error_text(error));
  }
  context_ = context;
  return Session(std::move(held).release(), context_);
}

bool Connection::wait(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  struct Deadline {
    Loop* loop;
    bool passed = false;
  } deadline{loop_.get()};
  pa_mainloop_api* api = loop_->api();
  timeval when{};
  pa_gettimeofday(&when);
  pa_timeval_add(&when,
                 static_cast<pa_usec_t>(
                     std::chrono::duration_cast<std::chrono::microseconds>(timeout).count()));
  pa_time_event* timer = api->time_new(
      api, &when,
      [](pa_mainloop_api*, pa_time_event*, const timeval*, void* user) {
        auto* d = static_cast<Deadline*>(user);
        d->passed = true;
        signal_loop(d->loop);
      },
      &deadline);
  while (!done() && !deadline.passed) loop_->wait();
  api->time_free(timer);
  return done();
}

bool Connection::finish(pa_operation* op) {
  if (op == nullptr) return false;
  pa_operation_set_state_callback(
      op, [](pa_operation*, void* loop) { signal_loop(static_cast<Loop*>(loop)); }, loop_.get());
  wait([op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; });
  const bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
  if (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_operation_cancel(op);
  pa_operation_set_state_callback(op, nullptr, nullptr);
  pa_operation_unref(op);
  return done;
}

}  // namespace quillbox::pulse
