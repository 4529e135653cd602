#include "util/paths.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>

#include "support/scoped_time_zone.h"
#include "support/temp_dir.h"

namespace vt {
namespace {

std::string Slashes(std::string text) {
  std::replace(text.begin(), text.end(), '\\', '/');
  return text;
}

struct CanonicalCase {
  const char* path;       // written with "\"
  const char* canonical;  // with "\" as the delimiter
  // The result for the same path written with "/" and "/" as the delimiter,
  // when it is not simply `canonical` written with "/" (the drive steps only
  // know "\").
  const char* with_slashes = nullptr;
};

const CanonicalCase kCanonicalCases[] = {
    {"", ""},
    {"\\a\\b\\..\\c", "\\a\\c"},
    {"\\a\\b\\..\\..\\c", "\\c"},
    {"a\\..\\b", "b"},
    {"\\a\\b\\..", "\\a"},
    {"\\a\\..", ""},
    // Climbing above the root stops at the root.
    {"\\..\\secret", "\\secret"},
    {"\\a\\..\\..\\secret", "\\secret"},
    {"\\..\\..\\..\\secret", "\\secret"},
    {"\\a\\b\\..\\..\\..\\..\\etc\\passwd", "\\etc\\passwd"},
    {"\\..", ""},
    {"\\..\\..", ""},
    // What cannot be resolved is kept for the caller to refuse.
    {"..", ".."},
    {"..\\a", "..\\a"},
    {"a\\..\\..\\b", "..\\b"},
    {"\\a\\\\..\\b", "\\a\\\\..\\b"},
    {"\\a\\..\\\\..\\b", "\\a\\..\\\\..\\b"},
    // Drives.
    {"C:\\..\\x", "C:\\x", "C:/../x"},
    {"C:\\..\\..\\x", "C:\\..\\x", "C:/../../x"},
    {"C:\\..", "C:", "C:/.."},
    {"C:\\a\\..\\x", "C:\\x"},
    {"C:\\a\\..\\..\\x", "C:\\x", "C:/../x"},
    {"C:x\\..\\y", "C:x\\..\\y"},
    // "." segments.
    {"\\a\\.\\b\\.\\.\\c", "\\a\\b\\c"},
    {".\\a", "a"},
    {"a\\.", "a"},
    {"\\.", ""},
    {".", ""},
    {".\\.\\a", "a"},
    {"\\a\\.\\..\\b", "\\b"},
    // Trailing dots.
    {"file.txt.", "file.txt"},
    {"\\dir\\name.", "\\dir\\name"},
    {"name..", "name.."},
    {"C:.", "C:."},
    {"\\a\\b.\\c", "\\a\\b.\\c"},
    // Names that merely hold dots are no parent references.
    {"\\a\\...\\b", "\\a\\...\\b"},
    {"\\a\\b..\\..\\c", "\\a\\c"},
    {"\\a..b\\c", "\\a..b\\c"},
    {"\\v1.2\\file.tar.gz", "\\v1.2\\file.tar.gz"},
    {"\\.hidden\\a.b", "\\.hidden\\a.b"},
    {"a.b", "a.b"},
};

TEST(CanonicalizePath, WithBackslashes) {
  for (const CanonicalCase& c : kCanonicalCases) {
    EXPECT_EQ(c.canonical, CanonicalizePath(c.path, '\\')) << c.path;
  }
}

TEST(CanonicalizePath, WithSlashes) {
  for (const CanonicalCase& c : kCanonicalCases) {
    const std::string expected = c.with_slashes ? c.with_slashes : Slashes(c.canonical);
    EXPECT_EQ(expected, CanonicalizePath(Slashes(c.path), '/')) << Slashes(c.path);
  }
}

TEST(CanonicalizePath, OnlyTheDelimiterSeparatesParentSegments) {
  // ".." written with the other separator is not resolved, so a caller's
  // ".." check still sees it.
  EXPECT_EQ("/a/b/../c", CanonicalizePath("/a/b/../c", '\\'));
  EXPECT_EQ("\\a\\b\\..\\c", CanonicalizePath("\\a\\b\\..\\c", '/'));
  // The "." and leading-".." cleaning knows both separators.
  EXPECT_EQ("/a/b", CanonicalizePath("/a/./b", '\\'));
  EXPECT_EQ("/x", CanonicalizePath("/../x", '\\'));
  EXPECT_EQ("\\a\\b", CanonicalizePath("\\a\\.\\b", '/'));
  // Mixed: the "\" step runs first, then the "/" one.
  EXPECT_EQ("/a\\b/c", CanonicalizePath("/a\\.\\b/./c", '/'));
}

TEST(PathShapes, DrivesSharesAndDirectories) {
  EXPECT_TRUE(PathStartsWithDrive("C:"));
  EXPECT_TRUE(PathStartsWithDrive("z:\\x"));
  EXPECT_FALSE(PathStartsWithDrive("1:"));
  EXPECT_FALSE(PathStartsWithDrive("C"));
  EXPECT_FALSE(PathStartsWithDrive("\\C:"));
  EXPECT_TRUE(PathIsNetworkShare("\\\\server\\share"));
  EXPECT_FALSE(PathIsNetworkShare("\\"));
  EXPECT_FALSE(PathIsNetworkShare("//server"));

  EXPECT_TRUE(PathIsDirectoryForm("C:"));
  EXPECT_FALSE(PathIsDirectoryForm("C:x"));
  EXPECT_TRUE(PathIsDirectoryForm("a/"));
  EXPECT_TRUE(PathIsDirectoryForm("a\\"));
  EXPECT_FALSE(PathIsDirectoryForm("a"));
  EXPECT_FALSE(PathIsDirectoryForm(""));

  EXPECT_EQ("c:\\inetpub\\", PathWithTrailingDelimiter("c:\\inetpub", '\\'));
  EXPECT_EQ("/var/www/", PathWithTrailingDelimiter("/var/www/", '/'));
  EXPECT_EQ("/var/www\\/", PathWithTrailingDelimiter("/var/www\\", '/'));
  EXPECT_EQ("", PathWithTrailingDelimiter("", '/'));

  EXPECT_EQ("\\c_\\dir\\a_b", FileURLPathToPath("/c|/dir/a<b"));
  EXPECT_EQ("_x_y__", FileURLPathToPath(":x>y\\|"));
}

TEST(GetFileDateTime, LocalModificationTimeAtTwoSecondSteps) {
  test::ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
  test::TempDir dir;
  const std::string file = dir.WriteFile("page.htm", "x");

  // Sun, 06 Nov 1994 08:49:37 GMT, an odd second: 09:49:36 local.
  struct timespec times[2] = {{784111777, 0}, {784111777, 0}};
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, file.c_str(), times, 0));
  EXPECT_EQ("06 Nov 1994 09:49:36 GMT", DateTimeToHTTPText(GetFileDateTime(file), false));

  // 1 Jul 2020 12:00:00 GMT, in summer time: 14:00:00 local.
  times[0] = times[1] = {1593604800, 0};
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, file.c_str(), times, 0));
  EXPECT_EQ("01 Jul 2020 14:00:00 GMT", DateTimeToHTTPText(GetFileDateTime(file), false));

  EXPECT_EQ(0.0, GetFileDateTime(dir.File("missing.htm")));
  EXPECT_EQ(0.0, GetFileDateTime(""));
  // A NUL byte must not shorten the name to an existing file.
  EXPECT_EQ(0.0, GetFileDateTime(file + std::string("\0.bak", 5)));
}

}  // namespace
}  // namespace vt
