// What the configuration wizard takes from the program around it: the settings it edits, the
// message boxes it shows (tests answer them), the help page, and which store this build reads.
#pragma once

#include <QEvent>
#include <QString>
#include <functional>
#include <string>
#include <vector>

#include "settings/Settings.h"
#include "wizard/WindowMessages.h"

class QWidget;

namespace ravenox::wizard {

// The messages the wizard posts to the main window.
inline constexpr QEvent::Type WM_RELOAD_SETTINGS =
    static_cast<QEvent::Type>(kReloadSettingsMessage);
inline constexpr QEvent::Type WM_SAVE_SETTINGS = static_cast<QEvent::Type>(kSaveSettingsMessage);

class TWizardDialogs {
 public:
  virtual ~TWizardDialogs() = default;
  // An error box with an OK button.
  virtual void Error(QWidget* owner, const QString& text) = 0;
  // A warning with Yes and No; true for Yes.
  virtual bool Warning(QWidget* owner, const QString& caption, const QString& text) = 0;
};

// The calendar and mail store the engine reads in this build; the welcome page names it.
enum class TStoreKind { kLocalStore, kOutlook };

// The local store's sources and how it sends, as the page "Your calendar and mail" edits them.
struct TStoreFields {
  std::string calendars, tasks;  // files, folders or the desktop's (eds:UID), separated by ";"
  std::string inbox;             // a Maildir
  bool account = false;          // through a mail account (else a sendmail program)
  std::string server, user, password;
  int port = 587;
  std::string sendmail;  // the program and its arguments, separated by ";"
};

// Reads and writes the local store's profile for the wizard. What the page is given is kept
// until the run ends: written at Done, forgotten at Cancel, like every other setting.
class TStoreSetup {
 public:
  virtual ~TStoreSetup() = default;
  // What this run's page last kept, else the profile's (read without creating anything).
  virtual TStoreFields Load() = 0;
  // Whether they can be kept: "" or what is missing.
  virtual std::string Check(const TStoreFields& fields) = 0;
  // The sources among them that cannot be read now, each as "path: why".
  virtual std::vector<std::string> Unreadable(const TStoreFields& fields) = 0;
  // Keeps them until the end of the run.
  virtual void Keep(const TStoreFields& fields) = 0;
  // At Done: writes what was kept (the password into the desktop's keyring); "" or what went
  // wrong. With nothing kept, nothing is written.
  virtual std::string Commit() = 0;
  // At Cancel: forgets what was kept.
  virtual void Discard() = 0;
  // Sends a test message to `address` through them now; "" or what went wrong.
  virtual std::string SendTest(const TStoreFields& fields, const std::string& address) = 0;
  // Calendars and task lists found on this computer (Evolution's, khal's).
  struct Found {
    std::string label, path;
    bool tasks = false;
  };
  virtual std::vector<Found> Suggestions() = 0;
  // The desktop's calendars and task lists (its calendar service's); none where it has none.
  struct DesktopSource {
    std::string entry;  // as the profile names it: "eds:" and its UID
    std::string name, account;
    bool tasks = false;
    bool shown = false;  // the desktop shows it
  };
  virtual std::vector<DesktopSource> DesktopSources() { return {}; }
};

struct TWizardContext {
  settings::TSettings* settings = nullptr;
  TWizardDialogs* dialogs = nullptr;
  // Opens the help page at a help context; may be empty.
  std::function<void(int help_context)> help;
  TStoreKind store = TStoreKind::kLocalStore;
  // The local store's profile; with it (and the local store) the wizard has its page.
  TStoreSetup* store_setup = nullptr;
};

}  // namespace ravenox::wizard
