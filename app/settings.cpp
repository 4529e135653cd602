#include "app/settings.h"

#include "platform/ini_file.h"

namespace vt {

void TWebServerSettings::LoadSettings(const TIniFile& ini, const std::string& section) {
  const TWebServerSettings defaults;
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

void TWebServerSettings::SaveSettings(TIniFile& ini, const std::string& section) const {
  ini.WriteBool(section, "Active", Active);
  ini.WriteString(section, "PubDir", PubDir);
  ini.WriteInteger(section, "Port", Port);
  ini.WriteBool(section, "Throttle", Throttle);
  ini.WriteInteger(section, "ThrottleRate", ThrottleRate);
  ini.WriteBool(section, "LogToFile", LogToFile);
  ini.WriteString(section, "LogFormat", LogFormat);
  ini.WriteBool(section, "ExecEXEAsCGI", ExecEXEAsCGI);
  if (FormX >= 0) ini.WriteInteger(section, "FormX", FormX);
  if (FormY >= 0) ini.WriteInteger(section, "FormY", FormY);
  ini.WriteBool(section, "Minimized", Minimized);
  ini.WriteString(section, "ListenOn", ListenOn);
  ini.WriteBool(section, "ServeHiddenFiles", ServeHiddenFiles);
  ini.WriteString(section, "AuthUser", AuthUser);
  ini.WriteString(section, "AuthPasswordHash", AuthPasswordHash);
}

}  // namespace vt
