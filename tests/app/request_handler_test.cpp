// Which route answers which request: exactly one, chosen from the mapping's
// result and the method alone.

#include "app/request_handler.h"

#include <gtest/gtest.h>

#include <string>

#include "support/temp_dir.h"

namespace vt {
namespace {

constexpr TRouteKind kFile = TRouteKind::kFile;
constexpr TRouteKind kFolder = TRouteKind::kFolder;
constexpr TRouteKind kProgram = TRouteKind::kProgram;
constexpr TRouteKind kRefusal = TRouteKind::kRefusal;

TEST(RequestRoutes, EachRequestHasExactlyOneRoute) {
  const struct {
    const char* why;
    TRouteFacts facts;
    TRouteKind kind;
    std::int32_t status;
    const char* allow;
  } cases[] = {
      {"a file", {"GET", mrFound, false, false}, kFile, 0, nullptr},
      {"HEAD of a file", {"HEAD", mrFound, false, false}, kFile, 0, nullptr},
      {"methods fold their case", {"get", mrFound, false, false}, kFile, 0, nullptr},
      {"a program", {"GET", mrFound, false, true}, kProgram, 0, nullptr},
      {"a form posted to a program", {"POST", mrFound, false, true}, kProgram, 0, nullptr},
      {"a folder without a default document", {"GET", mrNotFound, true, false}, kFolder, 0, nullptr},
      {"nothing there", {"GET", mrNotFound, false, false}, kRefusal, 404, nullptr},
      {"an invalid path", {"GET", mrInvalid, false, false}, kRefusal, 400, nullptr},
      // The method is checked first, whatever was found.
      {"POST to a file is read only", {"POST", mrFound, false, false}, kRefusal, 405, "GET, HEAD"},
      {"POST to a folder", {"POST", mrNotFound, true, false}, kRefusal, 405, "GET, HEAD"},
      {"POST to nothing", {"POST", mrNotFound, false, false}, kRefusal, 405, "GET, HEAD"},
      {"PUT to a program", {"PUT", mrFound, false, true}, kRefusal, 405, "GET, HEAD, POST"},
      {"an unknown method on an invalid path", {"BREW", mrInvalid, false, false}, kRefusal, 405, "GET, HEAD"},
      {"a method that only starts like GET", {"GETS", mrFound, false, false}, kRefusal, 405, "GET, HEAD"},
  };
  for (const auto& c : cases) {
    const TRoute route = ChooseRoute(c.facts);
    EXPECT_EQ(c.kind, route.kind) << c.why;
    EXPECT_EQ(c.status, route.status) << c.why;
    EXPECT_STREQ(c.allow, route.allow) << c.why;
  }
}

// The mapping tells the folder route apart from "nothing there": a folder
// that exists and holds no default document, however it is named, and
// never a hidden one or a missing one.
TEST(RequestRoutes, TheMappingNamesFoldersWithoutADefaultDocument) {
  test::TempDir dir;
  dir.WriteFile("empty/.keep", "");
  dir.WriteFile("site/index.html", "home");
  dir.WriteFile(".git/config", "");
  dir.WriteFile("page.txt", "text");
  const struct {
    const char* uri;
    TMapResult mapped;
    bool folder;
  } cases[] = {
      {"/empty/", mrNotFound, true}, {"/empty", mrNotFound, true},      {"/site/", mrFound, false},
      {"/page.txt", mrFound, false}, {"/missing/", mrNotFound, false},  {"/missing", mrNotFound, false},
      {"/.git/", mrNotFound, false}, {"/page.txt/", mrNotFound, false},
  };
  for (const auto& c : cases) {
    std::string path;
    bool folder = !c.folder;
    EXPECT_EQ(c.mapped, MapRequestPath(c.uri, dir.Path(), path, TMapRules(), nullptr, &folder)) << c.uri;
    EXPECT_EQ(c.folder, folder) << c.uri;
  }
}

}  // namespace
}  // namespace vt
