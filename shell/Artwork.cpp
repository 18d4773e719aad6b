#include "shell/Artwork.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

// The pictures live in a resource of a static library: it must be brought in by name.
static void LoadArtwork() {
  static const bool loaded = [] {
    Q_INIT_RESOURCE(artwork);
    return true;
  }();
  (void)loaded;
}

namespace ravenox::shell {
namespace {

struct Image {
  const char* file;
  const char* theme;  // freedesktop icon name, or null
};

constexpr Image kImages[] = {
    {"00-meeting", nullptr},
    {"01-morning", nullptr},
    {"02-evening", nullptr},
    {"03-task", nullptr},
    {"04-prenotify", nullptr},
    {"05-pastdue", nullptr},
    {"06-urgent", "mail-mark-important"},
    {"07-test", "mail-send"},
    {"08-wizard", nullptr},
    {"09-settings", "preferences-system"},
    {"10-help", "help-contents"},
    {"11-upgrade", "system-software-update"},
    {"12-hide", nullptr},
    {"13-exit", "application-exit"},
};

}  // namespace

QIcon ApplicationIcon() {
  LoadArtwork();
  return QIcon(":/artwork/ravenox.svg");
}

QIcon ActionImage(int index) {
  if (index < 0 || index >= static_cast<int>(std::size(kImages))) return {};
  LoadArtwork();
  const QIcon ours(QString(":/artwork/%1.svg").arg(kImages[index].file));
  return kImages[index].theme != nullptr ? QIcon::fromTheme(kImages[index].theme, ours) : ours;
}

QStringList HelpPagePlaces() {
  // Of the copy that runs: installed, or beside the program in the build it comes from (never
  // the tree it was built in, which may be another version or gone).
  const QDir bin(QCoreApplication::applicationDirPath());
  return {bin.absoluteFilePath("../share/ravenox/help/index.html"),
          bin.absoluteFilePath("help/index.html")};
}

QString HelpPagePath() {
  for (const QString& place : HelpPagePlaces()) {
    if (QFileInfo::exists(place)) return QFileInfo(place).canonicalFilePath();
  }
  return {};
}

}  // namespace ravenox::shell
