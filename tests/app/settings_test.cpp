#include "app/settings.h"

#include <gtest/gtest.h>

#include "platform/ini_file.h"
#include "support/temp_dir.h"

namespace vt {
namespace {

TEST(Settings, MissingFileGivesTheDefaults) {
  test::TempDir dir;
  TIniFile ini(dir.File("vtWebServer.ini"));
  TWebServerSettings settings;
  settings.Port = 1234;
  settings.LoadSettings(ini, kSettingsSection);
  EXPECT_TRUE(settings.Active);
  EXPECT_EQ("/var/www", settings.PubDir);
  EXPECT_EQ(80, settings.Port);
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

TEST(Settings, RoundTripKeepsUnknownKeysAndOlderPositions) {
  test::TempDir dir;
  const std::string path = dir.WriteFile("vtWebServer.ini",
                                         "; mine\n[webserver]\nformx=40\nFormY=30\nColour=blue\n[Other]\nx=1\n");
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

TEST(Settings, ValuesThatAreNoNumbersReadAsDefaults) {
  test::TempDir dir;
  const std::string path = dir.WriteFile("s.ini", "[WebServer]\nPort=eighty\nActive=yes\nThrottleRate=0x400\n");
  TIniFile ini(path);
  TWebServerSettings settings;
  settings.LoadSettings(ini, kSettingsSection);
  EXPECT_EQ(80, settings.Port);
  EXPECT_TRUE(settings.Active);
  EXPECT_EQ(1024, settings.ThrottleRate);
}

}  // namespace
}  // namespace vt
