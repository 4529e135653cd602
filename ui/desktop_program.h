#pragma once

// The program with its windows: the status window, the tray icon and Qt's
// event loop serving the application.
//
// Choosing windows or none. The windows need a display: DISPLAY (X11) or
// WAYLAND_DISPLAY in the environment, or a Qt platform named in
// QT_QPA_PLATFORM. Even then Qt's platform may fail to start (the display is
// gone, the X server refuses us, the platform plugin is missing), and Qt
// ends the process when that happens. So CanShowWindows starts Qt's platform
// once in a short-lived child process first and looks at how that went;
// only then does the program itself start Qt.
//
// Threads: the main thread only, before any other thread exists (the check
// forks).

#include <string>

#include "app/web_server_app.h"

namespace vt {

// True when the windows can be shown. Otherwise `why` says why not, in a
// few words for a message, and what Qt said about it has gone to standard
// error.
bool CanShowWindows(std::string& why);

// Runs the program with its windows until Exit: from the window, the tray
// menu, or SIGINT or SIGTERM arriving on `signal_fd` (a signalfd that also
// takes SIGHUP, which reads the settings file again; -1: none). The
// server's log lines go to standard error, as headless. `program` is the
// program's name for Qt (argv[0]); `options` the command line's settings
// for this run.
//
// One program per desktop login (ui/single_instance.h): when another one
// runs on the same settings, it is asked to show its window and this one
// ends at once with status 0 (1 when the other did not answer).
//
// Returns the exit status: 0, or 1 when the settings could not be saved at
// the end.
int RunWindowed(char* program, int signal_fd, const TRunOptions& options = {});

}  // namespace vt
