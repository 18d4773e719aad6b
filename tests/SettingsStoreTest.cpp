#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "EngineFakes.h"
#include "settings/SettingsStore.h"

#ifdef _WIN32
#include <windows.h>

#include <cstdio>

#include "platform/WindowsRegistry.h"
#include "platform/WindowsText.h"
#else
#include "platform/RegistryFile.h"
#include "shell/Autostart.h"
#endif

namespace ravenox::settings {
namespace {

class FakeWindow final : public SettingsWindow {
 public:
  void ShowMessage(const std::string& text) override { messages.push_back(text); }
  void ShowInformation(const std::string& text) override { infos.push_back(text); }
  void PostOpenWizard() override { ++wizard_posts; }
  int32_t Top() const override { return top; }
  int32_t Left() const override { return left; }
  void SetTop(int32_t v) override { top = v; }
  void SetLeft(int32_t v) override { left = v; }
  int32_t ScreenWidth() const override { return screen_width; }
  int32_t ScreenHeight() const override { return screen_height; }

  std::vector<std::string> messages, infos;
  int wizard_posts = 0;
  int32_t top = 0, left = 0, screen_width = 1024, screen_height = 768;
};

std::vector<uint8_t> Bytes(double d) {
  std::vector<uint8_t> out(8);
  std::memcpy(out.data(), &d, 8);
  return out;
}

#ifdef _WIN32
// The system's registry, under a key of this process's own (tests run side by side), removed at
// the end; seen through it, the settings' key has its usual path.
class ScratchRegistry final : public platform::RegistryStore {
 public:
  ScratchRegistry() : root_("Software\\RavenoxTests\\" + std::to_string(GetCurrentProcessId())) {
    RegDeleteTreeW(HKEY_CURRENT_USER, platform::WideText(root_).c_str());
  }
  ~ScratchRegistry() override {
    RegDeleteTreeW(HKEY_CURRENT_USER, platform::WideText(root_).c_str());
  }
  std::unique_ptr<platform::RegistryKey> OpenKey(const std::string& path) override {
    return system_.OpenKey(Path(path));
  }
  // Whether any value was written (opening the key for a read makes it, as the system's own
  // settings do).
  bool Written() const { return Text().find("\n\"") != std::string::npos; }
  void Erase(const std::string& name) {
    ASSERT_EQ(RegDeleteKeyValueW(HKEY_CURRENT_USER, platform::WideText(Path(kSettingsKey)).c_str(),
                                 platform::WideText(name).c_str()),
              ERROR_SUCCESS);
  }
  // The key's values written out as the registry file holds them: the program's own in the order it
  // saves them (the system lists values in an order of its own), then any other.
  std::string Text() const {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, platform::WideText(Path(kSettingsKey)).c_str(), 0,
                      KEY_READ, &key) != ERROR_SUCCESS)
      return "";
    std::vector<std::wstring> names;
    for (const char* n :
         {"Version", "MeetingNotify", "MorningNotify", "EveningNotify", "TaskNotify",
          "TaskPreNotify", "TaskReminder", "UrgentEmail", "Top", "Left", "TaskRemindPeriod", "Pin",
          "EarlyTime", "LateTime", "Service", "CustomAddr", "CustomEmail"})
      names.push_back(platform::WideText(n));
    for (DWORD i = 0;; ++i) {
      wchar_t name[256];
      DWORD size = 256;
      if (RegEnumValueW(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        break;
      const std::wstring n(name, size);
      if (std::find(names.begin(), names.end(), n) == names.end()) names.push_back(n);
    }
    std::string out = "REGEDIT4\n\n[HKEY_CURRENT_USER\\" + std::string(kSettingsKey) + "]\n";
    for (const std::wstring& name : names) {
      DWORD type = 0;
      BYTE data[1024];
      DWORD size = sizeof data;
      if (RegQueryValueExW(key, name.c_str(), nullptr, &type, data, &size) != ERROR_SUCCESS)
        continue;
      out += "\"" + platform::Utf8Text(name) + "\"=";
      char hex[16];
      if (type == REG_SZ) {
        std::wstring text(reinterpret_cast<const wchar_t*>(data), size / sizeof(wchar_t));
        while (!text.empty() && text.back() == L'\0') text.pop_back();
        out += "\"" + platform::Utf8Text(text) + "\"";
      } else if (type == REG_DWORD) {
        DWORD v = 0;
        std::memcpy(&v, data, 4);
        std::snprintf(hex, sizeof hex, "dword:%08lx", static_cast<unsigned long>(v));
        out += hex;
      } else {
        out += "hex:";
        for (DWORD b = 0; b < size; ++b) {
          std::snprintf(hex, sizeof hex, b ? ",%02x" : "%02x", data[b]);
          out += hex;
        }
      }
      out += "\n";
    }
    RegCloseKey(key);
    return out;
  }

 private:
  std::string Path(const std::string& path) const { return root_ + "\\" + path; }
  std::string root_;
  platform::WindowsRegistry system_;
};

// A complete, valid store, one value of which a case may change or remove.
struct Store {
  ScratchRegistry file;
  bool Written() const { return file.Written(); }
  void Erase(const std::string& name) { file.Erase(name); }
  std::string Text() const { return file.Text(); }
#else
struct Store {
  testing::TempDir dir;
  platform::RegistryFile file{dir.path() / "Ravenox.reg"};

  bool Written() const { return std::filesystem::exists(file.File()); }
  // Drops the value's line from the file itself.
  void Erase(const std::string& name) {
    std::string text = Text();
    const auto at = text.find("\"" + name + "\"");
    text.erase(at, text.find('\n', at) - at + 1);
    std::ofstream(file.File(), std::ios::binary) << text;
  }
  std::string Text() const {
    std::ifstream in(file.File(), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
#endif

  void WriteComplete() {
    auto key = file.OpenKey(kSettingsKey);
    key->WriteString("Version", kSettingsVersion);
    key->WriteDword("MeetingNotify", 1);
    key->WriteDword("MorningNotify", 0);
    key->WriteDword("EveningNotify", 7);
    key->WriteDword("TaskNotify", 1);
    key->WriteDword("TaskPreNotify", 0);
    key->WriteDword("TaskReminder", 1);
    key->WriteDword("UrgentEmail", 1);
    key->WriteDword("Top", 120);
    key->WriteDword("Left", 240);
    key->WriteDword("TaskRemindPeriod", 1);
    key->WriteString("Pin", "5551234567");
    key->WriteBinary("EarlyTime", Bytes(46000.0 + 8.0 / 24));
    key->WriteBinary("LateTime", Bytes(46000.0 + 20.0 / 24));
    key->WriteDword("Service", 5);
    key->WriteString("CustomAddr", "mobile.mycingular.com");
    key->WriteString("CustomEmail", " me@example.org ");
  }
};

TEST(LoadSettings, EmptyStoreTakesTheFirstRunPath) {
  Store store;
  TSettings s;
  FakeWindow w;
  LoadSettings(s, store.file, w);
  ASSERT_EQ(w.infos.size(), 1u);
  EXPECT_EQ(w.infos[0], "Welcome To Ravenox. You must complete\r\nthe configuration at this time.");
  EXPECT_EQ(w.wizard_posts, 1);
  EXPECT_EQ(s.Service(), 4);
  EXPECT_EQ(s.EarlyTime(), EncodeTime(7, 0, 0));
  EXPECT_EQ(s.LateTime(), EncodeTime(19, 0, 0));
  EXPECT_EQ(s.TaskRemindPeriod(), -1);
  EXPECT_FALSE(s.MeetingNotify());
  EXPECT_EQ(s.Pin(), "");
  EXPECT_FALSE(s.SettingsLoaded());
  EXPECT_FALSE(store.Written());  // nothing written
}

TEST(LoadSettings, OtherStampIsAFreshInstallation) {
  Store store;
  store.WriteComplete();
  store.file.OpenKey(kSettingsKey)->WriteString("Version", "01.01.00.002");
  TSettings s;
  FakeWindow w;
  LoadSettings(s, store.file, w);
  EXPECT_EQ(w.wizard_posts, 1);
  EXPECT_FALSE(s.MeetingNotify());
  EXPECT_EQ(s.Pin(), "");
  EXPECT_EQ(s.TaskRemindPeriod(), -1);
}

TEST(LoadSettings, CompleteStoreIsReadWhole) {
  Store store;
  store.WriteComplete();
  TSettings s;
  std::vector<std::pair<NotifySwitch, bool>> changes;
  s.OnSwitchChanged([&](NotifySwitch sw, bool on) { changes.emplace_back(sw, on); });
  FakeWindow w;
  LoadSettings(s, store.file, w);
  EXPECT_TRUE(w.messages.empty());
  EXPECT_EQ(w.wizard_posts, 0);
  EXPECT_TRUE(s.SettingsLoaded());
  EXPECT_TRUE(s.MeetingNotify());
  EXPECT_FALSE(s.MorningNotify());
  EXPECT_TRUE(s.EveningNotify());  // any non-zero DWORD is true
  EXPECT_EQ(changes.size(), 7u);   // each switch reported as it is read
  EXPECT_EQ(w.top, 120);
  EXPECT_EQ(w.left, 240);
  EXPECT_EQ(s.Pin(), "5551234567");
  EXPECT_EQ(s.CustomEmail(), " me@example.org ");
  EXPECT_EQ(s.Service(), 5);
  EXPECT_DOUBLE_EQ(s.EarlyTime().Value(), 46000.0 + 8.0 / 24);  // whole double kept
  EXPECT_EQ(s.TaskRemindPeriod(), 1);
}

// Each case damages one value of a complete store.
TEST(LoadSettings, DamagedValues) {
  struct Case {
    const char* name;
    std::function<void(platform::RegistryKey&)> damage;
    bool error_box;
    bool loaded;
    std::function<void(const TSettings&, const FakeWindow&)> check;
  };
  auto remove = [](const char* value) {
    // Rewriting as a value of another type is how a test removes one: it then reads as missing.
    return [value](platform::RegistryKey& k) { k.WriteBinary(value, {}); };
  };
  const Case cases[] = {
      {"Top missing", remove("Top"), true, false,
       [](const TSettings& s, const FakeWindow& w) {
         EXPECT_TRUE(s.MeetingNotify());  // read before the failure
         EXPECT_TRUE(s.UrgentEmail());
         EXPECT_EQ(w.top, 0);
         EXPECT_EQ(s.Pin(), "");  // after the failure: untouched
         EXPECT_EQ(s.Service(), 0);
         EXPECT_EQ(s.EarlyTime(), TDateTime(0.0));
         EXPECT_EQ(s.TaskRemindPeriod(), 0);
       }},
      {"Left missing", remove("Left"), true, false,
       [](const TSettings& s, const FakeWindow& w) {
         EXPECT_EQ(w.top, 0);  // not moved half-way
         EXPECT_EQ(w.left, 0);
         EXPECT_EQ(s.Pin(), "");
       }},
      {"Pin as DWORD", [](platform::RegistryKey& k) { k.WriteDword("Pin", 5); }, true, false,
       [](const TSettings& s, const FakeWindow& w) {
         EXPECT_EQ(w.top, 120);
         EXPECT_EQ(s.CustomAddr(), "");
         EXPECT_EQ(s.Service(), 0);
       }},
      {"EarlyTime present, LateTime missing", remove("LateTime"), false, true,
       [](const TSettings& s, const FakeWindow&) {
         EXPECT_EQ(s.EarlyTime(), EncodeTime(7, 0, 0));
         EXPECT_EQ(s.LateTime(), EncodeTime(19, 0, 0));
       }},
      {"EarlyTime as DWORD", [](platform::RegistryKey& k) { k.WriteDword("EarlyTime", 1); }, false,
       true,
       [](const TSettings& s, const FakeWindow&) {
         EXPECT_EQ(s.EarlyTime(), EncodeTime(7, 0, 0));
         EXPECT_EQ(s.LateTime(), EncodeTime(19, 0, 0));
       }},
      {"EarlyTime of 4 bytes",
       [](platform::RegistryKey& k) {
         k.WriteBinary("EarlyTime", {1, 2, 3, 4});
       },
       false, true,
       [](const TSettings& s, const FakeWindow&) {
         EXPECT_EQ(s.EarlyTime(), EncodeTime(7, 0, 0));
       }},
      {"TaskRemindPeriod missing", remove("TaskRemindPeriod"), false, true,
       [](const TSettings& s, const FakeWindow&) { EXPECT_EQ(s.TaskRemindPeriod(), 2); }},
      {"Service 300", [](platform::RegistryKey& k) { k.WriteDword("Service", 300); }, false, true,
       [](const TSettings& s, const FakeWindow&) { EXPECT_EQ(s.Service(), 44); }},
      {"Service missing", remove("Service"), false, true,
       [](const TSettings& s, const FakeWindow&) { EXPECT_EQ(s.Service(), 4); }},
      {"Top 5000 on a 768-pixel screen",
       [](platform::RegistryKey& k) { k.WriteDword("Top", 5000); }, false, true,
       [](const TSettings&, const FakeWindow& w) { EXPECT_EQ(w.top, 748); }},
      {"Left beyond the screen", [](platform::RegistryKey& k) { k.WriteDword("Left", 1025); },
       false, true, [](const TSettings&, const FakeWindow& w) { EXPECT_EQ(w.left, 1004); }},
      {"Top equal to the screen height and Left negative",
       [](platform::RegistryKey& k) {
         k.WriteDword("Top", 768);
         k.WriteDword("Left", static_cast<uint32_t>(-30));
       },
       false, true,
       [](const TSettings&, const FakeWindow& w) {
         EXPECT_EQ(w.top, 768);
         EXPECT_EQ(w.left, -30);
       }},
      {"CustomEmail of another type", remove("CustomEmail"), true, false, nullptr},
      {"CustomEmail missing", nullptr, false, true,
       [](const TSettings& s, const FakeWindow&) { EXPECT_EQ(s.CustomEmail(), ""); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Store store;
    store.WriteComplete();
    if (c.damage) {
      c.damage(*store.file.OpenKey(kSettingsKey));
    } else {
      store.Erase("CustomEmail");
    }
    TSettings s;
    FakeWindow w;
    LoadSettings(s, store.file, w);
    EXPECT_EQ(w.messages.size(), c.error_box ? 1u : 0u);
    if (c.error_box && !w.messages.empty()) {
      EXPECT_EQ(w.messages[0], "Error Reading Registry");
    }
    EXPECT_EQ(s.SettingsLoaded(), c.loaded);
    if (c.check) c.check(s, w);
  }
}

TEST(LoadSettings, VersionOfAnotherTypePropagates) {
  Store store;
  store.file.OpenKey(kSettingsKey)->WriteDword("Version", 1);
  TSettings s;
  FakeWindow w;
  EXPECT_THROW(LoadSettings(s, store.file, w), platform::RegistryError);
}

TEST(SaveSettings, RoundTripIsStableByteForByte) {
  Store store;
  TSettings s;
  FakeWindow w;
  w.top = -5;
  w.left = 300;
  s.SetSwitch(NotifySwitch::kMeetingNotify, true);
  s.SetSwitch(NotifySwitch::kTaskReminder, true);
  s.SetTaskRemindPeriod(-1);
  s.SetPin("5551234567");
  s.SetEarlyTime(46364.0 + 6.5 / 24);
  s.SetLateTime(20.0 / 24);
  s.SetService(8);
  s.SetCustomEmail("pager@example.org");
  SaveSettings(s, store.file, w);
  const std::string first = store.Text();
  EXPECT_EQ(first,
            "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Brindlemoor\\Ravenox]\n"
            "\"Version\"=\"01.01.00.001\"\n"
            "\"MeetingNotify\"=dword:00000001\n\"MorningNotify\"=dword:00000000\n"
            "\"EveningNotify\"=dword:00000000\n\"TaskNotify\"=dword:00000000\n"
            "\"TaskPreNotify\"=dword:00000000\n\"TaskReminder\"=dword:00000001\n"
            "\"UrgentEmail\"=dword:00000000\n\"Top\"=dword:fffffffb\n\"Left\"=dword:0000012c\n"
            "\"TaskRemindPeriod\"=dword:ffffffff\n\"Pin\"=\"5551234567\"\n"
            "\"EarlyTime\"=hex:ab,aa,aa,aa,88,a3,e6,40\n"
            "\"LateTime\"=hex:ab,aa,aa,aa,aa,aa,ea,3f\n"
            "\"Service\"=dword:00000008\n\"CustomAddr\"=\"\"\n"
            "\"CustomEmail\"=\"pager@example.org\"\n");

  TSettings loaded;
  FakeWindow w2;
  LoadSettings(loaded, store.file, w2);
  EXPECT_TRUE(loaded.SettingsLoaded());
  EXPECT_EQ(w2.top, -5);
  EXPECT_EQ(loaded.TaskRemindPeriod(), -1);
  EXPECT_DOUBLE_EQ(loaded.EarlyTime().Value(), 46364.0 + 6.5 / 24);
  SaveSettings(loaded, store.file, w2);
  EXPECT_EQ(store.Text(), first);
}

class FailingKey final : public platform::RegistryKey {
 public:
  explicit FailingKey(std::string fail_on, std::vector<std::string>& written)
      : fail_on_(std::move(fail_on)), written_(written) {}
  platform::ReadResult<std::string> ReadString(const std::string&) override { return {}; }
  platform::ReadResult<uint32_t> ReadDword(const std::string&) override { return {}; }
  platform::ReadResult<std::vector<uint8_t>> ReadBinary(const std::string&) override { return {}; }
  void WriteString(const std::string& n, const std::string&) override { Write(n); }
  void WriteDword(const std::string& n, uint32_t) override { Write(n); }
  void WriteBinary(const std::string& n, const std::vector<uint8_t>&) override { Write(n); }

 private:
  void Write(const std::string& n) {
    if (n == fail_on_) throw platform::RegistryError("disk full");
    written_.push_back(n);
  }
  std::string fail_on_;
  std::vector<std::string>& written_;
};

class FailingStore final : public platform::RegistryStore {
 public:
  explicit FailingStore(std::string fail_on) : fail_on_(std::move(fail_on)) {}
  std::unique_ptr<platform::RegistryKey> OpenKey(const std::string&) override {
    return std::make_unique<FailingKey>(fail_on_, written);
  }
  std::vector<std::string> written;

 private:
  std::string fail_on_;
};

TEST(SaveSettings, FailedWriteStopsThereAndNamesTheValue) {
  FailingStore store("Pin");
  TSettings s;
  FakeWindow w;
  try {
    SaveSettings(s, store, w);
    FAIL() << "expected an error";
  } catch (const platform::RegistryError& e) {
    EXPECT_STREQ(e.what(), "Failed to set data for 'Pin'");
  }
  const std::vector<std::string> expected = {"Version",       "MeetingNotify",   "MorningNotify",
                                             "EveningNotify", "TaskNotify",      "TaskPreNotify",
                                             "TaskReminder",  "UrgentEmail",     "Top",
                                             "Left",          "TaskRemindPeriod"};
  EXPECT_EQ(store.written, expected);
}

}  // namespace
}  // namespace ravenox::settings

#ifndef _WIN32
namespace ravenox::shell {
namespace {

// The autostart entry: made once, kept off once switched off, and its command quoted whatever the
// program's path holds.
TEST(Autostart, MadeOnceAndKeptOffWhenSwitchedOff) {
  testing::TempDir dir;
  setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
  const std::filesystem::path program = "/opt/my \"odd\" $dir/ravenox";
  EXPECT_TRUE(EnsureAutostartEntry(program, "/data"));
  const std::string entry = testing::ReadAll(AutostartEntryPath());
  EXPECT_NE(entry.find("Exec=\"/opt/my \\\"odd\\\" \\$dir/ravenox\"\n"), std::string::npos)
      << entry;
  EXPECT_EQ(entry.find("Hidden=true"), std::string::npos);
  EXPECT_FALSE(EnsureAutostartEntry(program, "/data"));  // there already
  WriteAutostartEntry(program, "/data", false);
  EXPECT_FALSE(EnsureAutostartEntry(program, "/data"));
  EXPECT_NE(testing::ReadAll(AutostartEntryPath()).find("Hidden=true"), std::string::npos);
  WriteAutostartEntry(program, "/data", true);
  EXPECT_EQ(testing::ReadAll(AutostartEntryPath()).find("Hidden=true"), std::string::npos);
  unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
}  // namespace ravenox::shell
#endif
