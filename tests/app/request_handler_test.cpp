// Which route answers which request: exactly one, chosen from the mapping's
// result and the method alone.

#include "app/request_handler.h"
#include "app/upload_handler.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/log_line.h"
#include "support/temp_dir.h"

namespace vt {
namespace {

constexpr TRouteKind kFile = TRouteKind::kFile;
constexpr TRouteKind kFolder = TRouteKind::kFolder;
constexpr TRouteKind kArchive = TRouteKind::kArchive;
constexpr TRouteKind kProgram = TRouteKind::kProgram;
constexpr TRouteKind kRefusal = TRouteKind::kRefusal;
constexpr TRouteKind kListing = TRouteKind::kListing;
constexpr TRouteKind kRedirect = TRouteKind::kRedirect;
constexpr TRouteKind kUpload = TRouteKind::kUpload;

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
      // Folders listed, and folders named without their final slash.
      {"a folder listed", {"GET", mrNotFound, true, false, false, false, true}, kListing, 0, nullptr},
      {"HEAD of a folder listed",
       {"HEAD", mrNotFound, true, false, false, false, true},
       kListing,
       0,
       nullptr},
      {"a listed folder without its slash",
       {"GET", mrNotFound, true, false, true, false, true},
       kRedirect,
       301,
       nullptr},
      {"an unlisted folder without its slash stays unknown",
       {"GET", mrNotFound, true, false, true, false, false},
       kFolder,
       0,
       nullptr},
      {"a default document asked for by its folder's name without slash",
       {"GET", mrFound, false, false, true, false, false},
       kRedirect,
       301,
       nullptr},
      {"POST to a listed folder",
       {"POST", mrNotFound, true, false, false, false, true},
       kRefusal,
       405,
       "GET, HEAD"},
      {"POST to a folder without its slash",
       {"POST", mrFound, false, false, true, false, true},
       kRefusal,
       405,
       "GET, HEAD"},
      {"nothing there while folders are listed",
       {"GET", mrNotFound, false, false, false, false, true},
       kRefusal,
       404,
       nullptr},
      // A folder as one archive: only where it would be listed.
      {"an archive of a listed folder",
       {"GET", mrNotFound, true, false, false, true, true},
       kArchive,
       0,
       nullptr},
      {"HEAD of an archive", {"HEAD", mrNotFound, true, false, false, true, true}, kArchive, 0, nullptr},
      {"an archive while folders are not listed",
       {"GET", mrNotFound, true, false, false, true, false},
       kFolder,
       0,
       nullptr},
      {"an archive of nothing there",
       {"GET", mrNotFound, false, false, false, true, true},
       kRefusal,
       404,
       nullptr},
      {"a folder with a default document serves it",
       {"GET", mrFound, false, false, false, true, true},
       kFile,
       0,
       nullptr},
      {"an archive of an invalid path",
       {"GET", mrInvalid, false, false, false, true, true},
       kRefusal,
       400,
       nullptr},
      {"POST for an archive",
       {"POST", mrNotFound, true, false, false, true, true},
       kRefusal,
       405,
       "GET, HEAD"},
      {"an archive asked for without the slash",
       {"GET", mrNotFound, true, false, true, true, true},
       kRedirect,
       301,
       nullptr},
      // An upload is judged by its handler, whatever the path found.
      {"an upload by PUT", {"PUT", mrNotFound, false, false, false, false, false, true}, kUpload, 0, nullptr},
      {"an upload onto a program's name",
       {"PUT", mrFound, false, true, false, false, false, true},
       kUpload,
       0,
       nullptr},
      {"an upload on an invalid path",
       {"POST", mrInvalid, false, false, false, false, false, true},
       kUpload,
       0,
       nullptr},
  };
  for (const auto& c : cases) {
    const TRoute route = ChooseRoute(c.facts);
    EXPECT_EQ(c.kind, route.kind) << c.why;
    EXPECT_EQ(c.status, route.status) << c.why;
    EXPECT_STREQ(c.allow, route.allow) << c.why;
  }
}

// Which requests are uploads, and where uploads may go.
TEST(UploadRoutes, UploadsArePutsAndFormsPostedToAFolder) {
  const struct {
    const char* method;
    const char* uri;
    bool allowed;
    bool upload;
  } cases[] = {
      {"PUT", "/inbox/a.txt", true, true}, {"POST", "/inbox/", true, true},
      {"POST", "/inbox", true, false},     {"POST", "/prog.exe", true, false},
      {"GET", "/inbox/", true, false},     {"PUT", "/inbox/a.txt", false, false},
      {"POST", "/inbox/", false, false},   {"put", "/inbox/a.txt", true, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(IsUploadRequest(c.method, c.uri, c.allowed), c.upload) << c.method << " " << c.uri;
}

TEST(UploadRoutes, TheUploadFolderSettingStaysInsideThePublishedFolder) {
  const struct {
    const char* setting;
    bool serve_hidden;
    const char* url;  // empty: refused
  } cases[] = {
      {"", false, "/"},
      {"inbox", false, "/inbox/"},
      {"/inbox/", false, "/inbox/"},
      {"a//b/./c", false, "/a/b/c/"},
      {"a\\b", false, "/a/b/"},
      {"../outside", false, ""},
      {"a/../../b", false, ""},
      {".hidden", false, ""},
      {".hidden", true, "/.hidden/"},
      {"a\nb", false, ""},
      {"tab\there", false, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(UploadFolderURL(c.setting, c.serve_hidden), c.url) << c.setting;
}

TEST(UploadRoutes, BodyTimeGrowsWithTheBody) {
  const struct {
    std::int64_t size;
    std::int64_t max_size;
    std::uint32_t ms;
  } cases[] = {
      {0, 1 << 20, kUploadBodyTime},
      {16 * 1024 * 100, 1 << 20, kUploadBodyTime + 100000},
      {-1, 16 * 1024 * 10, kUploadBodyTime + 10000},
      {std::int64_t{1} << 50, 0, 0xFFFFFFFFu},
  };
  for (const auto& c : cases) EXPECT_EQ(UploadBodyTime(c.size, c.max_size), c.ms) << c.size;
  EXPECT_EQ(PercentEncodePath("/a b/%c\xC3\xA9.txt"), "/a%20b/%25c%C3%A9.txt");
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

// A folder named without its final slash is told apart, whether it has a
// default document or not; nothing else is.
TEST(RequestRoutes, TheMappingTellsAFolderNamedWithoutItsSlash) {
  test::TempDir dir;
  dir.WriteFile("empty/.keep", "");
  dir.WriteFile("site/index.html", "home");
  dir.WriteFile("page.txt", "text");
  const struct {
    const char* uri;
    bool without_slash;
  } cases[] = {
      {"/empty", true}, {"/site", true},    {"/site/", false},    {"/empty/", false},
      {"/", false},     {"", false},        {"/page.txt", false}, {"/missing", false},
      {"\\site", true}, {"/site\\", false}, {"/site/.", true},    {"/empty/../site", true},
  };
  for (const auto& c : cases) {
    std::string path;
    bool without_slash = !c.without_slash;
    MapRequestPath(c.uri, dir.Path(), path, TMapRules(), nullptr, nullptr, &without_slash);
    EXPECT_EQ(c.without_slash, without_slash) << c.uri;
  }
}

// The access log line of each way a request ends: answered by the
// application, or refused by the server with its own answer before the
// application saw it. What the server had read when it refused decides
// which values are known; the rest are "-", and the status and size are
// always the answer's.
TEST(AccessLogLines, ARefusedRequestLogsWhatWasReadAndDashesTheRest) {
  constexpr const char* kFormat = "$response$ $size$ $method$ $uri$ [$referer$] [$useragent$]";
  const struct {
    const char* why;
    const char* line;  // the request line read; null: none could be
    bool header;       // its header was read (Referer and User-Agent given)
    bool refused;
    int status;
    std::int64_t size;
    const char* logged;
  } cases[] = {
      {"an answered request", "GET /a?q=1 HTTP/1.1", true, false, 200, 120,
       "200 120 GET /a?q=1 [http://r/] [agent]"},
      {"an answered request without those fields", "GET /a HTTP/1.1", false, false, 404, 90,
       "404 90 GET /a [] []"},
      {"414: the request line was too long to read", nullptr, false, true, 414, 300, "414 300 - - [-] [-]"},
      {"505: the request line names another version", nullptr, false, true, 505, 310, "505 310 - - [-] [-]"},
      {"400: a request line of no shape", nullptr, false, true, 400, 280, "400 280 - - [-] [-]"},
      {"408: the head came too slowly", "GET /slow HTTP/1.1", false, true, 408, 290,
       "408 290 GET /slow [-] [-]"},
      {"400: a head with a faulty field", "GET /f?x HTTP/1.1", false, true, 400, 281,
       "400 281 GET /f?x [-] [-]"},
      {"413: the body is too large", "POST /up HTTP/1.1", true, true, 413, 320,
       "413 320 POST /up [http://r/] [agent]"},
      {"408: the body came too slowly", "POST /up HTTP/1.1", true, true, 408, 291,
       "408 291 POST /up [http://r/] [agent]"},
      {"a refusal was not sent whole: its bytes as they went", "POST /up HTTP/1.1", true, true, 413, 0,
       "413 0 POST /up [http://r/] [agent]"},
  };
  for (const auto& c : cases) {
    std::unique_ptr<ThttpRequest> request;
    if (c.line) {
      request = std::make_unique<ThttpRequest>(c.line, std::string(), nullptr);
      if (c.header) {
        auto header = std::make_unique<THeader>();
        header->AddField("Referer", "http://r/");
        header->AddField("User-Agent", "agent");
        request->SetHeader(std::move(header));
      }
    }
    TLogLineFields fields;
    std::string referer;
    std::string user_agent;
    FillRequestLogFields(fields, request.get(), c.refused, LogLineVariables(kFormat), referer, user_agent);
    fields.response = c.status;
    fields.size = c.size;
    std::string line;
    AppendLogLine(line, kFormat, TDateTimeParts{}, fields);
    EXPECT_EQ(c.logged, line) << c.why;
  }
}

}  // namespace
}  // namespace vt
