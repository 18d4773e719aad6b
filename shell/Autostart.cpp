#include "shell/Autostart.h"

#include <string>

#include "platform/AtomicFile.h"
#include "platform/Paths.h"

namespace ravenox::shell {

std::filesystem::path AutostartEntryPath() {
  return platform::XdgDir("XDG_CONFIG_HOME", ".config") / "autostart" / "ravenox.desktop";
}

void WriteAutostartEntry(const std::filesystem::path& program, const std::filesystem::path& folder,
                         bool enabled) {
  const auto path = AutostartEntryPath();
  std::filesystem::create_directories(path.parent_path());
  // Exec quotes the path, with the characters the desktop entry format reserves escaped.
  std::string exec;
  for (const char c : program.string()) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') exec += '\\';
    if (c == '%') exec += '%';
    exec += c;
  }
  std::string text =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=Ravenox\n"
      "Comment=Texts your phone about meetings, tasks and urgent mail while you are away\n"
      "Exec=\"" +
      exec +
      "\"\n"
      "Path=" +
      folder.string() +
      "\n"
      "Icon=ravenox\n"
      "Terminal=false\n"
      "X-GNOME-Autostart-enabled=" +
      (enabled ? "true" : "false") + "\n";
  if (!enabled) text += "Hidden=true\n";
  platform::WriteFileAtomically(path, text, 0644);
}

bool EnsureAutostartEntry(const std::filesystem::path& program,
                          const std::filesystem::path& folder) {
  std::error_code ec;
  if (std::filesystem::exists(AutostartEntryPath(), ec)) return false;
  WriteAutostartEntry(program, folder, true);
  return true;
}

}  // namespace ravenox::shell
