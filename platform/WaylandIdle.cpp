// Idleness from the Wayland compositor: the ext-idle-notify-v1 protocol, with a short timeout.
#include <poll.h>
#include <wayland-client.h>

#include <cstring>

#include "ext-idle-notify-v1-client-protocol.h"
#include "platform/SessionInput.h"

namespace ravenox::platform {
namespace {

// The compositor says "idled" after this long without input, and "resumed" at the next input.
constexpr uint32_t kIdleTimeoutMs = 1000;

class WaylandIdleSource final : public IdleSource {
 public:
  ~WaylandIdleSource() override {
    if (notification_ != nullptr) ext_idle_notification_v1_destroy(notification_);
    if (notifier_ != nullptr) ext_idle_notifier_v1_destroy(notifier_);
    if (seat_ != nullptr) wl_seat_destroy(seat_);
    if (registry_ != nullptr) wl_registry_destroy(registry_);
    if (display_ != nullptr) wl_display_disconnect(display_);
  }

  // Connects to the compositor at `display`; false when it offers no idle notification.
  bool Open(const std::string& display) {
    display_ = wl_display_connect(display.empty() ? nullptr : display.c_str());
    if (display_ == nullptr) return false;
    registry_ = wl_display_get_registry(display_);
    static const wl_registry_listener kRegistry = {
        [](void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
          auto* self = static_cast<WaylandIdleSource*>(data);
          if (std::strcmp(interface, wl_seat_interface.name) == 0 && self->seat_ == nullptr) {
            self->seat_ =
                static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
          } else if (std::strcmp(interface, ext_idle_notifier_v1_interface.name) == 0 &&
                     self->notifier_ == nullptr) {
            self->notifier_ = static_cast<ext_idle_notifier_v1*>(
                wl_registry_bind(registry, name, &ext_idle_notifier_v1_interface, 1));
          }
        },
        [](void*, wl_registry*, uint32_t) {}};
    wl_registry_add_listener(registry_, &kRegistry, this);
    if (wl_display_roundtrip(display_) < 0 || seat_ == nullptr || notifier_ == nullptr)
      return false;
    notification_ = ext_idle_notifier_v1_get_idle_notification(notifier_, kIdleTimeoutMs, seat_);
    static const ext_idle_notification_v1_listener kNotification = {
        [](void* data, ext_idle_notification_v1*) {
          auto* self = static_cast<WaylandIdleSource*>(data);
          self->idled_ = true;
          ++self->events_;
        },
        [](void* data, ext_idle_notification_v1*) {
          auto* self = static_cast<WaylandIdleSource*>(data);
          self->idled_ = false;
          ++self->events_;
        }};
    ext_idle_notification_v1_add_listener(notification_, &kNotification, this);
    return wl_display_roundtrip(display_) >= 0;
  }

  std::string Name() const override {
    return "the compositor's idle notification (ext-idle-notify-v1 on the Wayland display)";
  }

  // Input came when the compositor has not found the user idle for the timeout, or when it said
  // anything since the last look (resumed; or idled, which follows input).
  std::optional<bool> InputSinceLastLook() override {
    if (!Dispatch()) return std::nullopt;
    const bool input = !idled_ || events_ > 0;
    events_ = 0;
    return input;
  }

 private:
  // Takes in what the compositor sent, without waiting; false when the connection is gone.
  bool Dispatch() {
    while (wl_display_prepare_read(display_) != 0) {
      if (wl_display_dispatch_pending(display_) < 0) return false;
    }
    wl_display_flush(display_);
    pollfd p{wl_display_get_fd(display_), POLLIN, 0};
    if (poll(&p, 1, 0) > 0) {
      if (wl_display_read_events(display_) < 0) return false;
    } else {
      wl_display_cancel_read(display_);
    }
    if (wl_display_dispatch_pending(display_) < 0) return false;
    return wl_display_get_error(display_) == 0;
  }

  wl_display* display_ = nullptr;
  wl_registry* registry_ = nullptr;
  wl_seat* seat_ = nullptr;
  ext_idle_notifier_v1* notifier_ = nullptr;
  ext_idle_notification_v1* notification_ = nullptr;
  bool idled_ = false;
  int events_ = 0;
};

}  // namespace

std::unique_ptr<IdleSource> OpenWaylandIdleSource(const std::string& display) {
  auto source = std::make_unique<WaylandIdleSource>();
  if (!source->Open(display)) return nullptr;
  return source;
}

}  // namespace ravenox::platform
