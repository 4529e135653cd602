// What browsers and download tools rely on when they fetch a file again:
// validators, conditional requests, ranges and content types. End to end,
// against the real program, with raw requests and with curl and wget.

#include "app/file_response.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "app/request_path.h"
#include "app_test_support.h"
#include "platform/mime_types.h"
#include "util/date_time.h"

namespace vt {
namespace {

using test::HttpAnswer;
using test::ServerProgram;

std::string HttpDate(std::time_t t) { return DateTimeToHTTPText(kUnixEpochDateTime + t / 86400.0, true); }

void SetModified(const std::string& path, std::time_t t) {
  const struct timespec times[2] = {{t, 0}, {t, 0}};
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), times, 0));
}

// Runs a shell command; its standard output, and its exit status in `status`.
std::string Shell(const std::string& command, int* status = nullptr) {
  FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
  std::string out;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  const int result = ::pclose(pipe);
  if (status) *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
  return out;
}

// The lines that hold `text`.
int Count(const std::vector<std::string>& lines, const std::string& text) {
  return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.find(text) != std::string::npos;
  }));
}

TEST(FileAnswers, ConditionalRequestsFollowTheFilesValidators) {
  ServerProgram program;
  const std::time_t modified = std::time(nullptr) - 3600;
  SetModified(program.WriteRootFile("notes.txt", "0123456789"), modified);
  program.WriteRootProgram("run.exe", "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\nran'\n");
  program.WriteSettings();
  ASSERT_TRUE(program.Start()) << program.Stderr();

  const HttpAnswer first = program.Get("/notes.txt");
  const std::string etag = first.Field("ETag");
  ASSERT_EQ('"', etag.front());
  EXPECT_EQ(HttpDate(modified), first.Field("Last-Modified"));
  EXPECT_EQ("no-cache", first.Field("Cache-Control"));
  EXPECT_EQ("bytes", first.Field("Accept-Ranges"));
  using Names = std::vector<std::string>;
  EXPECT_EQ((Names{"Content-Type", "Date", "Content-Length", "Connection", "Server", "Last-Modified", "ETag",
                   "Cache-Control", "Accept-Ranges"}),
            first.Names())
      << "the new fields follow those every file answer had";

  const std::string lm = HttpDate(modified);
  const std::string before = HttpDate(modified - 60);
  const struct {
    const char* method;
    std::string fields;
    const char* status;
    const char* body;  // nullptr: no check
  } rows[] = {
      {"GET", "If-None-Match: " + etag, "304 Not modified", ""},
      {"GET", "If-None-Match: \"x\", W/" + etag, "304 Not modified", ""},  // weak comparison, in a list
      {"HEAD", "If-None-Match: *", "304 Not modified", ""},
      {"GET", "If-None-Match: \"x\"", "200 OK", "0123456789"},
      {"GET", "If-Modified-Since: " + lm, "304 Not modified", ""},
      {"GET", "If-Modified-Since: " + before, "200 OK", "0123456789"},
      {"GET", "If-Modified-Since: yesterday", "200 OK", "0123456789"},
      {"GET", "If-None-Match: \"x\"\r\nIf-Modified-Since: " + lm, "200 OK", "0123456789"},  // the tag decides
      {"GET", "If-Match: " + etag, "200 OK", "0123456789"},
      {"GET", "If-Match: W/" + etag, "412 Precondition Failed", nullptr},  // strong comparison
      {"GET", "If-Match: \"x\"", "412 Precondition Failed", nullptr},
      {"GET", "If-Unmodified-Since: " + before, "412 Precondition Failed", nullptr},
      {"GET", "If-Unmodified-Since: " + lm, "200 OK", "0123456789"},
      {"GET", "Range: bytes=2-4\r\nIf-Range: " + etag, "206 Partial Content", "234"},
      {"GET", "Range: bytes=2-4\r\nIf-Range: " + lm, "206 Partial Content", "234"},
      {"GET", "Range: bytes=2-4\r\nIf-Range: \"x\"", "200 OK", "0123456789"},
      {"GET", "Range: bytes=2-4\r\nIf-Range: W/" + etag, "200 OK", "0123456789"},
      {"GET", "Range: bytes=2-4\r\nIf-Range: " + before, "200 OK", "0123456789"},
      {"HEAD", "Range: bytes=2-4", "200 OK", ""},
      // Names in any case.
      {"GET", "if-none-match: " + etag, "304 Not modified", ""},
      {"GET", "RANGE: bytes=2-4", "206 Partial Content", "234"},
  };
  for (const auto& row : rows) {
    const std::string raw = std::string(row.method) +
                            " /notes.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + row.fields +
                            "\r\n\r\n";
    const HttpAnswer a = program.Request(raw, std::string(row.method) == "HEAD");
    const std::string where = std::string(row.method) + " with " + row.fields;
    EXPECT_EQ(std::string("HTTP/1.1 ") + row.status, a.status) << where;
    if (row.body) {
      EXPECT_EQ(row.body, a.body) << where;
    }
    EXPECT_EQ(etag, a.Field("ETag")) << where;
    EXPECT_EQ(lm, a.Field("Last-Modified")) << where;
    EXPECT_TRUE(a.Has("Date")) << where;
    if (a.status.ends_with("304 Not modified")) {
      EXPECT_FALSE(a.Has("Content-Type")) << where;
      EXPECT_FALSE(a.Has("Content-Length")) << where;
    }
  }
  // A program's answer has no validators: it answers its conditions itself.
  EXPECT_EQ("ran", program
                       .Request("GET /run.exe HTTP/1.1\r\nHost: h\r\nConnection: close\r\n"
                                "If-None-Match: *\r\n\r\n")
                       .body);

  // Each answer has its line in the access log, 304 and 412 as any other.
  const std::vector<std::string> lines = program.LogLines(std::size(rows) + 2);
  EXPECT_EQ(5, Count(lines, " 304 "));
  EXPECT_EQ(3, Count(lines, " 412 "));
}

// The file holds exactly `text`; a mismatch tells its size and where it
// first differs instead of printing both.
::testing::AssertionResult Holds(const std::string& path, const std::string& text) {
  const std::string got = test::ReadFileText(path);
  if (got == text) return ::testing::AssertionSuccess();
  const auto diff = std::mismatch(got.begin(), got.end(), text.begin(), text.end());
  return ::testing::AssertionFailure() << path << ": " << got.size() << " bytes instead of " << text.size()
                                       << ", first difference at " << (diff.first - got.begin());
}

TEST(FileAnswers, CurlAndWgetFetchAgainOnlyWhatChangedAndNeverMixTwoVersions) {
  ServerProgram program;
  const std::time_t old_time = std::time(nullptr) - 3600;
  const std::string old_text(100000, 'o');
  const std::string file = program.WriteRootFile("big.bin", old_text);
  SetModified(file, old_time);
  program.WriteSettings();
  ASSERT_TRUE(program.Start()) << program.Stderr();
  test::TempDir here;
  const std::string url = "http://127.0.0.1:" + std::to_string(program.Port()) + "/big.bin";
  const std::string curl = "cd " + here.Path() + " && curl -sS --max-time 20 ";
  const std::string wget = "cd " + here.Path() + " && wget -q --timeout=20 ";

  // Unchanged: curl -z and wget -N get 304 and keep their copy.
  EXPECT_EQ("200", Shell(curl + "-R --etag-save etag -o c.bin -w '%{http_code}' " + url));
  EXPECT_EQ("304", Shell(curl + "-R -z c.bin -o c.bin -w '%{http_code}' " + url));
  Shell(wget + "-N " + url);
  Shell(wget + "-N " + url);
  EXPECT_EQ(2, Count(program.LogLines(4), " 304 "));
  EXPECT_TRUE(Holds(here.File("big.bin"), old_text));

  // A download cut after 1000 bytes resumes with If-Range while the file is
  // the same.
  const std::string etag = test::ReadFileText(here.File("etag"));
  const std::string resume = curl + "-C - -H 'If-Range: " + etag.substr(0, etag.find('\n')) + "' -o part ";
  here.WriteFile("part", old_text.substr(0, 1000));
  int status = -1;
  Shell(resume + url, &status);
  EXPECT_EQ(0, status);
  EXPECT_TRUE(Holds(here.File("part"), old_text));

  // Changed: the same resume gets the whole new file instead of the new
  // file's tail. curl refuses it (it asked for a range) and leaves its part
  // as it was, rather than join old bytes to new ones.
  const std::string new_text(120000, 'n');
  program.WriteRootFile("big.bin", new_text);
  SetModified(file, old_time + 60);
  here.WriteFile("part", old_text.substr(0, 1000));
  Shell(resume + url, &status);
  EXPECT_EQ(33, status) << "curl: cannot resume";
  EXPECT_TRUE(Holds(here.File("part"), old_text.substr(0, 1000)));
  EXPECT_EQ("200", Shell(curl + "-R -z c.bin -o c.bin -w '%{http_code}' " + url));
  EXPECT_TRUE(Holds(here.File("c.bin"), new_text));
  Shell(wget + "-N " + url);
  EXPECT_TRUE(Holds(here.File("big.bin"), new_text));
}

// The tag names inode, size and modification time; the thread's last tag
// is used again only for exactly those.
TEST(FileAnswers, EntityTagFollowsEveryPartOfTheFilesVersion) {
  const auto status = [](ino_t inode, off_t size, time_t seconds, long ns) {
    struct stat s {};
    s.st_ino = inode;
    s.st_size = size;
    s.st_mtim.tv_sec = seconds;
    s.st_mtim.tv_nsec = ns;
    return s;
  };
  const struct {
    struct stat file;
    const char* tag;
  } rows[] = {
      {status(0x1a, 0x400, 1, 0), "\"1a-400-3b9aca00\""},
      {status(0x1a, 0x400, 1, 0), "\"1a-400-3b9aca00\""},
      {status(0x1b, 0x400, 1, 0), "\"1b-400-3b9aca00\""},
      {status(0x1b, 0x401, 1, 0), "\"1b-401-3b9aca00\""},
      {status(0x1b, 0x401, 1, 1), "\"1b-401-3b9aca01\""},
      {status(0x1b, 0x401, 2, 1), "\"1b-401-77359401\""},
      {status(0, 0, 0, 0), "\"0-0-0\""},
      {status(0, 0, 0, 0), "\"0-0-0\""},
      {status(0x1a, 0x400, 1, 0), "\"1a-400-3b9aca00\""},
  };
  for (const auto& row : rows) EXPECT_EQ(row.tag, FileEntityTag(row.file));
}

TEST(ContentTypes, WebTypesNeedNoSystemDatabaseAndTextNamesItsCharset) {
  const struct {
    const char* ext;
    const char* type;  // FileExtToContentType
    const char* sent;  // as the answer carries it
  } rows[] = {
      {".txt", "text/plain", "text/plain; charset=utf-8"},
      {".wav", "audio/basic", "audio/basic"},  // the server's own table comes first
      {".js", "application/javascript", "application/javascript"},
      {".HTML", "text/html", "text/html"},
      {".svg", "image/svg+xml", "image/svg+xml"},
      {".WASM", "application/wasm", "application/wasm"},
      {".mjs", "text/javascript", "text/javascript"},
      {".woff2", "font/woff2", "font/woff2"},
      {".csv", "text/csv", "text/csv; charset=utf-8"},
      {".md", "text/markdown", "text/markdown; charset=utf-8"},
      {".epub", "application/epub+zip", "application/epub+zip"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.type, FileExtToContentType(row.ext)) << row.ext;
    EXPECT_EQ(row.sent, WithTextCharset(row.type)) << row.ext;
  }
  // Known without /etc/mime.types.
  EXPECT_EQ("image/svg+xml", WebContentType(".svg"));
  EXPECT_EQ("", WebContentType(".txt"));
  EXPECT_EQ("text/plain; charset=latin1", WithTextCharset("text/plain; charset=latin1"));
}

}  // namespace
}  // namespace vt
