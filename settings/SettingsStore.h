// Loading the settings from the registry and saving them back.
#pragma once

#include <climits>
#include <cstdint>
#include <ostream>
#include <string>

#include "platform/Registry.h"
#include "settings/Settings.h"

namespace ravenox::settings {

// What loading does to the window and the user; the main window implements it, tests fake it.
class SettingsWindow {
 public:
  virtual ~SettingsWindow() = default;
  // A plain message box with an OK button.
  virtual void ShowMessage(const std::string& text) = 0;
  // An information box with an OK button.
  virtual void ShowInformation(const std::string& text) = 0;
  // Queues the message that opens the configuration wizard once the message loop runs.
  virtual void PostOpenWizard() = 0;
  virtual int32_t Top() const = 0;
  virtual int32_t Left() const = 0;
  virtual void SetTop(int32_t top) = 0;
  virtual void SetLeft(int32_t left) = 0;
  virtual int32_t ScreenWidth() const = 0;
  virtual int32_t ScreenHeight() const = 0;
};

// Loading without a window: what would be a box goes to `err`, the welcome is left out, a first
// run is only noted; the window position is kept only to be saved back unchanged.
class ConsoleSettingsWindow final : public SettingsWindow {
 public:
  explicit ConsoleSettingsWindow(std::ostream& err) : err_(err) {}
  void ShowMessage(const std::string& text) override { err_ << text << std::endl; }
  void ShowInformation(const std::string&) override {}
  void PostOpenWizard() override { first_run = true; }
  int32_t Top() const override { return top_; }
  int32_t Left() const override { return left_; }
  void SetTop(int32_t top) override { top_ = top; }
  void SetLeft(int32_t left) override { left_ = left; }
  int32_t ScreenWidth() const override { return INT32_MAX; }
  int32_t ScreenHeight() const override { return INT32_MAX; }
  bool first_run = false;

 private:
  std::ostream& err_;
  int32_t top_ = 0, left_ = 0;
};

// Reads the stored settings into `settings`. A stamp other than the current one (or none) takes the
// first-run path: welcome box, wizard, defaults, nothing read or written. A failure reading the
// switches, the window position or the strings shows "Error Reading Registry" and keeps what was
// read so far. Service, the times and the reminder period fall back to defaults silently.
// A Version value of a non-string type throws platform::RegistryError.
void LoadSettings(TSettings& settings, platform::RegistryStore& store, SettingsWindow& window);

// Writes all seventeen values in their fixed order. A failed write stops there and throws
// platform::RegistryError("Failed to set data for '<name>'").
void SaveSettings(const TSettings& settings, platform::RegistryStore& store,
                  const SettingsWindow& window);

}  // namespace ravenox::settings
