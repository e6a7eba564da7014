// Pictures of every page of the operator window (the PNG files in docs/):
// shows the window, selects each tree node in turn, lets the page settle and
// writes <dir>/<page>.png, then "<dir>/done". Used by vistrel-server's hidden
// --screenshots option (tools/screenshots.sh). Selecting the nodes is what
// the operator would do, so leaving the Setup node saves the settings.
#pragma once

#include <QString>
#include <QStringList>

namespace vistrel {

class TMainWindow;

// The file names written, without folder, in the order they are taken.
QStringList ScreenshotFileNames();

// Returns false if a picture could not be written (the reason on stderr).
bool WritePageScreenshots(TMainWindow& window, const QString& directory);

}  // namespace vistrel
