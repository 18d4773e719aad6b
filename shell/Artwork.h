// The program's pictures (drawn for it, kept as SVG in a Qt resource) and its help page.
#pragma once

#include <QIcon>
#include <QString>

namespace ravenox::shell {

QIcon ApplicationIcon();
// The image of action list entry `index` (0..13); the desktop theme's icon where the freedesktop
// naming has one for the purpose, ours otherwise.
QIcon ActionImage(int index);
// The installed help page, or the one in the source tree when run from a build.
QString HelpPagePath();

}  // namespace ravenox::shell
