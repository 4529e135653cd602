#pragma once

// The application's settings: one record, kept in the INI file
// "vtWebServer.ini" (in $XDG_CONFIG_HOME, default ~/.config), section
// "WebServer".
//
// Keys and defaults: Active=1, PubDir=the user's public-share folder
// (~/Public), Port=80 where this process may bind it, else 8080
// (app/settings_environment.h), Throttle=0, ThrottleRate=0, LogToFile=1,
// LogFormat=$date$ $time$ $response$ $size$ $method$ $uri$, ExecEXEAsCGI=1,
// Minimized=0, FormX=-1, FormY=-1, ListenOn=all, ServeHiddenFiles=0,
// AuthUser=, AuthPasswordHash=, ListFolders=0, AllowUploads=0,
// UploadFolder= (the published folder), MaxUploadSize=4096 (MiB), HTTPS=0,
// HTTPSPort=8443, CertificateFile=, KeyFile= (both empty: a certificate the
// program makes), RedirectToHTTPS=0, AllowPasswordOverHTTP=0,
// CGITimeLimit=600 (seconds), MaxCGIBody=1024 (MiB). At the start, a missing
// key or a value that is no number reads as its default; when the file is
// read again, it keeps the value in use (TSettingsKeeper::Reload). Keys this
// program does not know are kept when it saves.
//
// A file the program writes for a new user (none was there at the start)
// gets NewUserSettings(): folders listed, and no program run as CGI until
// the user turns it on. An existing file that lacks those keys keeps what
// its user had (no listing; CGI as it was).
//
// Threads: a record belongs to one thread. Workers read the settings only
// through an immutable copy the application publishes (TWebServerApp::
// SettingsSnapshot).

#include <array>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "app/log_line.h"

namespace vt {

class TIniFile;

inline constexpr const char* kSettingsFileName = "vtWebServer.ini";
inline constexpr const char* kSettingsSection = "WebServer";
// The record's member defaults are the fixed ones; PubDir and Port depend on
// the user and the machine, and DefaultSettings() fills them in. A record
// read from a file (LoadSettings) has those.
struct TWebServerSettings {
  bool Active = true;  // the server was running when last saved
  std::string PubDir;
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
  // A folder without a default document answers a list of its files.
  bool ListFolders = false;
  // Visitors may store files (PUT, a form's POST) in UploadFolder: a folder
  // below the published one, relative to it (empty: the published folder
  // itself), each file at most MaxUploadSize MiB.
  bool AllowUploads = false;
  std::string UploadFolder;
  std::int32_t MaxUploadSize = 4096;
  // HTTPS beside plain HTTP, on HTTPSPort, with the certificate chain and
  // key of these PEM files (both empty: a certificate the program makes).
  bool HTTPS = false;
  std::int32_t HTTPSPort = 8443;
  std::string CertificateFile;
  std::string KeyFile;
  // Plain HTTP is answered with a redirect to the https address.
  bool RedirectToHTTPS = false;
  // While a password is set, plain HTTP from other computers is answered
  // too (the password then crosses the network readable).
  bool AllowPasswordOverHTTP = false;
  // A CGI program's whole run, in seconds, and its request body, in MiB.
  std::int32_t CGITimeLimit = 600;
  std::int32_t MaxCGIBody = 1024;

  // Reads the keys in kSettingKeys order; a key that is missing or no number
  // gets its value from DefaultSettings().
  void LoadSettings(const TIniFile& ini, const std::string& section);
  // The same, but a key that is missing or no number gets its value from
  // `fallback`: a file read again changes only what it says. A file caught
  // half written, or holding only its section line, must not turn the
  // password off or publish the default folder on the default port.
  void ReadSettings(const TIniFile& ini, const std::string& section, const TWebServerSettings& fallback);
  // Writes the keys (FormX and FormY only when not negative, so an older
  // position in the file stays) into `ini`'s pending changes; the caller
  // saves the file.
  //
  // With `on_file` (the values as the file held them when last read or
  // written), a key is written only when its value differs from that or the
  // key is missing from the file: a value the user edited in the file
  // meanwhile, or one that is no number, stays as written until the program
  // has a value of its own for it.
  void SaveSettings(TIniFile& ini, const std::string& section,
                    const TWebServerSettings* on_file = nullptr) const;
};

// One key of the file and the member that holds its value.
struct TSettingKey {
  const char* name;
  std::variant<bool TWebServerSettings::*, std::int32_t TWebServerSettings::*,
               std::string TWebServerSettings::*>
      member;
  // Read as a number (switches and counts): a value that is no number is
  // reported and reads as its default.
  bool IsNumber() const { return !std::holds_alternative<std::string TWebServerSettings::*>(member); }
};

// Every key, in the order the file is read and written.
extern const std::array<TSettingKey, 27> kSettingKeys;

// The defaults of this user and machine: the fixed ones, with PubDir = the
// public-share folder and Port = DefaultPort(). A key an existing file
// lacks reads as this.
TWebServerSettings DefaultSettings();
// The settings of a new user, whose file the program writes first: the
// defaults, with folders listed and CGI off.
TWebServerSettings NewUserSettings();

// The keys whose values differ between `a` and `b`, in key order.
std::vector<std::string> ChangedSettings(const TWebServerSettings& a, const TWebServerSettings& b);

// Sets `key` of `to` to its value in `from`.
void CopySetting(TWebServerSettings& to, const TWebServerSettings& from, const std::string& key);

// The value of `key` as the file would hold it ("1", "8080", "/srv/www").
// It includes the password hash: never log it, log SettingChangeText.
std::string SettingText(const TWebServerSettings& settings, const std::string& key);

// The change of `key` from `before` to `after` as the log tells it:
// "Key=value", except the password, which is "password set", "password
// changed" or "password removed". A hash in a log would let whoever reads
// the log try passwords against it offline.
std::string SettingChangeText(const TWebServerSettings& before, const TWebServerSettings& after,
                              const std::string& key);

// In plain words, each change from `before` to `after` that lets more
// people see more: the password removed, the server listening where it did
// not (every address, or an address besides this computer's own), hidden
// files served. `running`: the server runs now, and keeps its addresses
// until the next start. Empty when nothing widened.
std::vector<std::string> WideningWarnings(const TWebServerSettings& before, const TWebServerSettings& after,
                                          bool running);

// "Key=value" for each number or switch of the record whose value in `ini`
// is there but no number (so it reads as its default), in key order.
std::vector<std::string> SettingsNotNumbers(const TIniFile& ini, const std::string& section);

}  // namespace vt
