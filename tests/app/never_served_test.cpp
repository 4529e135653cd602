#include "app/never_served.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <functional>
#include <thread>

#include "app/request_path.h"
#include "support/temp_dir.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

// The settings file lies in the published folder, the access log outside it
// with a link in.
class NeverServedTest : public ::testing::Test {
 public:
  NeverServedTest()
      : root_(dir_.Path() + "/www"),
        settings_(dir_.WriteFile("www/vtWebServer.ini", "[WebServer]")),
        log_(dir_.WriteFile("webserver.log", "line")),
        files_({settings_, log_, dir_.Path() + "/not-there-yet.log"}) {
    dir_.WriteFile("www/other.ini", "[x]");
    fs::create_symlink(log_, root_ + "/log.txt");
    fs::create_hard_link(settings_, root_ + "/early-copy.txt");
  }

  TMapResult Map(std::string_view uri) {
    TMapRules rules;
    rules.NeverServedFiles = &files_;
    std::string path;
    return MapRequestPath(uri, root_, path, rules);
  }

  // Writes the settings anew, as a save by rename does.
  void SaveSettingsToNewInode() {
    const std::string temporary = dir_.WriteFile("www/vtWebServer.ini.new", "[WebServer]\nPort=8080");
    fs::rename(temporary, settings_);
  }

  static std::int64_t Now() { return static_cast<std::int64_t>(std::time(nullptr)); }

  test::TempDir dir_;
  const std::string root_;
  const std::string settings_;
  const std::string log_;
  TNeverServed files_;
};

// Changes made after the snapshot: each found file is refused (or served)
// at once, before the next refresh, and still after it.
TEST_F(NeverServedTest, ChangesBetweenTwoRefreshesAreCaught) {
  const struct {
    const char* what;
    std::function<void(NeverServedTest&)> change;
    const char* uri;
    TMapResult before_refresh;
    TMapResult after_refresh;
  } cases[] = {
      {"settings hard-linked a moment ago",
       [](NeverServedTest& t) { fs::create_hard_link(t.settings_, t.root_ + "/copy.txt"); }, "/copy.txt",
       mrNotFound, mrNotFound},
      {"settings saved to a new inode", [](NeverServedTest& t) { t.SaveSettingsToNewInode(); },
       "/vtWebServer.ini", mrNotFound, mrNotFound},
      {"new settings inode linked elsewhere",
       [](NeverServedTest& t) {
         t.SaveSettingsToNewInode();
         fs::create_hard_link(t.settings_, t.root_ + "/copy.txt");
       },
       "/copy.txt", mrNotFound, mrNotFound},
      {"access log moved, a new one opened: the name",
       [](NeverServedTest& t) {
         fs::rename(t.log_, t.root_ + "/old.log");
         t.dir_.WriteFile("webserver.log", "new");
       },
       "/log.txt", mrNotFound, mrNotFound},
      // Whatever name it has now, it holds the lines written so far.
      {"access log moved, a new one opened: the old file",
       [](NeverServedTest& t) {
         fs::rename(t.log_, t.root_ + "/old.log");
         t.dir_.WriteFile("webserver.log", "new");
       },
       "/old.log", mrNotFound, mrNotFound},
      // The save left the old inode behind under the link: the old
      // settings, password hash included, no name of the file leads to.
      {"an old hard link after a save by rename",
       [](NeverServedTest& t) {
         fs::create_hard_link(t.settings_, t.root_ + "/copy.txt");
         t.SaveSettingsToNewInode();
       },
       "/copy.txt", mrNotFound, mrNotFound},
      {"a named file that appears",
       [](NeverServedTest& t) {
         const std::string later = t.dir_.WriteFile("not-there-yet.log", "x");
         fs::create_symlink(later, t.root_ + "/later.txt");
       },
       "/later.txt", mrNotFound, mrNotFound},
      {"an unrelated file", [](NeverServedTest&) {}, "/other.ini", mrFound, mrFound},
  };
  for (const auto& c : cases) {
    NeverServedTest& fixture = *this;
    fs::remove_all(root_ + "/copy.txt");
    fs::remove_all(root_ + "/old.log");
    fs::remove_all(root_ + "/later.txt");
    fs::remove_all(dir_.Path() + "/not-there-yet.log");
    dir_.WriteFile("webserver.log", "line");
    files_.Refresh();
    c.change(fixture);
    EXPECT_EQ(c.before_refresh, Map(c.uri)) << c.what;
    files_.Refresh();
    EXPECT_EQ(c.after_refresh, Map(c.uri)) << c.what;
  }
}

// With every file older than the snapshot, the answer comes from the
// snapshot alone: each name and link of a named file is refused, nothing
// else is.
TEST_F(NeverServedTest, OldFilesAreJudgedByTheSnapshot) {
  files_.RefreshAsOf(Now() + 60);
  const struct {
    const char* uri;
    TMapResult expected;
  } cases[] = {
      {"/vtWebServer.ini", mrNotFound},
      {"/early-copy.txt", mrNotFound},
      {"/log.txt", mrNotFound},
      {"/other.ini", mrFound},
  };
  for (const auto& c : cases) EXPECT_EQ(c.expected, Map(c.uri)) << c.uri;
}

// Past the bound, the oldest former identities go, never a present one.
TEST_F(NeverServedTest, ManySavesKeepThePresentFilesAndTheLatestFormerOnes) {
  for (std::size_t i = 0; i < TNeverServed::kMaxIdentities + 8; ++i) {
    fs::remove_all(root_ + "/copy.txt");
    fs::create_hard_link(settings_, root_ + "/copy.txt");
    SaveSettingsToNewInode();
    files_.RefreshAsOf(Now() + 60);
  }
  EXPECT_EQ(mrNotFound, Map("/vtWebServer.ini"));
  EXPECT_EQ(mrNotFound, Map("/log.txt"));
  EXPECT_EQ(mrNotFound, Map("/copy.txt"));
  EXPECT_EQ(mrFound, Map("/other.ini"));
}

// A former file that no name leads to any more is let go: the system may
// give its inode number to a new file, which must not be refused for it.
TEST_F(NeverServedTest, AFormerFileWithoutNamesIsLetGo) {
  fs::remove(root_ + "/early-copy.txt");
  const int old_settings = ::open(settings_.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(old_settings, 0);
  files_.RefreshAsOf(Now() + 60);
  SaveSettingsToNewInode();
  files_.RefreshAsOf(Now() + 60);
  struct stat old_status {};
  ASSERT_EQ(0, ::fstat(old_settings, &old_status));
  ::close(old_settings);
  EXPECT_EQ(0u, old_status.st_nlink);
  EXPECT_FALSE(files_.Holds(old_status));
}

TEST_F(NeverServedTest, WithoutARefreshEveryFileIsCheckedByName) {
  EXPECT_EQ(mrNotFound, Map("/early-copy.txt"));
  EXPECT_EQ(mrFound, Map("/other.ini"));
}

// Readers racing refreshes never see half a snapshot.
TEST_F(NeverServedTest, ReadersDuringRefreshesSeeWholeSnapshots) {
  struct stat settings {};
  struct stat other {};
  ASSERT_EQ(0, ::stat(settings_.c_str(), &settings));
  ASSERT_EQ(0, ::stat((root_ + "/other.ini").c_str(), &other));
  std::atomic<bool> done{false};
  std::thread refresher([&] {
    for (int i = 0; i < 2000; ++i) files_.RefreshAsOf(Now() + 60);
    done = true;
  });
  int wrong = 0;
  while (!done) {
    if (!files_.Holds(settings) || files_.Holds(other)) ++wrong;
  }
  refresher.join();
  EXPECT_EQ(0, wrong);
}

}  // namespace
}  // namespace vt
