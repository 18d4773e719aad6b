// What the configuration wizard takes from the program around it: the settings it edits, the
// message boxes it shows (tests answer them), the help page, and which store this build reads.
#pragma once

#include <QEvent>
#include <QString>
#include <functional>

#include "shell/Settings.h"
#include "shell/WindowMessages.h"

class QWidget;

namespace ravenox::wizard {

// The messages the wizard posts to the main window.
inline constexpr QEvent::Type WM_RELOAD_SETTINGS =
    static_cast<QEvent::Type>(shell::kReloadSettingsMessage);
inline constexpr QEvent::Type WM_SAVE_SETTINGS =
    static_cast<QEvent::Type>(shell::kSaveSettingsMessage);

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

struct TWizardContext {
  shell::TSettings* settings = nullptr;
  TWizardDialogs* dialogs = nullptr;
  // Opens the help page at a help context; may be empty.
  std::function<void(int help_context)> help;
  TStoreKind store = TStoreKind::kLocalStore;
};

}  // namespace ravenox::wizard
