#include "app/request_path.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include "app/never_served.h"
#include "support/temp_dir.h"

namespace vt {
namespace {

class MapRequestPathTest : public ::testing::Test {
 protected:
  MapRequestPathTest() {
    root_ = dir_.Path() + "/www";
    dir_.WriteFile("www/index.html", "root");
    dir_.WriteFile("www/index.htm", "root htm");
    dir_.WriteFile("www/secret.txt", "inside");
    dir_.WriteFile("www/a/c", "a/c");
    dir_.WriteFile("www/page.html", "page");
    dir_.WriteFile("www/what?.txt", "what");
    dir_.WriteFile("www/docs/default.html", "docs");
    dir_.WriteFile("www/htm-only/index.htm", "htm");
    std::filesystem::create_directories(root_ + "/empty");
    dir_.WriteFile("secret.txt", "outside");
  }

  TMapResult Map(std::string_view uri) { return MapRequestPath(uri, root_, path_); }

  test::TempDir dir_;
  std::string root_;
  std::string path_;
};

TEST_F(MapRequestPathTest, DirectoriesGetTheirDefaultDocumentInOrder) {
  EXPECT_EQ(mrFound, Map("/"));
  EXPECT_EQ(root_ + "/index.html", path_);
  EXPECT_EQ(mrFound, Map(""));
  EXPECT_EQ(root_ + "/index.html", path_);
  EXPECT_EQ(mrFound, Map("/htm-only/"));
  EXPECT_EQ(root_ + "/htm-only/index.htm", path_);
  // A directory named without its trailing separator.
  EXPECT_EQ(mrFound, Map("/docs"));
  EXPECT_EQ(root_ + "/docs/default.html", path_);
  EXPECT_EQ(mrNotFound, Map("/empty/"));
  EXPECT_EQ(root_ + "/empty/", path_);
  EXPECT_EQ(mrNotFound, Map("/empty"));
  EXPECT_EQ(mrNotFound, Map("/missing.html"));
}

TEST_F(MapRequestPathTest, ResolvesParentSegmentsInsideThePath) {
  const struct {
    const char* uri;
    const char* file;
  } cases[] = {
      {"/a/b/../c", "/a/c"},
      {"\\a\\b\\..\\c", "/a/c"},  // backslashes separate too
      {"/a/b\\..\\c", "/a/c"},
      {"/x/../../secret.txt", "/secret.txt"},  // climbs no higher than the root
      {"/..", "/index.html"},
      {"/./page.html", "/page.html"},
      {"/what?.txt", "/what?.txt"},  // the query is no longer part of the path
      {"/what?.txt/../page.html", "/page.html"},
      {" \t/page.html\t ", "/page.html"},  // blanks and tabs around the path
  };
  for (const auto& c : cases) {
    EXPECT_EQ(mrFound, Map(c.uri)) << c.uri;
    EXPECT_EQ(root_ + c.file, path_) << c.uri;
  }
}

TEST_F(MapRequestPathTest, RefusesPathsThatCouldLeaveTheDirectory) {
  for (std::string_view uri : {
           std::string_view("C:/boot.ini"),
           std::string_view("c:\\boot.ini"),
           std::string_view("//server/share"),
           std::string_view("\\\\server\\share"),
           std::string_view("../secret.txt"),
           std::string_view("..\\secret.txt"),
           std::string_view("x/../../secret.txt"),
           std::string_view("/a//../../b"),
           std::string_view("/a/..//../secret.txt"),
           std::string_view(".."),
           std::string_view("CON"),
           std::string_view("aux"),
           std::string_view("COM1"),
           std::string_view(" com2\t"),
           std::string_view("/index.html\0.txt", 16),
       }) {
    EXPECT_EQ(mrInvalid, Map(uri)) << uri;
    EXPECT_EQ("", path_);
  }
}

TEST_F(MapRequestPathTest, NeverAnswersWithAFileOutsideTheDirectory) {
  // Combinations of separators, dots and climbs: whatever is found lies below the root.
  const char* pieces[] = {"..", ".", "", "a", "www", "secret.txt", "\\", "%2e%2e", "..."};
  for (const char* p1 : pieces) {
    for (const char* p2 : pieces) {
      for (const char* p3 : pieces) {
        for (const char* sep : {"/", "\\"}) {
          const std::string uri = std::string(sep) + p1 + sep + p2 + sep + p3 + sep + "secret.txt";
          if (Map(uri) == mrFound) {
            EXPECT_EQ(0u, path_.rfind(root_ + "/", 0)) << uri << " -> " << path_;
            EXPECT_NE(dir_.Path() + "/secret.txt", path_) << uri;
          }
        }
      }
    }
  }
}

// Hidden names, however the path spells them, are not there unless hidden
// files are served; the files never served are not there whatever leads to
// them.
TEST_F(MapRequestPathTest, HiddenNamesAndProtectedFiles) {
  dir_.WriteFile("www/.git/config", "[core]");
  dir_.WriteFile("www/a/.env", "KEY=1");
  dir_.WriteFile("www/.ssh/id_rsa", "key");
  dir_.WriteFile("www/.well/index.html", "hidden index");
  const struct {
    const char* uri;   // decoded, as the request parser hands it over
    const char* file;  // served when hidden files are; empty: never found
  } cases[] = {
      {"/.git/config", "/.git/config"},
      {"\\.git\\config", "/.git/config"},
      {"/a/.env", "/a/.env"},
      {"/a/./.env", "/a/.env"},
      {"/x/../a/.env", "/a/.env"},
      {"/.ssh/id_rsa", "/.ssh/id_rsa"},
      {"/.well/", "/.well/index.html"},
      {"/.well", "/.well/index.html"},
      {"/...", ""},
      {"/.git/../page.html", "/page.html"},  // resolved before the check: nothing hidden is reached
  };
  for (const auto& c : cases) {
    const bool reaches_hidden = std::string(c.file).find("/.") != std::string::npos;
    EXPECT_EQ(reaches_hidden || !*c.file ? mrNotFound : mrFound, Map(c.uri)) << c.uri;
    TMapRules serve_hidden;
    serve_hidden.ServeHidden = true;
    EXPECT_EQ(*c.file ? mrFound : mrNotFound, MapRequestPath(c.uri, root_, path_, serve_hidden)) << c.uri;
    if (*c.file) {
      EXPECT_EQ(root_ + c.file, path_) << c.uri;
    }
  }

  const std::string settings = dir_.WriteFile("www/vtWebServer.ini", "[WebServer]");
  const std::string log = dir_.WriteFile("webserver.log", "line");
  std::filesystem::create_symlink(log, root_ + "/log.txt");
  std::filesystem::create_hard_link(settings, root_ + "/copy.txt");
  dir_.WriteFile("www/other.ini", "[x]");
  TMapRules rules;
  rules.NeverServed = {settings, log, dir_.Path() + "/not-there-yet.log"};
  for (const char* uri : {"/vtWebServer.ini", "/log.txt", "/copy.txt", "/./copy.txt"})
    EXPECT_EQ(mrNotFound, MapRequestPath(uri, root_, path_, rules)) << uri;
  EXPECT_EQ(mrFound, MapRequestPath("/other.ini", root_, path_, rules));
  EXPECT_EQ(mrFound, MapRequestPath("/copy.txt", root_, path_)) << "only the named files are protected";
}

// The file opened for an answer is judged by what it is, not by the name
// that led to it: the name may have been swapped for a link since the
// mapping looked at it.
class OpenedFileTest : public ::testing::Test {
 protected:
  OpenedFileTest()
      : root_(dir_.Path() + "/www"),
        settings_(dir_.WriteFile("config/vtWebServer.ini", "[WebServer]\nAuthPasswordHash=x")),
        never_served_({settings_}) {
    namespace fs = std::filesystem;
    dir_.WriteFile("www/plain.txt", "plain");
    dir_.WriteFile("www/.env", "KEY=1");
    dir_.WriteFile("www/.git/config", "[core]");
    dir_.WriteFile("www/.well/deep/file.txt", "deep");
    dir_.WriteFile("outside/.profile", "outside");
    fs::create_directories(root_ + "/folder");
    fs::create_symlink(".env", root_ + "/envlink.txt");
    fs::create_symlink(".git", root_ + "/gitdir");
    fs::create_symlink(".well/deep", root_ + "/deeplink");
    fs::create_symlink("plain.txt", root_ + "/plainlink.txt");
    fs::create_symlink(settings_, root_ + "/race.txt");
    fs::create_symlink("../outside/.profile", root_ + "/out.txt");
    // A hard link made before a save by rename keeps the old settings.
    fs::create_hard_link(settings_, root_ + "/old.ini");
    never_served_.Refresh();
    fs::rename(dir_.WriteFile("config/vtWebServer.ini.new", "[WebServer]"), settings_);
    never_served_.Refresh();
  }

  bool MayServe(const std::string& name, bool serve_hidden) {
    const std::string path = root_ + "/" + name;
    const int handle = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(handle, 0) << name;
    struct stat opened {};
    EXPECT_EQ(0, ::fstat(handle, &opened)) << name;
    TMapRules rules;
    rules.ServeHidden = serve_hidden;
    rules.NeverServedFiles = &never_served_;
    const bool may = MayServeOpenedFile(handle, opened, path, root_, rules);
    ::close(handle);
    return may;
  }

  test::TempDir dir_;
  const std::string root_;
  const std::string settings_;
  TNeverServed never_served_;
};

TEST_F(OpenedFileTest, JudgesWhatTheDescriptorIs) {
  const struct {
    const char* name;  // opened below the published directory
    bool served;       // with hidden files not served (the default)
    bool served_with_hidden;
    const char* why;
  } cases[] = {
      {"plain.txt", true, true, "a plain file"},
      {"plainlink.txt", true, true, "a link to a plain file inside"},
      {"envlink.txt", false, true, "a link to a hidden file"},
      {"gitdir/config", false, true, "a hidden folder through a link"},
      {"deeplink/file.txt", false, true, "a link into a hidden folder"},
      {"race.txt", false, false, "a link to the settings file"},
      {"old.ini", false, false, "an old hard link after a save by rename"},
      {"out.txt", true, true, "a link out of the folder is the publisher's choice"},
      {"folder", false, false, "a folder is no file to send"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.served, MayServe(c.name, false)) << c.why;
    EXPECT_EQ(c.served_with_hidden, MayServe(c.name, true)) << c.why << " (hidden files served)";
  }
}

TEST(MapRequestPath, EmptyPublishedDirectoryMeansInetpubAtTheRoot) {
  std::string path;
  MapRequestPath("/nothing-here.html", "", path);
  EXPECT_EQ("/inetpub/nothing-here.html/", path);
}

TEST(ContentTypes, OwnTableFirstWithoutRegardToCaseThenTheSystemList) {
  EXPECT_EQ("text/html", FileExtToContentType(".HTML"));
  EXPECT_EQ("text/html", FileExtToContentType(".htm"));
  EXPECT_EQ("audio/basic", FileExtToContentType(".wav"));
  EXPECT_EQ("application/binary", FileExtToContentType(".exe"));
  EXPECT_EQ("application/javascript", FileExtToContentType(".js"));
  EXPECT_EQ("image/svg+xml", FileExtToContentType(".svg"));  // from /etc/mime.types
  EXPECT_EQ("", FileExtToContentType(".no-such-extension"));
  EXPECT_EQ("", FileExtToContentType(""));
}

TEST(ContentTypes, ExtensionIsTakenFromTheFileNameOnly) {
  EXPECT_EQ(".gz", FileExtOfPath("/srv/x/file.tar.gz"));
  EXPECT_EQ("", FileExtOfPath("/srv/dir.d/file"));
  EXPECT_EQ(".", FileExtOfPath("/srv/name."));
  EXPECT_EQ(".exe", FileExtOfPath("/srv/cgi/Test.exe"));
}

}  // namespace
}  // namespace vt

namespace vt {
namespace {

TEST(ProgramSegment, TheFirstProgramNameFollowedByASeparatorEndsIt) {
  const struct {
    const char* uri;
    std::size_t from;
    std::size_t end;  // npos: none
  } cases[] = {
      {"/cgi/git.exe/repo.git/info/refs", 0, 12},
      {"/cgi/GIT.Exe/x", 0, 12},               // any letter case, as the route takes it
      {"/cgi\\git.exe\\x", 0, 12},             // either separator
      {"/a.exe/b.exe/c", 0, 6},                // the first
      {"/a.exe/b.exe/c", 7, 12},               // then the next
      {"/cgi/git.exe", 0, std::string::npos},  // nothing after it: a plain program
      {"/cgi/git.exe/", 0, 12},                // an empty rest is still a rest
      {"/cgi/.exe/x", 0, std::string::npos},   // no name before the extension
      {"/cgi/git.exes/x", 0, std::string::npos},
      {"/cgi/gitexe/x", 0, std::string::npos},
      {"/.exe", 0, std::string::npos},
      {"", 0, std::string::npos},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.end, NextProgramSegmentEnd(c.uri, c.from)) << c.uri << " from " << c.from;
}

TEST(ProgramSegment, APathAfterAProgramFindsTheProgramWithTheMappingsRules) {
  test::TempDir dir;
  const std::string root = dir.Path() + "/www";
  dir.WriteFile("www/cgi/git.exe", "#!/bin/sh\n");
  dir.WriteFile("www/cgi/.hidden/p.exe", "#!/bin/sh\n");
  dir.WriteFile("www/tool.exe/index.html", "a folder's page");
  dir.WriteFile("www/notes.txt", "notes");
  const struct {
    const char* uri;
    TMapResult result;
    const char* program;  // below the root
    std::size_t rest;
  } cases[] = {
      {"/cgi/git.exe/demo.git/info/refs", mrFound, "/cgi/git.exe", 12},
      {"/cgi/missing.exe/x", mrNotFound, "", 0},
      {"/cgi/.hidden/p.exe/x", mrNotFound, "", 0},  // hidden names stay hidden
      {"/tool.exe/x", mrNotFound, "", 0},           // a folder is no program
      {"/notes.txt.exe/x", mrNotFound, "", 0},
  };
  for (const auto& c : cases) {
    std::string path = "before";
    std::size_t rest = 0;
    struct stat status {};
    EXPECT_EQ(c.result, MapProgramPath(c.uri, root, path, TMapRules(), &status, rest)) << c.uri;
    if (c.result == mrFound) {
      EXPECT_EQ(root + c.program, path) << c.uri;
      EXPECT_EQ(c.rest, rest) << c.uri;
      EXPECT_TRUE(S_ISREG(status.st_mode)) << c.uri;
    } else {
      EXPECT_EQ("before", path) << "left as it was: " << c.uri;
    }
  }
}

}  // namespace
}  // namespace vt
