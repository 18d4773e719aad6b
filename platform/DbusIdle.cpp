// The desktops' idle monitors and screen lock on D-Bus, through GDBus.
#include <gio/gio.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/IdleClock.h"
#include "platform/SessionInput.h"

namespace ravenox::platform {
namespace {

constexpr int kCallTimeoutMs = 500;

// A connection of our own to a message bus: the shared one of GIO would end the process when
// the bus goes away.
class Bus {
 public:
  static std::unique_ptr<Bus> Open(GBusType type) {
    GError* error = nullptr;
    gchar* address = nullptr;
    if (type == G_BUS_TYPE_SESSION) {
      // The session's bus as the environment names it, or the one in the runtime folder; never
      // one started for us (GIO would launch a bus that outlives the program).
      const char* named = std::getenv("DBUS_SESSION_BUS_ADDRESS");
      const char* runtime = std::getenv("XDG_RUNTIME_DIR");
      if (named != nullptr && *named != '\0') {
        address = g_strdup(named);
      } else if (runtime != nullptr && *runtime != '\0') {
        const std::string socket = std::string(runtime) + "/bus";
        if (access(socket.c_str(), F_OK) == 0) address = g_strdup(("unix:path=" + socket).c_str());
      }
    } else {
      address = g_dbus_address_get_for_bus_sync(type, nullptr, &error);
      g_clear_error(&error);
    }
    if (address == nullptr) return nullptr;
    GDBusConnection* c = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    g_free(address);
    if (c == nullptr) {
      g_clear_error(&error);
      return nullptr;
    }
    g_dbus_connection_set_exit_on_close(c, FALSE);
    return std::unique_ptr<Bus>(new Bus(c));
  }
  ~Bus() {
    g_dbus_connection_close_sync(connection_, nullptr, nullptr);
    g_object_unref(connection_);
  }
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  // The reply of a method call, of type `reply`; null when there is none (no such service, an
  // error, a time-out, a closed bus). The caller unrefs it.
  GVariant* Call(const char* dest, const char* path, const char* iface, const char* method,
                 GVariant* params, const char* reply) {
    if (g_dbus_connection_is_closed(connection_)) {
      if (params != nullptr) g_variant_unref(g_variant_ref_sink(params));
      return nullptr;
    }
    GError* error = nullptr;
    GVariant* v = g_dbus_connection_call_sync(
        connection_, dest, path, iface, method, params, G_VARIANT_TYPE(reply),
        G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs, nullptr, &error);
    g_clear_error(&error);
    return v;
  }

 private:
  explicit Bus(GDBusConnection* c) : connection_(c) {}
  GDBusConnection* connection_;
};

// An idle time in milliseconds from one method call.
class BusIdleSource final : public IdleSource {
 public:
  BusIdleSource(std::unique_ptr<Bus> bus, std::string name, const char* dest, const char* path,
                const char* iface, const char* method, bool unsigned32)
      : bus_(std::move(bus)),
        name_(std::move(name)),
        dest_(dest),
        path_(path),
        iface_(iface),
        method_(method),
        unsigned32_(unsigned32) {}
  std::string Name() const override { return name_; }
  std::optional<bool> InputSinceLastLook() override {
    std::optional<uint64_t> idle;
    if (GVariant* v =
            bus_->Call(dest_, path_, iface_, method_, nullptr, unsigned32_ ? "(u)" : "(t)")) {
      if (unsigned32_) {
        guint32 ms = 0;
        g_variant_get(v, "(u)", &ms);
        idle = ms;
      } else {
        guint64 ms = 0;
        g_variant_get(v, "(t)", &ms);
        idle = ms;
      }
      g_variant_unref(v);
    }
    return clock_.Update(idle);
  }
  std::optional<double> IdleSeconds() override { return clock_.IdleSeconds(); }

 private:
  std::unique_ptr<Bus> bus_;
  std::string name_;
  const char *dest_, *path_, *iface_, *method_;
  bool unsigned32_;
  IdleClock clock_;
};

class Login1Lock final : public LockSource {
 public:
  Login1Lock(std::unique_ptr<Bus> bus, std::string path)
      : bus_(std::move(bus)), path_(std::move(path)) {}
  std::string Name() const override {
    return "login1's LockedHint of this session (org.freedesktop.login1 on the system bus)";
  }
  std::optional<bool> Locked() override {
    GVariant* v = bus_->Call(
        "org.freedesktop.login1", path_.c_str(), "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", "org.freedesktop.login1.Session", "LockedHint"), "(v)");
    if (v == nullptr) return std::nullopt;
    GVariant* inner = nullptr;
    g_variant_get(v, "(v)", &inner);
    std::optional<bool> locked;
    if (g_variant_is_of_type(inner, G_VARIANT_TYPE_BOOLEAN)) locked = g_variant_get_boolean(inner);
    g_variant_unref(inner);
    g_variant_unref(v);
    return locked;
  }

 private:
  std::unique_ptr<Bus> bus_;
  std::string path_;
};

class ScreenSaverLock final : public LockSource {
 public:
  explicit ScreenSaverLock(std::unique_ptr<Bus> bus) : bus_(std::move(bus)) {}
  std::string Name() const override {
    return "the screen saver's GetActive (org.freedesktop.ScreenSaver on the session bus)";
  }
  std::optional<bool> Locked() override {
    GVariant* v = bus_->Call("org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                             "org.freedesktop.ScreenSaver", "GetActive", nullptr, "(b)");
    if (v == nullptr) return std::nullopt;
    gboolean active = FALSE;
    g_variant_get(v, "(b)", &active);
    g_variant_unref(v);
    return active != FALSE;
  }

 private:
  std::unique_ptr<Bus> bus_;
};

}  // namespace

std::unique_ptr<IdleSource> OpenMutterIdleSource() {
  auto bus = Bus::Open(G_BUS_TYPE_SESSION);
  if (bus == nullptr) return nullptr;
  return std::make_unique<BusIdleSource>(
      std::move(bus), "GNOME's idle monitor (org.gnome.Mutter.IdleMonitor on the session bus)",
      "org.gnome.Mutter.IdleMonitor", "/org/gnome/Mutter/IdleMonitor/Core",
      "org.gnome.Mutter.IdleMonitor", "GetIdletime", false);
}

std::unique_ptr<IdleSource> OpenScreenSaverIdleSource() {
  auto bus = Bus::Open(G_BUS_TYPE_SESSION);
  if (bus == nullptr) return nullptr;
  // Read as milliseconds, as KDE answers: read as seconds, a millisecond answer would make a user
  // at the desk look long gone.
  return std::make_unique<BusIdleSource>(
      std::move(bus),
      "the screen saver's idle time (org.freedesktop.ScreenSaver on the session bus)",
      "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver",
      "GetSessionIdleTime", true);
}

std::unique_ptr<LockSource> OpenLockSource(const SessionInfo& session) {
  if (auto system = Bus::Open(G_BUS_TYPE_SYSTEM)) {
    // This session's object: by its id when the session manager gave one, else by our process.
    GVariant* v = !session.session_id.empty()
                      ? system->Call("org.freedesktop.login1", "/org/freedesktop/login1",
                                     "org.freedesktop.login1.Manager", "GetSession",
                                     g_variant_new("(s)", session.session_id.c_str()), "(o)")
                      : system->Call("org.freedesktop.login1", "/org/freedesktop/login1",
                                     "org.freedesktop.login1.Manager", "GetSessionByPID",
                                     g_variant_new("(u)", static_cast<guint32>(getpid())), "(o)");
    if (v != nullptr) {
      const gchar* path = nullptr;
      g_variant_get(v, "(&o)", &path);
      auto lock = std::make_unique<Login1Lock>(std::move(system), path);
      g_variant_unref(v);
      if (lock->Locked().has_value()) return lock;
    }
  }
  if (auto bus = Bus::Open(G_BUS_TYPE_SESSION)) {
    auto lock = std::make_unique<ScreenSaverLock>(std::move(bus));
    if (lock->Locked().has_value()) return lock;
  }
  return nullptr;
}

}  // namespace ravenox::platform
