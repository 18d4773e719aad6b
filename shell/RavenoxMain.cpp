// Program entry: the window and its tray icon on a desktop; the engine alone without a display or
// with --headless. One copy runs per user; SIGTERM, SIGINT and SIGHUP stop it the way the end of
// the desktop session does.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QMessageBox>
#include <QSessionManager>
#include <QSocketNotifier>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "outlook/localstore/Profile.h"
#include "platform/InputState.h"
#include "platform/Memory.h"
#include "platform/Paths.h"
#include "shell/Artwork.h"
#include "shell/Autostart.h"
#include "shell/Headless.h"
#include "shell/LocalStoreEngine.h"
#include "shell/StoreSetup.h"
#include "shell/configformunit.h"
#include "wizard/NewAgentInstallerObj.h"

namespace {

using namespace ravenox::shell;

constexpr const char* kUsage =
    "Usage: ravenox [--headless] [--autostart on|off] [--help]\n"
    "  (no option)        the window and its tray icon on a desktop; without a display, as\n"
    "                     --headless\n"
    "  --headless         the engine alone: status lines on standard output, stopped by\n"
    "                     SIGTERM, SIGINT or SIGHUP\n"
    "  --autostart on|off start Ravenox with the desktop session, or not\n";

int signal_pipe[2] = {-1, -1};

void OnStopSignal(int) {
  const char c = 's';
  (void)!write(signal_pipe[1], &c, 1);
}

// Where the one running copy keeps its lock and its socket: the session's runtime folder, else
// the settings folder (both private to the user).
QString RuntimeFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime == '/') return runtime;
  const auto folder = ravenox::platform::XdgDir("XDG_CONFIG_HOME", ".config") / "Brindlemoor";
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  return QString::fromStdString(folder.string());
}

QString ServerName() {
  return RuntimeFolder() + "/ravenox.socket";
}

std::filesystem::path ProgramPath() {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path("ravenox") : self;
}

}  // namespace

int main(int argc, char** argv) {
  ravenox::platform::KeepFreedMemoryForReuse();
  std::setlocale(LC_ALL, "");
  bool headless = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--headless") {
      headless = true;
    } else if (arg == "--autostart" && i + 1 < argc &&
               (std::strcmp(argv[i + 1], "on") == 0 || std::strcmp(argv[i + 1], "off") == 0)) {
      const bool on = std::strcmp(argv[++i], "on") == 0;
      try {
        WriteAutostartEntry(ProgramPath(), outlook::localstore::DefaultStoreFolder(), on);
      } catch (const std::exception& e) {
        std::cerr << e.what() << std::endl;
        return 1;
      }
      std::cout << (on ? "Ravenox starts with the desktop session: "
                       : "Ravenox no longer starts with the desktop session: ")
                << AutostartEntryPath().string() << std::endl;
      return 0;
    } else if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    } else {
      std::cerr << "ravenox: unknown option " << arg << "\n" << kUsage;
      return 2;
    }
  }
  const auto set = [](const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
  };
  bool display = set("WAYLAND_DISPLAY");
  if (!display && set("DISPLAY") && !headless) {
    // An X display that cannot be opened is no desktop to show a window on.
    display = ravenox::platform::X11DisplayOpens();
    if (!display) {
      std::cerr << "ravenox: cannot open the display " << std::getenv("DISPLAY")
                << "; running without windows" << std::endl;
    }
  }

  // One copy per user: two engines would send every text twice and fight over the state files.
  QLockFile lock(RuntimeFolder() + "/ravenox.lock");
  lock.setStaleLockTime(0);
  if (!lock.tryLock(200)) {
    if (!headless && display) {
      int args = 1;
      QCoreApplication app(args, argv);
      QLocalSocket socket;
      socket.connectToServer(ServerName());
      if (socket.waitForConnected(2000)) {
        socket.write("show\n");
        socket.waitForBytesWritten(2000);
      }
    }
    std::cout << "Ravenox is already running." << std::endl;
    return 0;
  }

  if (headless || !display)
    return RunHeadless(std::cout, std::cerr, set("WAYLAND_DISPLAY") || set("DISPLAY"));

  QApplication app(argc, argv);
  QApplication::setApplicationName("ravenox");
  QApplication::setQuitOnLastWindowClosed(false);
  QApplication::setWindowIcon(ApplicationIcon());

  // The wizard's page sequence lives from before the main window to after it.
  ravenox::wizard::TNewAgentInstaller installer;
  // The wizard asks where the calendar and the mail are, and how texts go out.
  ravenox::shell::LocalStoreSetup store_setup(outlook::localstore::DefaultProfilePath());
  TFormOptions options;
  options.store_setup = &store_setup;
  UseLocalStore(options.engine);
  TRavenoxForm form(std::move(options));
  form.show();

  QLocalServer::removeServer(ServerName());
  QLocalServer server;
  server.setSocketOptions(QLocalServer::UserAccessOption);
  QObject::connect(&server, &QLocalServer::newConnection, &form, [&] {
    while (QLocalSocket* peer = server.nextPendingConnection()) {
      QObject::connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
      form.BringForward();
    }
  });
  server.listen(ServerName());

  // Stop signals reach the window through a pipe, on its own thread.
  if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) == 0) {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (const int s : {SIGTERM, SIGINT, SIGHUP}) sigaction(s, &action, nullptr);
  }
  QSocketNotifier stops(signal_pipe[0], QSocketNotifier::Read);
  QObject::connect(&stops, &QSocketNotifier::activated, &form, [&] {
    char c;
    while (read(signal_pipe[0], &c, 1) > 0) {
    }
    form.WMEndSession();
  });
  // The desktop session asks whether it may end: no question, and gone within half a second.
  QObject::connect(&app, &QGuiApplication::commitDataRequest, &form,
                   [&](QSessionManager&) { form.WMQueryEndSession(); });

  // Once settings are saved for the first time, Ravenox starts with the desktop session.
  QObject::connect(&form, &TRavenoxForm::SettingsSaved, &form, [] {
    try {
      EnsureAutostartEntry(ProgramPath(), outlook::localstore::DefaultStoreFolder());
    } catch (const std::exception&) {
      // Starting by hand still works.
    }
  });
  return app.exec();
}
