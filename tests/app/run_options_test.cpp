#include "app/run_options.h"

#include <gtest/gtest.h>

#include "app/settings_keeper.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

// The tables name only the options a row sets (designated initialisers);
// the others keep their defaults, which is the point.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace vt {
namespace {

constexpr const char* kFile = "/home/ann/.config/vtWebServer.ini";
constexpr const char* kHash = "$argon2id$v=19$m=65536,t=2,p=1$c2FsdA$aGFzaA";

TWebServerSettings FileWith(bool password, const std::string& user, bool limit) {
  TWebServerSettings file;
  file.PubDir = "/home/ann/Public";
  file.Port = 8080;
  if (password) file.AuthPasswordHash = kHash;
  file.AuthUser = user;
  file.Throttle = limit;
  file.ThrottleRate = 4096;
  return file;
}

// The start lines of a run: what the command line set, and the password and
// send limit the file brings or the command line dropped.
TEST(RunOptions, TheStartLinesSayWhatAppliesAndWhereItCameFrom) {
  const std::string file = std::string("the settings file ") + kFile;
  struct Case {
    const char* why;
    TWebServerSettings in_file;
    TRunOptions run;
    std::vector<std::string> lines;
  } cases[] = {
      {"nothing given, nothing to say", FileWith(false, "", false), {}, {}},
      {"a limit switched on without a rate is none",
       [] {
         TWebServerSettings f = FileWith(false, "", true);
         f.ThrottleRate = 0;
         return f;
       }(),
       {},
       {}},
      {"a one-off share that inherits both",
       FileWith(true, "ann", true),
       {.PubDir = "/srv/film", .Port = 8765},
       {"For this run only (command line, not saved): folder /srv/film, port 8765",
        "Password: required (user ann), from " + file + "; --no-password drops it for this run",
        "Send limit: 4096 bytes a second per connection, from " + file +
            "; --no-limit drops it for this run"}},
      {"a password for any user name",
       FileWith(true, "", false),
       {},
       {"Password: required (any user name), from " + file + "; --no-password drops it for this run"}},
      {"both dropped",
       FileWith(true, "ann", true),
       {.Port = 8765, .NoPassword = true, .NoLimit = true},
       {"For this run only (command line, not saved): port 8765",
        "Password: none for this run (--no-password); " + file + " keeps its password",
        "Send limit: none for this run (--no-limit); " + file +
            " keeps its limit of 4096 bytes a second per connection"}},
      {"dropped where the file sets none",
       FileWith(false, "ann", false),
       {.NoPassword = true, .NoLimit = true},
       {"Password: none (--no-password; " + file + " sets none either)",
        "Send limit: none (--no-limit; " + file + " sets none either)"}},
      {"where it listens",
       FileWith(false, "", false),
       {.ListenOn = "local"},
       {"For this run only (command line, not saved): listening on this computer only"}},
  };
  for (const Case& c : cases) {
    const TWebServerSettings in_use = WithRunOptions(c.in_file, c.run);
    EXPECT_EQ(c.lines, RunSettingsLines(c.in_file, in_use, c.run, kFile)) << c.why;
  }
}

// Each option owns one key: laid over the file's value, kept out of a
// save, given back when the user sets the key.
TEST(RunOptions, EachOptionOwnsOneKey) {
  struct Case {
    TRunOptions run;
    const char* key;
  } cases[] = {
      {{.PubDir = "/srv/film"}, "PubDir"}, {{.Port = 8765}, "Port"},
      {{.ListenOn = "local"}, "ListenOn"}, {{.NoPassword = true}, "AuthPasswordHash"},
      {{.NoLimit = true}, "Throttle"},
  };
  const TWebServerSettings file = FileWith(true, "ann", true);
  for (Case c : cases) {
    const TWebServerSettings in_use = WithRunOptions(file, c.run);
    EXPECT_EQ(std::vector<std::string>{c.key}, ChangedSettings(file, in_use)) << c.key;
    for (const TSettingKey& key : kSettingKeys)
      EXPECT_EQ(std::string(key.name) == c.key, c.run.Owns(key.name)) << key.name;
    TWebServerSettings saved = in_use;
    saved.Active = false;  // a change of the run's own
    saved = WithoutRunOptions(saved, file, c.run);
    EXPECT_EQ(std::vector<std::string>{"Active"}, ChangedSettings(file, saved)) << c.key;
    c.run.Forget(c.key);
    EXPECT_FALSE(c.run.Any()) << c.key;
  }
  EXPECT_TRUE(TRunOptions{.ListenOn = "all"}.AsksToServe());
  EXPECT_FALSE((TRunOptions{.NoPassword = true, .NoLimit = true}.AsksToServe()))
      << "they only drop something";
}

// Through the settings file: a run without a password never saves that, and
// the file's own password, changed meanwhile, is taken in but not applied.
TEST(RunOptions, TheFileKeepsItsPasswordAndLimitThroughARunWithout) {
  test::TempDir dir;
  test::ScopedEnv config{"XDG_CONFIG_HOME", dir.Path()};
  dir.WriteFile(kSettingsFileName, std::string("[WebServer]\nPort=8123\nThrottle=1\nThrottleRate=100\n"
                                               "AuthUser=ann\nAuthPasswordHash=") +
                                       kHash + "\n");
  const TRunOptions run{.NoPassword = true, .NoLimit = true};
  TSettingsKeeper keeper;
  TWebServerSettings settings = keeper.Open(run);
  EXPECT_EQ("", settings.AuthPasswordHash);
  EXPECT_FALSE(settings.Throttle);
  settings.Port = 8124;
  ASSERT_TRUE(keeper.Save(settings, run));
  std::string text = test::ReadFileText(dir.File(kSettingsFileName));
  EXPECT_NE(std::string::npos, text.find(std::string("AuthPasswordHash=") + kHash + "\n")) << text;
  EXPECT_NE(std::string::npos, text.find("Throttle=1\n")) << text;
  EXPECT_NE(std::string::npos, text.find("Port=8124\n")) << text;

  dir.WriteFile(kSettingsFileName,
                "[WebServer]\nPort=8124\nThrottle=1\nThrottleRate=200\nAuthPasswordHash=\n");
  std::string list;
  const std::optional<TWebServerSettings> reloaded = keeper.Reload(false, settings, run, list);
  ASSERT_TRUE(reloaded);
  EXPECT_EQ("ThrottleRate=200", list) << "the password's removal is the run's already";
  EXPECT_FALSE(reloaded->Throttle);
  EXPECT_EQ("", keeper.FileSettings().AuthPasswordHash);
}

}  // namespace
}  // namespace vt
