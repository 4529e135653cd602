#include "app/settings.h"

#include <algorithm>
#include <string_view>

#include "app/listen_on.h"
#include "app/settings_environment.h"
#include "platform/ini_file.h"

namespace vt {

const std::array<TSettingKey, 27> kSettingKeys = {{
    {"Active", &TWebServerSettings::Active},
    {"PubDir", &TWebServerSettings::PubDir},
    {"Port", &TWebServerSettings::Port},
    {"Throttle", &TWebServerSettings::Throttle},
    {"ThrottleRate", &TWebServerSettings::ThrottleRate},
    {"LogToFile", &TWebServerSettings::LogToFile},
    {"LogFormat", &TWebServerSettings::LogFormat},
    {"ExecEXEAsCGI", &TWebServerSettings::ExecEXEAsCGI},
    {"Minimized", &TWebServerSettings::Minimized},
    {"FormX", &TWebServerSettings::FormX},
    {"FormY", &TWebServerSettings::FormY},
    {"ListenOn", &TWebServerSettings::ListenOn},
    {"ServeHiddenFiles", &TWebServerSettings::ServeHiddenFiles},
    {"AuthUser", &TWebServerSettings::AuthUser},
    {"AuthPasswordHash", &TWebServerSettings::AuthPasswordHash},
    {"ListFolders", &TWebServerSettings::ListFolders},
    {"AllowUploads", &TWebServerSettings::AllowUploads},
    {"UploadFolder", &TWebServerSettings::UploadFolder},
    {"MaxUploadSize", &TWebServerSettings::MaxUploadSize},
    {"HTTPS", &TWebServerSettings::HTTPS},
    {"HTTPSPort", &TWebServerSettings::HTTPSPort},
    {"CertificateFile", &TWebServerSettings::CertificateFile},
    {"KeyFile", &TWebServerSettings::KeyFile},
    {"RedirectToHTTPS", &TWebServerSettings::RedirectToHTTPS},
    {"AllowPasswordOverHTTP", &TWebServerSettings::AllowPasswordOverHTTP},
    {"CGITimeLimit", &TWebServerSettings::CGITimeLimit},
    {"MaxCGIBody", &TWebServerSettings::MaxCGIBody},
}};

namespace {

// One function per kind of member, for std::visit.
template <class... F>
struct TByKind : F... {
  using F::operator()...;
};
template <class... F>
TByKind(F...) -> TByKind<F...>;

using TSwitch = bool TWebServerSettings::*;
using TCount = std::int32_t TWebServerSettings::*;
using TText = std::string TWebServerSettings::*;

const TSettingKey* FindKey(std::string_view name) {
  for (const TSettingKey& key : kSettingKeys)
    if (name == key.name) return &key;
  return nullptr;
}

}  // namespace

TWebServerSettings DefaultSettings() {
  TWebServerSettings defaults;
  defaults.PubDir = PublicShareDirectory();
  defaults.Port = DefaultPort();
  return defaults;
}

TWebServerSettings NewUserSettings() {
  TWebServerSettings settings = DefaultSettings();
  settings.ListFolders = true;
  settings.ExecEXEAsCGI = false;
  return settings;
}

void TWebServerSettings::LoadSettings(const TIniFile& ini, const std::string& section) {
  ReadSettings(ini, section, DefaultSettings());
}

void TWebServerSettings::ReadSettings(const TIniFile& ini, const std::string& section,
                                      const TWebServerSettings& fallback) {
  // A copy: `fallback` may be this record.
  const TWebServerSettings defaults = fallback;
  for (const TSettingKey& key : kSettingKeys) {
    std::visit(
        TByKind{[&](TSwitch member) { this->*member = ini.ReadBool(section, key.name, defaults.*member); },
                [&](TCount member) { this->*member = ini.ReadInteger(section, key.name, defaults.*member); },
                [&](TText member) { this->*member = ini.ReadString(section, key.name, defaults.*member); }},
        key.member);
  }
}

std::vector<std::string> SettingsNotNumbers(const TIniFile& ini, const std::string& section) {
  std::vector<std::string> found;
  for (const TSettingKey& key : kSettingKeys) {
    if (!key.IsNumber() || !ini.ValueExists(section, key.name)) continue;
    const std::string value = ini.ReadString(section, key.name, std::string());
    std::int32_t number = 0;
    if (!TIniFile::ParseInteger(value, number)) found.push_back(std::string(key.name) + "=" + value);
  }
  return found;
}

std::string SettingText(const TWebServerSettings& settings, const std::string& name) {
  const TSettingKey* key = FindKey(name);
  if (!key) return std::string();
  return std::visit(TByKind{[&](TSwitch member) { return std::string(settings.*member ? "1" : "0"); },
                            [&](TCount member) { return std::to_string(settings.*member); },
                            [&](TText member) { return settings.*member; }},
                    key->member);
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
  if (!before.ListFolders && after.ListFolders)
    warnings.emplace_back(
        "Folders are listed now: visitors see the name of every file in a folder without an index.html, "
        "and can download a whole folder at once.");
  if (!before.AllowUploads && after.AllowUploads)
    warnings.emplace_back(
        after.AuthPasswordHash.empty()
            ? "Uploads are allowed now, without a password: every visitor can store files on "
              "this computer."
            : "Uploads are allowed now: visitors who know the password can store files on this "
              "computer.");
  if (!before.ExecEXEAsCGI && after.ExecEXEAsCGI)
    warnings.emplace_back(
        "Programs are run now: a visitor's request for an .exe file of the published folder runs it as a CGI "
        "program.");
  if (!before.AllowPasswordOverHTTP && after.AllowPasswordOverHTTP && !after.AuthPasswordHash.empty())
    warnings.emplace_back(
        "The password is taken over plain HTTP from other computers now: anyone on the network can read it "
        "as it passes.");
  return warnings;
}

void CopySetting(TWebServerSettings& to, const TWebServerSettings& from, const std::string& name) {
  if (const TSettingKey* key = FindKey(name))
    std::visit([&](auto member) { to.*member = from.*member; }, key->member);
}

std::vector<std::string> ChangedSettings(const TWebServerSettings& a, const TWebServerSettings& b) {
  std::vector<std::string> changed;
  for (const TSettingKey& key : kSettingKeys) {
    if (SettingText(a, key.name) != SettingText(b, key.name)) changed.emplace_back(key.name);
  }
  return changed;
}

void TWebServerSettings::SaveSettings(TIniFile& ini, const std::string& section,
                                      const TWebServerSettings* on_file) const {
  const auto wanted = [&](const char* key) {
    return !on_file || !ini.ValueExists(section, key) ||
           SettingText(*this, key) != SettingText(*on_file, key);
  };
  for (const TSettingKey& key : kSettingKeys) {
    // A window position not set leaves an older one in the file.
    if (key.name == std::string_view("FormX") && FormX < 0) continue;
    if (key.name == std::string_view("FormY") && FormY < 0) continue;
    if (!wanted(key.name)) continue;
    std::visit(TByKind{[&](TSwitch member) { ini.WriteBool(section, key.name, this->*member); },
                       [&](TCount member) { ini.WriteInteger(section, key.name, this->*member); },
                       [&](TText member) { ini.WriteString(section, key.name, this->*member); }},
               key.member);
  }
}

}  // namespace vt
