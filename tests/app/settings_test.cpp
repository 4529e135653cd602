#include "app/settings.h"

#include <gtest/gtest.h>

#include <type_traits>
#include <variant>

#include "app/settings_environment.h"
#include "platform/ini_file.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace vt {
namespace {

TEST(Settings, MissingFileGivesTheDefaults) {
  test::TempDir dir;
  test::ScopedEnv home("HOME", dir.Path());
  test::ScopedEnv config("XDG_CONFIG_HOME", dir.File("config"));
  TIniFile ini(dir.File("vtWebServer.ini"));
  TWebServerSettings settings;
  settings.Port = 1234;
  settings.LoadSettings(ini, kSettingsSection);
  EXPECT_TRUE(settings.Active);
  EXPECT_EQ(dir.File("Public"), settings.PubDir);
  EXPECT_EQ(CanBindPrivilegedPorts() ? 80 : 8080, settings.Port);
  EXPECT_FALSE(settings.Throttle);
  EXPECT_EQ(0, settings.ThrottleRate);
  EXPECT_TRUE(settings.LogToFile);
  EXPECT_EQ("$date$ $time$ $response$ $size$ $method$ $uri$", settings.LogFormat);
  EXPECT_TRUE(settings.ExecEXEAsCGI);
  EXPECT_FALSE(settings.Minimized);
  EXPECT_EQ(-1, settings.FormX);
  EXPECT_EQ(-1, settings.FormY);
  EXPECT_EQ("all", settings.ListenOn);
  EXPECT_FALSE(settings.ServeHiddenFiles);
  EXPECT_EQ("", settings.AuthUser);
  EXPECT_EQ("", settings.AuthPasswordHash);
}

TEST(Settings, PublishedFolderDefaultsToThePublicShareFolder) {
  struct Case {
    const char* user_dirs;  // the user-dirs.dirs file; null: none
    const char* want;       // below HOME ("~" is HOME), or absolute
  } cases[] = {
      {nullptr, "~/Public"},
      {"XDG_PUBLICSHARE_DIR=\"$HOME/Shared files\"\n", "~/Shared files"},
      {"# comment\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\n  XDG_PUBLICSHARE_DIR=\"/srv/pub/\"\n", "/srv/pub"},
      {"XDG_PUBLICSHARE_DIR=\"$HOME/\"\n", "~/Public"},  // the home folder itself: not set
      {"XDG_PUBLICSHARE_DIR=\"$HOME\"\n", "~/Public"},
      {"XDG_PUBLICSHARE_DIR=\"relative\"\n", "~/Public"},  // no form the file may hold
      {"#XDG_PUBLICSHARE_DIR=\"/srv/x\"\n", "~/Public"},
      {"XDG_PUBLICSHARE_DIR=\"/a\"\nXDG_PUBLICSHARE_DIR=\"/b\"\n", "/b"},  // the last one wins
      {"XDG_PUBLICSHARE_DIR=/unquoted\n", "~/Public"},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    test::ScopedEnv home("HOME", dir.Path() + "/");
    test::ScopedEnv config("XDG_CONFIG_HOME", dir.File("config"));
    if (c.user_dirs) dir.WriteFile("config/user-dirs.dirs", c.user_dirs);
    std::string want = c.want;
    if (want[0] == '~') want = dir.Path() + want.substr(1);
    EXPECT_EQ(want, DefaultSettings().PubDir) << (c.user_dirs ? c.user_dirs : "(no file)");
    EXPECT_EQ(c.want, ShortenHomePath(want)) << "the hint writes the home folder as ~";
  }
}

// A save writes what the program changed and what the file lacks; whatever
// else the file holds stays as written, even a value that reads as another.
TEST(Settings, SavingOverTheFileKeepsWhatTheProgramDidNotChange) {
  struct Case {
    const char* file;    // the [WebServer] lines on disk
    const char* change;  // the key the program changes (empty: none)
    const char* key;     // the key looked at afterwards
    const char* want;    // its text in the file afterwards
  } cases[] = {
      {"Port=18306x\n", "", "Port", "18306x"},    // no number: left as the user wrote it
      {"Port=18306x\n", "Port", "Port", "9000"},  // until the program has a value of its own
      {"Port=0x50\n", "", "Port", "0x50"},        // the user's spelling stays
      {"Active=yes\n", "", "Active", "yes"},
      {"Active=yes\n", "Active", "Active", "0"},
      {"", "", "LogToFile", "1"},  // a missing key is written
      {"FormX=40\n", "", "FormX", "40"},
      {"PubDir=/srv/a\n", "PubDir", "PubDir", "/srv/changed"},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    const std::string path = dir.WriteFile("s.ini", std::string("[WebServer]\n") + c.file);
    TIniFile ini(path);
    TWebServerSettings on_file;
    on_file.LoadSettings(ini, kSettingsSection);
    TWebServerSettings now = on_file;
    now.Port = std::string(c.change) == "Port" ? 9000 : now.Port;
    now.Active = std::string(c.change) == "Active" ? false : now.Active;
    now.PubDir = std::string(c.change) == "PubDir" ? "/srv/changed" : now.PubDir;
    EXPECT_EQ(std::vector<std::string>(c.change[0] ? 1 : 0, c.change), ChangedSettings(on_file, now));
    now.SaveSettings(ini, kSettingsSection, &on_file);
    ini.UpdateFile();
    EXPECT_EQ(c.want, TIniFile(path).ReadString(kSettingsSection, c.key, "(missing)")) << c.file << c.change;
  }
}

TEST(Settings, RoundTripKeepsUnknownKeysAndOlderPositions) {
  test::TempDir dir;
  const std::string path = dir.WriteFile(
      "vtWebServer.ini", "; mine\n[webserver]\nformx=40\nFormY=30\nColour=blue\n[Other]\nx=1\n");
  TWebServerSettings saved;
  saved.Active = false;
  saved.PubDir = "/srv/my site";
  saved.Port = 8080;
  saved.Throttle = true;
  saved.ThrottleRate = 102400;
  saved.LogFormat = "$uri$ ";
  saved.Minimized = true;
  saved.FormX = -5;  // not written: the older value stays
  saved.FormY = 7;
  saved.ListenOn = "::1";
  saved.ServeHiddenFiles = true;
  saved.AuthUser = "ann";
  saved.AuthPasswordHash = "$argon2id$v=19$m=65536,t=2,p=1$c2FsdA$aGFzaA";
  {
    TIniFile ini(path);
    saved.SaveSettings(ini, kSettingsSection);
    ini.UpdateFile();
  }
  TIniFile ini(path);
  TWebServerSettings loaded;
  loaded.LoadSettings(ini, kSettingsSection);
  EXPECT_FALSE(loaded.Active);
  EXPECT_EQ("/srv/my site", loaded.PubDir);
  EXPECT_EQ(8080, loaded.Port);
  EXPECT_TRUE(loaded.Throttle);
  EXPECT_EQ(102400, loaded.ThrottleRate);
  EXPECT_EQ("$uri$ ", loaded.LogFormat);
  EXPECT_TRUE(loaded.Minimized);
  EXPECT_EQ(40, loaded.FormX);
  EXPECT_EQ(7, loaded.FormY);
  EXPECT_EQ("::1", loaded.ListenOn);
  EXPECT_TRUE(loaded.ServeHiddenFiles);
  EXPECT_EQ("ann", loaded.AuthUser);
  EXPECT_EQ(saved.AuthPasswordHash, loaded.AuthPasswordHash);
  EXPECT_EQ("blue", ini.ReadString("WebServer", "Colour", ""));
  EXPECT_EQ("1", ini.ReadString("Other", "x", ""));
  EXPECT_EQ(0u, test::ReadFileText(path).find("; mine\n"));
}

// Every key goes out and comes back as written, each under its own name: a
// value of one key read into another would show only here.
TEST(Settings, EveryKeyRoundTripsUnderItsOwnName) {
  test::TempDir dir;
  const std::string path = dir.File("vtWebServer.ini");
  TWebServerSettings saved;
  int n = 0;
  for (const TSettingKey& key : kSettingKeys) {
    ++n;
    std::visit(
        [&](auto member) {
          using TValue = std::remove_cvref_t<decltype(saved.*member)>;
          if constexpr (std::is_same_v<TValue, bool>) {
            saved.*member = !(saved.*member);
          } else if constexpr (std::is_same_v<TValue, std::int32_t>) {
            saved.*member = 1000 + n;
          } else {
            saved.*member = std::string("text ") + key.name;
          }
        },
        key.member);
  }
  {
    TIniFile ini(path);
    saved.SaveSettings(ini, kSettingsSection);
    ini.UpdateFile();
  }
  TIniFile ini(path);
  TWebServerSettings loaded;
  loaded.LoadSettings(ini, kSettingsSection);
  EXPECT_EQ(std::vector<std::string>(), ChangedSettings(saved, loaded));
  for (const TSettingKey& key : kSettingKeys) {
    EXPECT_TRUE(ini.ValueExists(kSettingsSection, key.name)) << key.name;
    TWebServerSettings copy;
    CopySetting(copy, saved, key.name);
    EXPECT_EQ(std::vector<std::string>{key.name}, ChangedSettings(TWebServerSettings(), copy))
        << "CopySetting copies " << key.name << " alone";
  }
}

TEST(Settings, ValuesThatAreNoNumbersReadAsDefaults) {
  test::TempDir dir;
  const std::string path =
      dir.WriteFile("s.ini", "[WebServer]\nPort=eighty\nActive=yes\nThrottleRate=0x400\n");
  TIniFile ini(path);
  TWebServerSettings settings;
  settings.LoadSettings(ini, kSettingsSection);
  EXPECT_EQ(80, settings.Port);
  EXPECT_TRUE(settings.Active);
  EXPECT_EQ(1024, settings.ThrottleRate);
}

// A change that shows more to more people is said in words of its own, and
// only such a change.
TEST(Settings, ChangesThatWidenWhoSeesWhatAreWarnedOf) {
  struct Case {
    const char* why;
    const char* listen_before;
    const char* listen_after;
    const char* hash_before;
    const char* hash_after;
    bool hidden_before;
    bool hidden_after;
    bool running;
    const char* want;  // the warnings, joined by "|"
  } cases[] = {
      {"nothing changed", "local", "local", "h", "h", false, false, false, ""},
      {"the password removed", "local", "local", "h", "", false, false, false,
       "The password is removed: every visitor who reaches the server gets the published files without being "
       "asked for a user name or password."},
      {"a password set", "local", "local", "", "h", false, false, false, ""},
      {"from this computer to every address", "local", "all", "", "", false, false, false,
       "The server listens on every address (was this computer only): anyone who can reach this computer can "
       "get the published files."},
      {"while running: from the next start on", "127.0.0.1", "", "", "", false, false, true,
       "The server listens on every address from its next start on (was 127.0.0.1 only): anyone who can "
       "reach this computer can get the published files."},
      {"from loopback to a network address", "127.0.0.1", "192.0.2.7", "", "", false, false, false,
       "The server listens on 192.0.2.7 only (was 127.0.0.1 only): anyone who can reach 192.0.2.7 can get "
       "the published files."},
      {"from one loopback address to both", "127.0.0.1", "local", "", "", false, false, false, ""},
      {"narrowed to this computer", "all", "local", "", "", false, false, false, ""},
      {"hidden files on", "all", "all", "", "", false, true, false,
       "Hidden files are served now: visitors can get files and folders whose names begin with \".\" (such "
       "as .git or .ssh) from the published folder."},
  };
  for (const Case& c : cases) {
    TWebServerSettings before;
    before.ExecEXEAsCGI = true;  // as in either state of the tables' rows
    before.ListenOn = c.listen_before;
    before.AuthPasswordHash = c.hash_before;
    before.ServeHiddenFiles = c.hidden_before;
    TWebServerSettings after;
    after.ListenOn = c.listen_after;
    after.AuthPasswordHash = c.hash_after;
    after.ServeHiddenFiles = c.hidden_after;
    after.ExecEXEAsCGI = true;
    std::string joined;
    for (const std::string& warning : WideningWarnings(before, after, c.running))
      joined += (joined.empty() ? "" : "|") + warning;
    EXPECT_EQ(c.want, joined) << c.why;
  }
}

// The switches that show more, or run more, are told when turned on, and
// only then.
TEST(Settings, SwitchesThatWidenAreWarnedOfWhenTurnedOn) {
  struct Case {
    bool TWebServerSettings::*member;
    const char* password;  // the hash afterwards
    const char* want_start;
  } cases[] = {
      {&TWebServerSettings::ListFolders, "", "Folders are listed now"},
      {&TWebServerSettings::AllowUploads, "", "Uploads are allowed now, without a password"},
      {&TWebServerSettings::AllowUploads, "h", "Uploads are allowed now: visitors who know the password"},
      {&TWebServerSettings::ExecEXEAsCGI, "", "Programs are run now"},
      {&TWebServerSettings::AllowPasswordOverHTTP, "h", "The password is taken over plain HTTP"},
      {&TWebServerSettings::AllowPasswordOverHTTP, "", nullptr},  // no password to read
  };
  for (const Case& c : cases) {
    TWebServerSettings off;
    off.*c.member = false;
    off.AuthPasswordHash = c.password;
    TWebServerSettings on = off;
    on.*c.member = true;
    const std::vector<std::string> warned = WideningWarnings(off, on, false);
    if (!c.want_start) {
      EXPECT_TRUE(warned.empty());
      continue;
    }
    ASSERT_EQ(1u, warned.size()) << c.want_start;
    EXPECT_EQ(0u, warned[0].find(c.want_start)) << warned[0];
    EXPECT_TRUE(WideningWarnings(on, off, false).empty()) << "turned off: " << c.want_start;
  }
}

}  // namespace
}  // namespace vt
