#pragma once

// The application's settings: one record, kept in the INI file
// "vtWebServer.ini" (in $XDG_CONFIG_HOME, default ~/.config), section
// "WebServer".
//
// Keys and defaults: Active=1, PubDir=/var/www, Port=80, Throttle=0,
// ThrottleRate=0, LogToFile=1, LogFormat=$date$ $time$ $response$ $size$
// $method$ $uri$, ExecEXEAsCGI=1, Minimized=0, FormX=-1, FormY=-1,
// ListenOn=all, ServeHiddenFiles=0, AuthUser=, AuthPasswordHash=. A missing
// key or a value that is no number reads as its default; keys this program
// does not know are kept when it saves.
//
// Threads: the record belongs to the main thread. Workers read PubDir and
// ExecEXEAsCGI only through the application, under its lock.

#include <cstdint>
#include <string>
#include <vector>

#include "app/log_line.h"

namespace vt {

class TIniFile;

inline constexpr const char* kSettingsFileName = "vtWebServer.ini";
inline constexpr const char* kSettingsSection = "WebServer";
inline constexpr const char* kDefaultPubDir = "/var/www";

struct TWebServerSettings {
  bool Active = true;  // the server was running when last saved
  std::string PubDir = kDefaultPubDir;
  std::int32_t Port = 80;
  bool Throttle = false;          // limit the send rate of each connection
  std::int32_t ThrottleRate = 0;  // bytes per second
  bool LogToFile = true;
  std::string LogFormat = kDefaultLogFormat;
  bool ExecEXEAsCGI = true;
  bool Minimized = false;   // the main window was hidden in the tray
  std::int32_t FormX = -1;  // negative: not set
  std::int32_t FormY = -1;
  // Where the server listens (app/listen_on.h): "all" (every address, also
  // when empty), "local" (127.0.0.1 and ::1), or one address.
  std::string ListenOn = "all";
  bool ServeHiddenFiles = false;  // serve names beginning with "."
  // The password every request must bring (HTTP Basic), when the hash is
  // set: the user name, and a salted slow hash of the password
  // (app/password.h), never the password itself.
  std::string AuthUser;
  std::string AuthPasswordHash;

  // Reads the keys in declaration order.
  void LoadSettings(const TIniFile& ini, const std::string& section);
  // Writes the keys (FormX and FormY only when not negative, so an older
  // position in the file stays; the new keys after Minimized) into `ini`'s pending changes; the caller
  // saves the file.
  void SaveSettings(TIniFile& ini, const std::string& section) const;
};

// "Key=value" for each number or switch of the record whose value in `ini`
// is there but no number (so it reads as its default), in key order.
std::vector<std::string> SettingsNotNumbers(const TIniFile& ini, const std::string& section);

}  // namespace vt
