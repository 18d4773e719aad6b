// Where the user's files go on Windows: the user's local application data.
#include <windows.h>

#include <cstdlib>
#include <system_error>

#include "platform/Paths.h"
#include "platform/WindowsText.h"

namespace ravenox::platform {

// The folder an environment variable names (read as UTF-16: the system's own code page may not
// hold the user's name), else %USERPROFILE%\`fallback`.
std::filesystem::path XdgDir(const char* variable, const char* fallback) {
  const wchar_t* value = _wgetenv(WideText(variable).c_str());
  if (value != nullptr && *value != L'\0') return std::filesystem::path(value);
  const wchar_t* profile = _wgetenv(L"USERPROFILE");
  return std::filesystem::path(profile != nullptr ? profile : L".") / WideText(fallback);
}

// %LOCALAPPDATA%\Brindlemoor\Ravenox: one folder wherever the program was started from, as on
// Linux, and not roamed to other machines (what it holds is about this machine's store).
std::filesystem::path ProgramDataFolder() {
  return XdgDir("LOCALAPPDATA", "AppData\\Local") / "Brindlemoor" / "Ravenox";
}

std::vector<std::filesystem::path> EarlierDataFolders() {
  std::error_code ec;
  return {std::filesystem::current_path(ec)};
}

// The user's local application data is the user's alone already; the folder inherits that.
void MakePrivateFolder(const std::filesystem::path& folder) {
  std::filesystem::create_directories(folder);
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec))
    throw std::system_error(std::make_error_code(std::errc::not_a_directory),
                            "Not a folder: " + Utf8Text(folder.wstring()));
}

}  // namespace ravenox::platform
