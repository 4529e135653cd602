#pragma once

// The program's pictures, compiled into the library from ui/icons/*.svg (the
// build renders them to PNG; see ui/CMakeLists.txt).
//
// Main thread only, once a QGuiApplication exists.

#include <QIcon>
#include <QPixmap>

#include "app/web_server_app.h"

namespace vt {

// The program and tray icon, in every rendered size.
QIcon ProgramIcon();

// The tray icon for a server state: the program icon with a badge in its
// lower right corner, green while running, grey while stopped, amber with a
// white dot while it waits for its missing folder, red with a white bar
// while there is a problem (so that the states differ in shape too, not
// only in colour).
QIcon StateIcon(TServerState state);

// The server pictures of the status window (48 x 64 pixels).
QPixmap ServerActivePixmap();
QPixmap ServerInactivePixmap();

}  // namespace vt
