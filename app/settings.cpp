#include "app/settings.h"

#include <algorithm>

#include "app/listen_on.h"
#include "app/settings_environment.h"
#include "platform/ini_file.h"

namespace vt {

TWebServerSettings DefaultSettings() {
  TWebServerSettings defaults;
  defaults.PubDir = PublicShareDirectory();
  defaults.Port = DefaultPort();
  return defaults;
}

void TWebServerSettings::LoadSettings(const TIniFile& ini, const std::string& section) {
  ReadSettings(ini, section, DefaultSettings());
}

void TWebServerSettings::ReadSettings(const TIniFile& ini, const std::string& section,
                                      const TWebServerSettings& fallback) {
  // A copy: `fallback` may be this record.
  const TWebServerSettings defaults = fallback;
  Active = ini.ReadBool(section, "Active", defaults.Active);
  PubDir = ini.ReadString(section, "PubDir", defaults.PubDir);
  Port = ini.ReadInteger(section, "Port", defaults.Port);
  Throttle = ini.ReadBool(section, "Throttle", defaults.Throttle);
  ThrottleRate = ini.ReadInteger(section, "ThrottleRate", defaults.ThrottleRate);
  LogToFile = ini.ReadBool(section, "LogToFile", defaults.LogToFile);
  LogFormat = ini.ReadString(section, "LogFormat", defaults.LogFormat);
  ExecEXEAsCGI = ini.ReadBool(section, "ExecEXEAsCGI", defaults.ExecEXEAsCGI);
  Minimized = ini.ReadBool(section, "Minimized", defaults.Minimized);
  FormX = ini.ReadInteger(section, "FormX", defaults.FormX);
  FormY = ini.ReadInteger(section, "FormY", defaults.FormY);
  ListenOn = ini.ReadString(section, "ListenOn", defaults.ListenOn);
  ServeHiddenFiles = ini.ReadBool(section, "ServeHiddenFiles", defaults.ServeHiddenFiles);
  AuthUser = ini.ReadString(section, "AuthUser", defaults.AuthUser);
  AuthPasswordHash = ini.ReadString(section, "AuthPasswordHash", defaults.AuthPasswordHash);
}

std::vector<std::string> SettingsNotNumbers(const TIniFile& ini, const std::string& section) {
  std::vector<std::string> found;
  for (const char* key : {"Active", "Port", "Throttle", "ThrottleRate", "LogToFile", "ExecEXEAsCGI",
                          "Minimized", "FormX", "FormY", "ServeHiddenFiles"}) {
    if (!ini.ValueExists(section, key)) continue;
    const std::string value = ini.ReadString(section, key, std::string());
    std::int32_t number = 0;
    if (!TIniFile::ParseInteger(value, number)) found.push_back(std::string(key) + "=" + value);
  }
  return found;
}

std::string SettingText(const TWebServerSettings& settings, const std::string& key) {
  const auto flag = [](bool value) { return std::string(value ? "1" : "0"); };
  if (key == "Active") return flag(settings.Active);
  if (key == "PubDir") return settings.PubDir;
  if (key == "Port") return std::to_string(settings.Port);
  if (key == "Throttle") return flag(settings.Throttle);
  if (key == "ThrottleRate") return std::to_string(settings.ThrottleRate);
  if (key == "LogToFile") return flag(settings.LogToFile);
  if (key == "LogFormat") return settings.LogFormat;
  if (key == "ExecEXEAsCGI") return flag(settings.ExecEXEAsCGI);
  if (key == "Minimized") return flag(settings.Minimized);
  if (key == "FormX") return std::to_string(settings.FormX);
  if (key == "FormY") return std::to_string(settings.FormY);
  if (key == "ListenOn") return settings.ListenOn;
  if (key == "ServeHiddenFiles") return flag(settings.ServeHiddenFiles);
  if (key == "AuthUser") return settings.AuthUser;
  if (key == "AuthPasswordHash") return settings.AuthPasswordHash;
  return std::string();
}

std::string SettingChangeText(const TWebServerSettings& before, const TWebServerSettings& after,
                              const std::string& key) {
  if (key == "AuthPasswordHash") {
    if (after.AuthPasswordHash.empty()) return "password removed";
    return before.AuthPasswordHash.empty() ? "password set" : "password changed";
  }
  return key + "=" + SettingText(after, key);
}

namespace {

bool IsLoopbackText(const std::string& host) {
  TSocketAddress address;
  return ParseSocketAddress(host, 0, address) && address.IsLoopback();
}

// `after` reaches an address `before` did not, besides this computer's own.
bool ListenWidened(const std::string& before, const std::string& after) {
  const std::vector<std::string> was = ListenHostsOf(before);
  const std::vector<std::string> now = ListenHostsOf(after);
  if (was.empty()) return false;  // every address already
  if (now.empty()) return true;
  return std::any_of(now.begin(), now.end(), [&](const std::string& host) {
    return std::find(was.begin(), was.end(), host) == was.end() && !IsLoopbackText(host);
  });
}

}  // namespace

std::vector<std::string> WideningWarnings(const TWebServerSettings& before, const TWebServerSettings& after,
                                          bool running) {
  std::vector<std::string> warnings;
  if (!before.AuthPasswordHash.empty() && after.AuthPasswordHash.empty())
    warnings.emplace_back(
        "The password is removed: every visitor who reaches the server gets the published files without "
        "being asked for a user name or password.");
  if (ListenWidened(before.ListenOn, after.ListenOn)) {
    std::string audience = AudienceOf(after.ListenOn);
    if (audience[0] >= 'A' && audience[0] <= 'Z') audience[0] = static_cast<char>(audience[0] - 'A' + 'a');
    warnings.push_back("The server listens on " + ListenOnText(after.ListenOn) +
                       (running ? " from its next start on" : "") + " (was " + ListenOnText(before.ListenOn) +
                       "): " + audience + " can get the published files.");
  }
  if (!before.ServeHiddenFiles && after.ServeHiddenFiles)
    warnings.emplace_back(
        "Hidden files are served now: visitors can get files and folders whose names begin with \".\" "
        "(such as .git or .ssh) from the published folder.");
  return warnings;
}

void CopySetting(TWebServerSettings& to, const TWebServerSettings& from, const std::string& key) {
  if (key == "Active") to.Active = from.Active;
  if (key == "PubDir") to.PubDir = from.PubDir;
  if (key == "Port") to.Port = from.Port;
  if (key == "Throttle") to.Throttle = from.Throttle;
  if (key == "ThrottleRate") to.ThrottleRate = from.ThrottleRate;
  if (key == "LogToFile") to.LogToFile = from.LogToFile;
  if (key == "LogFormat") to.LogFormat = from.LogFormat;
  if (key == "ExecEXEAsCGI") to.ExecEXEAsCGI = from.ExecEXEAsCGI;
  if (key == "Minimized") to.Minimized = from.Minimized;
  if (key == "FormX") to.FormX = from.FormX;
  if (key == "FormY") to.FormY = from.FormY;
  if (key == "ListenOn") to.ListenOn = from.ListenOn;
  if (key == "ServeHiddenFiles") to.ServeHiddenFiles = from.ServeHiddenFiles;
  if (key == "AuthUser") to.AuthUser = from.AuthUser;
  if (key == "AuthPasswordHash") to.AuthPasswordHash = from.AuthPasswordHash;
}

std::vector<std::string> ChangedSettings(const TWebServerSettings& a, const TWebServerSettings& b) {
  std::vector<std::string> changed;
  for (const char* key : kSettingKeys) {
    if (SettingText(a, key) != SettingText(b, key)) changed.emplace_back(key);
  }
  return changed;
}

void TWebServerSettings::SaveSettings(TIniFile& ini, const std::string& section,
                                      const TWebServerSettings* on_file) const {
  const auto wanted = [&](const char* key) {
    return !on_file || !ini.ValueExists(section, key) ||
           SettingText(*this, key) != SettingText(*on_file, key);
  };
  if (wanted("Active")) ini.WriteBool(section, "Active", Active);
  if (wanted("PubDir")) ini.WriteString(section, "PubDir", PubDir);
  if (wanted("Port")) ini.WriteInteger(section, "Port", Port);
  if (wanted("Throttle")) ini.WriteBool(section, "Throttle", Throttle);
  if (wanted("ThrottleRate")) ini.WriteInteger(section, "ThrottleRate", ThrottleRate);
  if (wanted("LogToFile")) ini.WriteBool(section, "LogToFile", LogToFile);
  if (wanted("LogFormat")) ini.WriteString(section, "LogFormat", LogFormat);
  if (wanted("ExecEXEAsCGI")) ini.WriteBool(section, "ExecEXEAsCGI", ExecEXEAsCGI);
  if (FormX >= 0 && wanted("FormX")) ini.WriteInteger(section, "FormX", FormX);
  if (FormY >= 0 && wanted("FormY")) ini.WriteInteger(section, "FormY", FormY);
  if (wanted("Minimized")) ini.WriteBool(section, "Minimized", Minimized);
  if (wanted("ListenOn")) ini.WriteString(section, "ListenOn", ListenOn);
  if (wanted("ServeHiddenFiles")) ini.WriteBool(section, "ServeHiddenFiles", ServeHiddenFiles);
  if (wanted("AuthUser")) ini.WriteString(section, "AuthUser", AuthUser);
  if (wanted("AuthPasswordHash")) ini.WriteString(section, "AuthPasswordHash", AuthPasswordHash);
}

}  // namespace vt
