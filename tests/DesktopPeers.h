// The desktop's side of the protocols the input state speaks, for tests: a private D-Bus daemon
// with services that answer as GNOME's idle monitor, the freedesktop screen saver and login1 do,
// a Wayland compositor that offers ext-idle-notify-v1, and an X server.
#pragma once

#include <fcntl.h>
#include <gio/gio.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wayland-server.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "PrivateBus.h"
#include "ext-idle-notify-v1-server-protocol.h"

extern char** environ;

namespace ravenox::testing {

// A service on a bus, as a desktop runs one: its objects answer on a thread of their own. Each
// method answers through a handler; each call is counted.
class BusService {
 public:
  using Method = std::function<GVariant*(GVariant* params)>;
  using Property = std::function<GVariant*()>;
  struct Object {
    std::string path, xml;
    std::map<std::string, Method> methods;
    std::map<std::string, Property> properties;
  };

  BusService(std::string address, std::string name, std::vector<Object> objects)
      : address_(std::move(address)), name_(std::move(name)), objects_(std::move(objects)) {
    std::promise<bool> ready;
    auto started = ready.get_future();
    thread_ = std::thread([this, &ready] { Run(ready); });
    ok_ = started.get();
  }
  ~BusService() {
    if (loop_ != nullptr) g_main_loop_quit(loop_);
    thread_.join();
  }
  BusService(const BusService&) = delete;
  BusService& operator=(const BusService&) = delete;

  bool Ok() const { return ok_; }
  // Leaves the bus at once, as a service that crashed.
  void Vanish() {
    if (connection_ != nullptr) g_dbus_connection_close_sync(connection_, nullptr, nullptr);
  }
  int Calls(const std::string& method) {
    std::lock_guard lock(mutex_);
    return calls_[method];
  }

 private:
  struct Registered {
    BusService* service;
    const Object* object;
  };

  void Run(std::promise<bool>& ready) {
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    loop_ = g_main_loop_new(context, FALSE);
    connection_ = g_dbus_connection_new_for_address_sync(
        address_.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    bool ok = connection_ != nullptr;
    std::vector<GDBusNodeInfo*> nodes;
    std::list<Registered> registered;
    if (ok) {
      g_dbus_connection_set_exit_on_close(connection_, FALSE);
      static const GDBusInterfaceVTable kVTable = {MethodCall, GetProperty, nullptr, {}};
      for (const Object& o : objects_) {
        GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(o.xml.c_str(), nullptr);
        nodes.push_back(node);
        registered.push_back({this, &o});
        ok = ok && node != nullptr &&
             g_dbus_connection_register_object(connection_, o.path.c_str(), node->interfaces[0],
                                               &kVTable, &registered.back(), nullptr, nullptr) != 0;
      }
      GVariant* reply = g_dbus_connection_call_sync(
          connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
          "RequestName", g_variant_new("(su)", name_.c_str(), 4u), G_VARIANT_TYPE("(u)"),
          G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
      ok = ok && reply != nullptr;
      if (reply != nullptr) g_variant_unref(reply);
    }
    ready.set_value(ok);
    g_main_loop_run(loop_);
    if (connection_ != nullptr) {
      g_dbus_connection_close_sync(connection_, nullptr, nullptr);
      g_object_unref(connection_);
    }
    for (GDBusNodeInfo* n : nodes) {
      if (n != nullptr) g_dbus_node_info_unref(n);
    }
    g_main_loop_unref(loop_);
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
  }

  static void MethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                         const gchar* method, GVariant* params, GDBusMethodInvocation* invocation,
                         gpointer data) {
    auto* r = static_cast<Registered*>(data);
    {
      std::lock_guard lock(r->service->mutex_);
      ++r->service->calls_[method];
    }
    const auto m = r->object->methods.find(method);
    if (m == r->object->methods.end()) {
      g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.Failed",
                                                 "not here");
      return;
    }
    g_dbus_method_invocation_return_value(invocation, m->second(params));
  }
  static GVariant* GetProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                               const gchar* property, GError**, gpointer data) {
    auto* r = static_cast<Registered*>(data);
    {
      std::lock_guard lock(r->service->mutex_);
      ++r->service->calls_[property];
    }
    const auto p = r->object->properties.find(property);
    return p == r->object->properties.end() ? nullptr : p->second();
  }

  std::string address_, name_;
  std::vector<Object> objects_;
  std::thread thread_;
  GMainLoop* loop_ = nullptr;
  GDBusConnection* connection_ = nullptr;
  bool ok_ = false;
  std::mutex mutex_;
  std::map<std::string, int> calls_;
};

// When the user last touched the desk, and whether the screen is locked: what the services tell.
struct DeskState {
  std::atomic<int64_t> last_input_ms{NowMs()};
  std::atomic<bool> locked{false};
  static int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  uint64_t IdleMs() const { return static_cast<uint64_t>(NowMs() - last_input_ms.load()); }
  void Input() { last_input_ms = NowMs(); }
};

inline std::unique_ptr<BusService> MutterIdleMonitor(const std::string& bus, DeskState& desk) {
  return std::make_unique<BusService>(
      bus, "org.gnome.Mutter.IdleMonitor",
      std::vector<BusService::Object>{
          {"/org/gnome/Mutter/IdleMonitor/Core",
           "<node><interface name='org.gnome.Mutter.IdleMonitor'><method name='GetIdletime'>"
           "<arg type='t' name='idletime' direction='out'/></method></interface></node>",
           {{"GetIdletime",
             [&desk](GVariant*) {
               return g_variant_new("(t)", static_cast<guint64>(desk.IdleMs()));
             }}},
           {}}});
}

inline std::unique_ptr<BusService> FreedesktopScreenSaver(const std::string& bus, DeskState& desk) {
  return std::make_unique<BusService>(
      bus, "org.freedesktop.ScreenSaver",
      std::vector<BusService::Object>{
          {"/org/freedesktop/ScreenSaver",
           "<node><interface name='org.freedesktop.ScreenSaver'>"
           "<method name='GetSessionIdleTime'><arg type='u' direction='out'/></method>"
           "<method name='GetActive'><arg type='b' direction='out'/></method>"
           "</interface></node>",
           {{"GetSessionIdleTime",
             [&desk](GVariant*) {
               return g_variant_new("(u)", static_cast<guint32>(desk.IdleMs()));
             }},
            {"GetActive", [&desk](GVariant*) { return g_variant_new("(b)", desk.locked.load()); }}},
           {}}});
}

inline std::unique_ptr<BusService> Login1(const std::string& bus, DeskState& desk) {
  const char* const session = "/org/freedesktop/login1/session/_31";
  return std::make_unique<BusService>(
      bus, "org.freedesktop.login1",
      std::vector<BusService::Object>{
          {"/org/freedesktop/login1",
           "<node><interface name='org.freedesktop.login1.Manager'>"
           "<method name='GetSession'><arg type='s' direction='in'/>"
           "<arg type='o' direction='out'/></method>"
           "<method name='GetSessionByPID'><arg type='u' direction='in'/>"
           "<arg type='o' direction='out'/></method></interface></node>",
           {{"GetSession", [=](GVariant*) { return g_variant_new("(o)", session); }},
            {"GetSessionByPID", [=](GVariant*) { return g_variant_new("(o)", session); }}},
           {}},
          {session,
           "<node><interface name='org.freedesktop.login1.Session'>"
           "<property name='LockedHint' type='b' access='read'/></interface></node>",
           {},
           {{"LockedHint", [&desk] { return g_variant_new_boolean(desk.locked.load()); }}}}});
}

// A Wayland compositor with a seat and the idle notifier: it says "idled" to a notification after
// its timeout without input, and "resumed" at the next input, as compositors do.
class TestCompositor {
 public:
  // Listens on `socket` in XDG_RUNTIME_DIR.
  explicit TestCompositor(const std::string& socket) {
    display_ = wl_display_create();
    if (wl_display_add_socket(display_, socket.c_str()) != 0) return;
    wl_global_create(display_, &wl_seat_interface, 1, this, BindSeat);
    wl_global_create(display_, &ext_idle_notifier_v1_interface, 1, this, BindNotifier);
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    wake_source_ = wl_event_loop_add_fd(wl_display_get_event_loop(display_), wake_,
                                        WL_EVENT_READABLE, OnWake, this);
    ok_ = true;
    thread_ = std::thread([this] { wl_display_run(display_); });
  }
  ~TestCompositor() {
    if (ok_) {
      Post([this] { wl_display_terminate(display_); });
      thread_.join();
    }
    // The clients' notifications go with them, and their timers.
    wl_display_destroy_clients(display_);
    if (wake_source_ != nullptr) wl_event_source_remove(wake_source_);
    wl_display_destroy(display_);
    if (wake_ >= 0) close(wake_);
  }
  TestCompositor(const TestCompositor&) = delete;
  TestCompositor& operator=(const TestCompositor&) = delete;
  bool Ok() const { return ok_; }

  // The user touches a key.
  void Input() {
    Post([this] {
      for (auto& n : notes_) {
        if (n.idled) ext_idle_notification_v1_send_resumed(n.resource);
        n.idled = false;
        wl_event_source_timer_update(n.timer, static_cast<int>(n.timeout));
      }
    });
  }
  int Notifications() {
    std::promise<int> count;
    auto f = count.get_future();
    Post([&] { count.set_value(static_cast<int>(notes_.size())); });
    return f.get();
  }

 private:
  struct Note {
    TestCompositor* compositor;
    wl_resource* resource;
    wl_event_source* timer;
    uint32_t timeout;
    bool idled = false;
  };

  void Post(std::function<void()> f) {
    {
      std::lock_guard lock(mutex_);
      posted_.push_back(std::move(f));
    }
    const uint64_t one = 1;
    (void)!write(wake_, &one, sizeof one);
  }
  static int OnWake(int fd, uint32_t, void* data) {
    auto* self = static_cast<TestCompositor*>(data);
    uint64_t n = 0;
    (void)!read(fd, &n, sizeof n);
    std::vector<std::function<void()>> todo;
    {
      std::lock_guard lock(self->mutex_);
      todo.swap(self->posted_);
    }
    for (auto& f : todo) f();
    wl_display_flush_clients(self->display_);
    return 0;
  }
  static void BindSeat(wl_client* client, void*, uint32_t version, uint32_t id) {
    static const struct wl_seat_interface kSeat = {
        [](wl_client*, wl_resource*, uint32_t) {}, [](wl_client*, wl_resource*, uint32_t) {},
        [](wl_client*, wl_resource*, uint32_t) {},
        [](wl_client*, wl_resource* r) { wl_resource_destroy(r); }};
    wl_resource* r = wl_resource_create(client, &wl_seat_interface, static_cast<int>(version), id);
    wl_resource_set_implementation(r, &kSeat, nullptr, nullptr);
  }
  static void BindNotifier(wl_client* client, void* data, uint32_t version, uint32_t id) {
    static const struct ext_idle_notifier_v1_interface kNotifier = {
        [](wl_client*, wl_resource* r) { wl_resource_destroy(r); },
        [](wl_client* c, wl_resource* notifier, uint32_t note_id, uint32_t timeout, wl_resource*) {
          auto* self = static_cast<TestCompositor*>(wl_resource_get_user_data(notifier));
          wl_resource* r = wl_resource_create(c, &ext_idle_notification_v1_interface,
                                              wl_resource_get_version(notifier), note_id);
          static const struct ext_idle_notification_v1_interface kNote = {
              [](wl_client*, wl_resource* res) { wl_resource_destroy(res); }};
          self->notes_.push_back({self, r, nullptr, timeout});
          Note* n = &self->notes_.back();
          n->timer = wl_event_loop_add_timer(wl_display_get_event_loop(self->display_), OnIdle, n);
          wl_event_source_timer_update(n->timer, static_cast<int>(timeout));
          wl_resource_set_implementation(r, &kNote, n, [](wl_resource* res) {
            auto* gone = static_cast<Note*>(wl_resource_get_user_data(res));
            wl_event_source_remove(gone->timer);
            gone->compositor->notes_.remove_if([&](const Note& x) { return &x == gone; });
          });
        }};
    wl_resource* r =
        wl_resource_create(client, &ext_idle_notifier_v1_interface, static_cast<int>(version), id);
    wl_resource_set_implementation(r, &kNotifier, data, nullptr);
  }
  static int OnIdle(void* data) {
    auto* n = static_cast<Note*>(data);
    n->idled = true;
    ext_idle_notification_v1_send_idled(n->resource);
    return 0;
  }

  wl_display* display_ = nullptr;
  int wake_ = -1;
  wl_event_source* wake_source_ = nullptr;
  bool ok_ = false;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::function<void()>> posted_;
  std::list<Note> notes_;
};

}  // namespace ravenox::testing
