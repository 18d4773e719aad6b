// The program's pictures (drawn for it, kept as SVG in a Qt resource) and its help page.
#pragma once

#include <QIcon>
#include <QString>
#include <QStringList>

namespace ravenox::shell {

QIcon ApplicationIcon();
// The image of action list entry `index` (0..13); the desktop theme's icon where the freedesktop
// naming has one for the purpose, ours otherwise.
QIcon ActionImage(int index);
// Where the help page of the running copy may be: installed, then beside an uninstalled build.
QStringList HelpPagePlaces();
// The first of them that is there; empty when none is.
QString HelpPagePath();

}  // namespace ravenox::shell
