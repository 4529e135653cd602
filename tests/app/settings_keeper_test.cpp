#include "app/settings_keeper.h"

#include <sys/inotify.h>

#include <gtest/gtest.h>

#include "platform/ini_file.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace vt {
namespace {

constexpr const char* kHash = "$argon2id$v=19$m=65536,t=2,p=1$c2FsdA$aGFzaA";

// The file as the program's own save leaves it, with a password.
std::string SavedFile() {
  return std::string(
             "[WebServer]\nActive=1\nPubDir=/srv/site\nPort=8123\nListenOn=local\nServeHiddenFiles=0\n"
             "AuthUser=ann\nAuthPasswordHash=") +
         kHash + "\n";
}

class SettingsKeeperTest : public ::testing::Test {
 protected:
  test::TempDir dir_;
  test::ScopedEnv home_{"HOME", dir_.Path()};
  test::ScopedEnv config_{"XDG_CONFIG_HOME", dir_.Path()};
  TSettingsKeeper keeper_;
  std::string reported_;

  TWebServerSettings OpenWith(const std::string& text) {
    dir_.WriteFile(kSettingsFileName, text);
    keeper_.OnError = [this](const std::string& message) { reported_ += message + "\n"; };
    return keeper_.Open(TRunOptions());
  }
};

// A file read again changes only what it says: whatever it lacks, or holds
// no number for, keeps the value in use, so a file caught half written
// neither drops the password nor publishes the default folder.
TEST_F(SettingsKeeperTest, AReloadTakesOnlyTheKeysTheFileHolds) {
  struct Case {
    const char* why;
    std::string file;     // the file as read again
    const char* pub_dir;  // the settings afterwards
    std::int32_t port;
    const char* listen_on;
    bool password;     // still the password set at the start
    const char* list;  // the changes as logged
  } cases[] = {
      {"only the section line", "[WebServer]\n", "/srv/site", 8123, "local", true, ""},
      {"the first half of a new file", "[WebServer]\nActive=1\nPubDir=/srv/other\nPo", "/srv/other", 8123,
       "local", true, "PubDir=/srv/other"},
      {"a present key changes, even on the last line without its end", "[WebServer]\nPort=80", "/srv/site",
       80, "local", true, "Port=80"},
      {"an explicit empty hash turns the password off", "[WebServer]\nAuthPasswordHash=\n", "/srv/site", 8123,
       "local", false, "password removed"},
      {"a new hash is told in words, never shown",
       "[WebServer]\nAuthPasswordHash=$argon2id$v=19$m=65536,t=2,p=1$b3RoZXI$eA\n", "/srv/site", 8123,
       "local", false, "password changed"},
      {"a value that is no number keeps the one in use", "[WebServer]\nPort=eighty\n", "/srv/site", 8123,
       "local", true, ""},
      {"no section: a file between an editor's steps", "", "/srv/site", 8123, "local", true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const TWebServerSettings current = OpenWith(SavedFile());
    ASSERT_EQ(kHash, current.AuthPasswordHash);
    dir_.WriteFile(kSettingsFileName, c.file);
    std::string list;
    const TWebServerSettings after = keeper_.Reload(false, current, TRunOptions(), list).value_or(current);
    EXPECT_EQ(c.pub_dir, after.PubDir);
    EXPECT_EQ(c.port, after.Port);
    EXPECT_EQ(c.listen_on, after.ListenOn);
    EXPECT_EQ(c.password, after.AuthPasswordHash == kHash);
    EXPECT_EQ("ann", after.AuthUser);
    EXPECT_TRUE(after.Active);
    EXPECT_EQ(c.list, list);
    EXPECT_EQ(std::string::npos, list.find("$argon2id$")) << "a hash in the log";
  }
}

// After a reload of a file that lacked keys, the program's save writes them
// again, and the file reads back as the settings in use.
TEST_F(SettingsKeeperTest, ASaveAfterAPartialReloadWritesTheFileWhole) {
  const TWebServerSettings current = OpenWith(SavedFile());
  dir_.WriteFile(kSettingsFileName, "[WebServer]\nPubDir=/srv/other\n");
  std::string list;
  const std::optional<TWebServerSettings> after = keeper_.Reload(false, current, TRunOptions(), list);
  ASSERT_TRUE(after);
  ASSERT_TRUE(keeper_.Save(*after, TRunOptions())) << reported_;

  TIniFile file(dir_.File(kSettingsFileName));
  EXPECT_EQ(kHash, file.ReadString(kSettingsSection, "AuthPasswordHash", "(missing)"));
  EXPECT_EQ("8123", file.ReadString(kSettingsSection, "Port", "(missing)"));
  TSettingsKeeper again;
  const TWebServerSettings reopened = again.Open(TRunOptions());
  EXPECT_TRUE(ChangedSettings(*after, reopened).empty());
}

// A new user (no file yet) gets folders listed and no program run; a file
// that lacks those keys keeps what its user had before they existed.
TEST(SettingsNewUser, OnlyAMissingFileGivesTheNewUserDefaults) {
  struct Case {
    const char* why;
    const char* file;  // null: no settings file
    bool want_new_user;
    bool want_list;
    bool want_cgi;
  } cases[] = {
      {"no file", nullptr, true, true, false},
      {"a file without the keys", "[WebServer]\nPort=8123\n", false, false, true},
      {"a file that says", "[WebServer]\nListFolders=1\nExecEXEAsCGI=0\n", false, true, false},
      {"an empty file", "", false, false, true},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    test::ScopedEnv home("HOME", dir.Path());
    test::ScopedEnv config("XDG_CONFIG_HOME", dir.Path());
    if (c.file) dir.WriteFile(kSettingsFileName, c.file);
    TSettingsKeeper keeper;
    const TWebServerSettings opened = keeper.Open(TRunOptions());
    EXPECT_EQ(c.want_new_user, keeper.NewUser()) << c.why;
    EXPECT_EQ(c.want_list, opened.ListFolders) << c.why;
    EXPECT_EQ(c.want_cgi, opened.ExecEXEAsCGI) << c.why;
  }
}

// The first read of the file still fills what it lacks with the defaults.
TEST_F(SettingsKeeperTest, TheFirstReadGivesDefaultsForMissingKeys) {
  const TWebServerSettings opened = OpenWith("[WebServer]\nPort=8123\n");
  EXPECT_EQ(dir_.File("Public"), opened.PubDir);
  EXPECT_EQ(8123, opened.Port);
  EXPECT_EQ("all", opened.ListenOn);
  EXPECT_EQ("", opened.AuthPasswordHash);
}

TEST(SettingsWatch, OnlyAFinishedFileIsReadAgain) {
  struct Case {
    std::uint32_t mask;
    const char* name;
    bool read;
    const char* why;
  } cases[] = {
      {IN_CLOSE_WRITE, "vtWebServer.ini", true, "written and closed"},
      {IN_MOVED_TO, "vtWebServer.ini", true, "an editor's copy renamed into place"},
      {IN_CREATE, "vtWebServer.ini", false, "created: nothing written yet"},
      {IN_MODIFY, "vtWebServer.ini", false, "a write still under way"},
      {IN_CLOSE_NOWRITE, "vtWebServer.ini", false, "only read"},
      {IN_MOVED_FROM, "vtWebServer.ini", false, "moved away"},
      {IN_DELETE, "vtWebServer.ini", false, "deleted: the settings in use stay"},
      {IN_CLOSE_WRITE, "vtWebServer.ini.swp", false, "another file"},
      {IN_MOVED_TO | IN_ISDIR, "vtWebServer.ini", false, "a folder of that name"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.read, FinishedSettingsEvent(c.mask, c.name, "vtWebServer.ini")) << c.why;
}

}  // namespace
}  // namespace vt
