#include "settings/SettingsStore.h"

#include <cstring>
#include <functional>

namespace ravenox::settings {
namespace {

using platform::ReadStatus;
using platform::RegistryError;

struct ReadFailure {
  std::string name;
};

constexpr NotifySwitch kSwitches[] = {
    NotifySwitch::kMeetingNotify, NotifySwitch::kMorningNotify, NotifySwitch::kEveningNotify,
    NotifySwitch::kTaskNotify,    NotifySwitch::kTaskPreNotify, NotifySwitch::kTaskReminder,
    NotifySwitch::kUrgentEmail,
};

uint32_t MustReadDword(platform::RegistryKey& key, const char* name) {
  const auto r = key.ReadDword(name);
  if (!r.ok()) throw ReadFailure{name};
  return r.value;
}

// A missing string is empty; a string of another type is a failure.
std::string ReadStringValue(platform::RegistryKey& key, const char* name) {
  const auto r = key.ReadString(name);
  if (r.status == ReadStatus::kWrongType) throw ReadFailure{name};
  return r.value;
}

TDateTime MustReadTime(platform::RegistryKey& key, const char* name) {
  const auto r = key.ReadBinary(name);
  if (!r.ok() || r.value.size() != 8) throw ReadFailure{name};
  uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = bits << 8 | r.value[static_cast<std::size_t>(i)];
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

std::vector<uint8_t> TimeBytes(TDateTime t) {
  const double d = t.Value();
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  std::vector<uint8_t> out(8);
  for (std::size_t i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(bits >> (8 * i));
  return out;
}

void ReadPath(TSettings& settings, platform::RegistryKey& key, SettingsWindow& window) {
  try {
    for (const NotifySwitch s : kSwitches)
      settings.SetSwitch(s, MustReadDword(key, SwitchName(s)) != 0);
    {
      // The window moves only once both edges are known.
      const auto top = static_cast<int32_t>(MustReadDword(key, "Top"));
      const auto left = static_cast<int32_t>(MustReadDword(key, "Left"));
      window.SetTop(top);
      window.SetLeft(left);
    }
    settings.SetPin(ReadStringValue(key, "Pin"));
    settings.SetCustomAddr(ReadStringValue(key, "CustomAddr"));
    settings.SetCustomEmail(ReadStringValue(key, "CustomEmail"));

    try {
      settings.SetService(static_cast<uint8_t>(MustReadDword(key, "Service") & 0xFF));
    } catch (const ReadFailure&) {
      settings.SetService(kDefaultService);
    }

    try {
      settings.SetEarlyTime(MustReadTime(key, "EarlyTime"));
      settings.SetLateTime(MustReadTime(key, "LateTime"));
    } catch (const ReadFailure&) {
      settings.SetLateTime(kDefaultLateTime);
      settings.SetEarlyTime(kDefaultEarlyTime);
    }

    try {
      settings.SetTaskRemindPeriod(static_cast<int32_t>(MustReadDword(key, "TaskRemindPeriod")));
    } catch (const ReadFailure&) {
      settings.SetTaskRemindPeriod(kDefaultTaskRemindPeriod);
    }

    // Keep the window on the screen.
    if (window.ScreenHeight() < window.Top()) window.SetTop(window.ScreenHeight() - 20);
    if (window.ScreenWidth() < window.Left()) window.SetLeft(window.ScreenWidth() - 20);

    settings.MarkLoaded();
  } catch (const ReadFailure&) {
    window.ShowMessage("Error Reading Registry");
  } catch (const std::exception&) {
    window.ShowMessage("Error Reading Registry");
  }
}

void FirstRunPath(TSettings& settings, SettingsWindow& window) {
  window.ShowInformation(
      "Welcome To Ravenox. You must complete\r\nthe configuration at this time.");
  window.PostOpenWizard();
  settings.SetService(kDefaultService);
  settings.SetLateTime(kDefaultLateTime);
  settings.SetEarlyTime(kDefaultEarlyTime);
  settings.SetTaskRemindPeriod(-1);
}

}  // namespace

void LoadSettings(TSettings& settings, platform::RegistryStore& store, SettingsWindow& window) {
  const std::unique_ptr<platform::RegistryKey> key = store.OpenKey(kSettingsKey);
  const auto version = key->ReadString("Version");
  if (version.status == ReadStatus::kWrongType)
    throw RegistryError("Invalid data type for 'Version'");
  if (version.ok() && version.value == kSettingsVersion) {
    ReadPath(settings, *key, window);
  } else {
    FirstRunPath(settings, window);
  }
}

void SaveSettings(const TSettings& settings, platform::RegistryStore& store,
                  const SettingsWindow& window) {
  const std::unique_ptr<platform::RegistryKey> key = store.OpenKey(kSettingsKey);
  auto write = [](const char* name, const std::function<void()>& action) {
    try {
      action();
    } catch (const std::exception&) {
      throw RegistryError(std::string("Failed to set data for '") + name + "'");
    }
  };
  // All seventeen values go to the store together: a crash in the middle of a save leaves the
  // previous settings whole, never a mixture of two saves.
  key->BeginBatch();
  write("Version", [&] { key->WriteString("Version", kSettingsVersion); });
  for (const NotifySwitch s : kSwitches) {
    write(SwitchName(s), [&] { key->WriteDword(SwitchName(s), settings.Switch(s) ? 1 : 0); });
  }
  write("Top", [&] { key->WriteDword("Top", static_cast<uint32_t>(window.Top())); });
  write("Left", [&] { key->WriteDword("Left", static_cast<uint32_t>(window.Left())); });
  write("TaskRemindPeriod", [&] {
    key->WriteDword("TaskRemindPeriod", static_cast<uint32_t>(settings.TaskRemindPeriod()));
  });
  write("Pin", [&] { key->WriteString("Pin", settings.Pin()); });
  write("EarlyTime", [&] { key->WriteBinary("EarlyTime", TimeBytes(settings.EarlyTime())); });
  write("LateTime", [&] { key->WriteBinary("LateTime", TimeBytes(settings.LateTime())); });
  write("Service", [&] { key->WriteDword("Service", settings.Service()); });
  write("CustomAddr", [&] { key->WriteString("CustomAddr", settings.CustomAddr()); });
  write("CustomEmail", [&] { key->WriteString("CustomEmail", settings.CustomEmail()); });
  // Nothing is stored when the batch fails, so the failure is at the first value.
  write("Version", [&] { key->CommitBatch(); });
}

}  // namespace ravenox::settings
