#pragma once

// The names the program goes by, and the environment variable its tests
// use. Shared by the application's parts (error pages, captions, the access
// log's file name) without their including the whole application.

namespace vt {

// The name the program goes by: window title, error pages, messages.
inline constexpr const char* kServerName = "Veltrana Web Server";
// The main window's caption, and what --version prints.
inline constexpr const char* kMainCaption = "Veltrana Web Server 1.0";
inline constexpr const char* kApplicationName = "Veltrana";
inline constexpr const char* kApplicationVersion = "1.0";
// The access log's file name (its folder: DefaultAccessLogFileName).
inline constexpr const char* kAccessLogName = "webserver.log";
// The environment variable that caps every time-out of the server at the
// milliseconds it holds (CapTimeOuts), so that tests which drive the program
// need not wait for the real bounds. It only ever shortens a bound.
inline constexpr const char* kMaxWaitVariable = "VT_MAX_WAIT_MS";

}  // namespace vt
