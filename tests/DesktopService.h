// The desktop's calendar service for tests, as its own test scaffolding runs it: a home folder of
// the test's own (its sources: a local calendar, a local task list, and a CalDAV calendar served
// by Radicale on 127.0.0.1), a private session bus that starts the distribution's source registry
// and calendar factory on demand, and GSettings kept in memory. Set up once per test program,
// before anything connects to a bus: a process keeps its first session bus.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libecal/libecal.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <tuple>

#include "EngineFakes.h"
#include "PrivateBus.h"
#include "outlook/eds/DesktopCalendars.h"

namespace ravenox::testing {

class DesktopService final : public ::testing::Environment {
 public:
  static DesktopService* Get() { return instance_; }
  DesktopService() { instance_ = this; }

  void SetUp() override {
    const std::filesystem::path home = home_.path();
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
    setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
    setenv("XDG_CACHE_HOME", (home / ".cache").c_str(), 1);
    setenv("GSETTINGS_BACKEND", "memory", 1);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    const auto sources = home / ".config/evolution/sources";
    std::filesystem::create_directories(sources);
    std::ofstream(sources / "work.source") << "[Data Source]\nDisplayName=Work\nEnabled=true\n"
                                              "Parent=local-stub\n\n[Calendar]\n"
                                              "BackendName=local\nSelected=true\n";
    std::ofstream(sources / "hidden.source") << "[Data Source]\nDisplayName=Old plans\n"
                                                "Enabled=true\nParent=local-stub\n\n[Calendar]\n"
                                                "BackendName=local\nSelected=false\n";
    std::ofstream(sources / "chores.source") << "[Data Source]\nDisplayName=Chores\n"
                                                "Enabled=true\nParent=local-stub\n\n[Task List]\n"
                                                "BackendName=local\nSelected=true\n";
    // Two CalDAV calendars, each on a server of its own: "team" is served from the start,
    // "away" only when a test starts its server. Display names as the desktop shows them.
    for (const auto& [server, name, shown] : {std::tuple{0, "team", "Team"}, {1, "away", "Away"}}) {
      ports_[server] = ReservePort(reserved_[server]);
      std::ofstream(sources / (std::string(name) + ".source"))
          << "[Data Source]\nDisplayName=" << shown << "\nEnabled=true\nParent=\n\n"
          << "[Authentication]\nHost=127.0.0.1\nMethod=none\nPort=" << ports_[server]
          << "\nUser=user\n\n[Calendar]\nBackendName=caldav\nSelected=true\n\n"
             "[Offline]\nStaySynchronized=true\n\n[Refresh]\nEnabled=true\nIntervalMinutes=60\n\n"
             "[Security]\nMethod=none\n\n[WebDAV Backend]\nResourcePath=/user/"
          << name << "/\n";
      const auto collection =
          home / ("radicale" + std::to_string(server)) / "collection-root/user" / name;
      std::filesystem::create_directories(collection);
      std::ofstream(collection / ".Radicale.props") << R"({"tag": "VCALENDAR"})";
    }
    std::ofstream(home / "rights") << "[all]\nuser: .*\ncollection: .*\npermissions: RrWw\n";
    StartCalDav();
    bus_ = std::make_unique<PrivateBus>();
    setenv("DBUS_SESSION_BUS_ADDRESS", bus_->Address().c_str(), 1);
    // The service and its calendars started before a test times anything: on a loaded machine
    // the first start takes longer than the store waits for a first answer.
    outlook::eds::LiveSource work("work", outlook::eds::SourceKind::kEvents),
        team("team", outlook::eds::SourceKind::kEvents),
        chores("chores", outlook::eds::SourceKind::kTasks);
    for (auto* source : {&work, &team, &chores}) source->Take(std::chrono::seconds(60));
  }
  void TearDown() override {
    for (auto& r : radicale_) r.reset();
    bus_.reset();
  }

  // Radicale, serving the CalDAV calendar of `server` (0: "team", 1: "away"); false when it did
  // not start.
  bool StartCalDav(int server = 0) {
    if (reserved_[server] >= 0) ::close(reserved_[server]);
    reserved_[server] = -1;
    const std::string folder = (home_.path() / ("radicale" + std::to_string(server))).string();
    radicale_[server] = std::make_unique<Daemon>(std::vector<std::string>{
        "/bin/sh", "-c",
        "echo; exec /usr/bin/python3 -m radicale --server-hosts 127.0.0.1:" +
            std::to_string(ports_[server]) +
            " --auth-type none --rights-type from_file --rights-file " +
            (home_.path() / "rights").string() + " --logging-level error" +
            " --storage-filesystem-folder " + folder});
    for (int i = 0; i < 200; ++i) {
      if (Reachable(server)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  void StopCalDav(int server = 0) { radicale_[server].reset(); }

  // Puts `calendar` (a VCALENDAR) into the CalDAV calendar as `name`.ics; the HTTP status.
  int Put(const std::string& name, const std::string& calendar) {
    const std::string request =
        "PUT /user/team/" + name +
        ".ics HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/calendar\r\n"
        "Connection: close\r\nContent-Length: " +
        std::to_string(calendar.size()) + "\r\n\r\n" + calendar;
    const int fd = Connect(0);
    if (fd < 0) return 0;
    std::string reply;
    if (::write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
      char buffer[512];
      ssize_t n;
      while ((n = ::read(fd, buffer, sizeof buffer)) > 0) reply.append(buffer, n);
    }
    ::close(fd);
    return reply.size() > 12 ? std::atoi(reply.c_str() + 9) : 0;
  }

 private:
  // A free port, kept bound (`fd`) but not listening until its server starts: a connection to it
  // is refused, and the tests beside this one cannot take it.
  static int ReservePort(int& fd) {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    return ntohs(a.sin_port);
  }
  int Connect(int server) const {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(ports_[server]));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  }
  bool Reachable(int server) const {
    const int fd = Connect(server);
    if (fd >= 0) ::close(fd);
    return fd >= 0;
  }

  static inline DesktopService* instance_ = nullptr;
  TempDir home_;
  int ports_[2] = {};
  int reserved_[2] = {-1, -1};
  std::unique_ptr<Daemon> radicale_[2];
  std::unique_ptr<PrivateBus> bus_;
};

// A client of the service, as GNOME Calendar is one: it creates, changes and removes items.
class CalendarClient {
 public:
  CalendarClient(const char* uid, ECalClientSourceType type = E_CAL_CLIENT_SOURCE_TYPE_EVENTS) {
    GError* error = nullptr;
    registry_ = e_source_registry_new_sync(nullptr, &error);
    if (registry_ != nullptr) {
      ESource* source = e_source_registry_ref_source(registry_, uid);
      if (source != nullptr) {
        client_ = E_CAL_CLIENT(
            e_cal_client_connect_sync(source, type, static_cast<guint32>(-1), nullptr, &error));
        g_object_unref(source);
      }
    }
    if (error != nullptr) why_ = error->message;
    g_clear_error(&error);
  }
  ~CalendarClient() {
    if (client_ != nullptr) g_object_unref(client_);
    if (registry_ != nullptr) g_object_unref(registry_);
  }
  CalendarClient(const CalendarClient&) = delete;
  CalendarClient& operator=(const CalendarClient&) = delete;
  bool Ready() const { return client_ != nullptr; }
  const std::string& Why() const { return why_; }

  // Creates the item `component` (a VEVENT or VTODO); "" or why it could not.
  std::string Create(const std::string& component) {
    return Call(component, [&](ICalComponent* c, GError** error) {
      return e_cal_client_create_object_sync(client_, c, E_CAL_OPERATION_FLAG_NONE, nullptr,
                                             nullptr, error);
    });
  }
  std::string Modify(const std::string& component) {
    return Call(component, [&](ICalComponent* c, GError** error) {
      const bool instance = i_cal_component_get_first_property(c, I_CAL_RECURRENCEID_PROPERTY);
      return e_cal_client_modify_object_sync(client_, c,
                                             instance ? E_CAL_OBJ_MOD_THIS : E_CAL_OBJ_MOD_ALL,
                                             E_CAL_OPERATION_FLAG_NONE, nullptr, error);
    });
  }
  std::string Remove(const std::string& uid) {
    GError* error = nullptr;
    e_cal_client_remove_object_sync(client_, uid.c_str(), nullptr, E_CAL_OBJ_MOD_ALL,
                                    E_CAL_OPERATION_FLAG_NONE, nullptr, &error);
    return Take(error);
  }
  // The item `uid` as the service holds it ("" when it has none).
  std::string Get(const std::string& uid) {
    ICalComponent* c = nullptr;
    GError* error = nullptr;
    std::string out;
    if (e_cal_client_get_object_sync(client_, uid.c_str(), nullptr, &c, nullptr, &error)) {
      gchar* text = i_cal_component_as_ical_string(c);
      out = text;
      g_free(text);
      g_object_unref(c);
    }
    g_clear_error(&error);
    return out;
  }
  std::string Status() {
    ESource* s = e_client_get_source(E_CLIENT(client_));
    return "online=" + std::to_string(e_client_is_online(E_CLIENT(client_))) +
           " status=" + std::to_string(e_source_get_connection_status(s));
  }
  // Asks a remote calendar to fetch its changes now, as a user's "Refresh" does.
  std::string Refresh() {
    GError* error = nullptr;
    e_client_refresh_sync(E_CLIENT(client_), nullptr, &error);
    return Take(error);
  }

 private:
  template <typename F>
  std::string Call(const std::string& component, F f) {
    ICalComponent* c = i_cal_component_new_from_string(component.c_str());
    if (c == nullptr) return "unreadable component";
    GError* error = nullptr;
    f(c, &error);
    g_object_unref(c);
    return Take(error);
  }
  static std::string Take(GError* error) {
    std::string why = error != nullptr ? error->message : "";
    g_clear_error(&error);
    return why;
  }
  ESourceRegistry* registry_ = nullptr;
  ECalClient* client_ = nullptr;
  std::string why_;
};

}  // namespace ravenox::testing
