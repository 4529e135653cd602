#pragma once

// The message and timer numbers of the application (see
// platform/messages.h).

#include "tcpserver/messages.h"

namespace vt {

// Posted by the application to its own window after the first show: the
// deferred start.
inline constexpr std::uint32_t kDeferredStartMessage = 8247;
// Carries a refresh of the status figures to the application's window.
inline constexpr std::uint32_t kRefreshFiguresMessage = 8248;
// Posted to the headless runner's window when a signal is waiting.
inline constexpr std::uint32_t kSignalMessage = 8249;
// The settings file's folder changed (posted by the file watch).
inline constexpr std::uint32_t kSettingsFileMessage = 8250;
// The network interfaces changed (posted by their watch).
inline constexpr std::uint32_t kInterfacesMessage = 8251;

// A worker's exposure check has its report (app/exposure_check.h).
inline constexpr std::uint32_t kExposureCheckedMessage = 8260;

// A CGI program's pipe (or its end) is ready: posted to the window of the
// connection that serves it, whose wait it ends (app/cgi_program.h).
inline constexpr std::uint32_t kCGIPipeMessage = 8270;
// Something changed in the published folder (posted by its watch,
// app/folder_watch.h).
inline constexpr std::uint32_t kPublishedFolderMessage = 8280;

// The timer of the application's window that delays a figures refresh.
inline constexpr std::uint32_t kRefreshTimerId = 2;
// The timer that lets the settings file settle before it is read again.
inline constexpr std::uint32_t kSettingsTimerId = 3;
// The timer that looks at the live connections while the server runs.
inline constexpr std::uint32_t kConnectionsTimerId = 4;
// The timer that lets the network interfaces settle before their addresses
// are read again.
inline constexpr std::uint32_t kInterfacesTimerId = 5;
// The timer that lets a burst of changes in the published folder end
// before the exposure check runs again.
inline constexpr std::uint32_t kExposureRecheckTimerId = 21;

inline constexpr std::array kAppMessages{kDeferredStartMessage, kRefreshFiguresMessage,  kSignalMessage,
                                         kSettingsFileMessage,  kExposureCheckedMessage, kInterfacesMessage,
                                         kCGIPipeMessage,       kPublishedFolderMessage};

static_assert(MessageNumbersDiffer(kPlatformMessages, kSocketMessages, kTCPServerMessages, kAppMessages));

}  // namespace vt
