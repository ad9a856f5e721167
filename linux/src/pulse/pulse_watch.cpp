#include "pulse/pulse_watch.h"

#include <cstdint>
#include <utility>

#include "pulse/pulse_connection.h"

namespace quillbox::pulse {
namespace {

class ServerWatch final : public DefaultOutputWatch {
 public:
  explicit ServerWatch(std::function<void()> changed) : changed_(std::move(changed)) {}
  ~ServerWatch() override {
    if (context_ == nullptr) return;
    Connection::Lock lock(connection_.loop());
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
  }

  bool subscribe() {
    auto session = connection_.session();
    if (!session) return false;
    pa_context_set_subscribe_callback(session->context(), &ServerWatch::event, this);
    context_ = session->context();
    return connection_.finish(
        pa_context_subscribe(context_, PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr));
  }

 private:
  // On the main loop thread, with its lock held: only signals.
  static void event(pa_context*, pa_subscription_event_type_t type, std::uint32_t, void* user) {
    if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SERVER) return;
    static_cast<ServerWatch*>(user)->changed_();
  }

  std::function<void()> changed_;
  pa_context* context_ = nullptr;  // the connection's, while it lives
  // Last: it goes first, joining the thread that calls back into this.
  Connection connection_;
};

}  // namespace

std::unique_ptr<DefaultOutputWatch> watch_server(std::function<void()> changed) {
  auto watch = std::make_unique<ServerWatch>(std::move(changed));
  if (!watch->subscribe()) return nullptr;
  return watch;
}

}  // namespace quillbox::pulse
