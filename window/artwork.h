// The program's own pictures, drawn with QPainter when first asked for: the
// splash shown on the intro page and the program icon used by the window and
// the tray. No image files are shipped. Called by the main window.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace vistrel {

// The intro page's picture (about 480 x 280 pixels).
QPixmap SplashPicture();
// The program icon, in a few sizes.
QIcon ProgramIcon();

}  // namespace vistrel
