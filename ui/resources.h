#pragma once

// The program's pictures, compiled into the library from ui/icons/*.svg (the
// build renders them to PNG; see ui/CMakeLists.txt).
//
// Main thread only, once a QGuiApplication exists.

#include <QIcon>
#include <QPixmap>

namespace vt {

// The program and tray icon, in every rendered size.
QIcon ProgramIcon();

// The server pictures of the status window (48 x 64 pixels).
QPixmap ServerActivePixmap();
QPixmap ServerInactivePixmap();

}  // namespace vt
