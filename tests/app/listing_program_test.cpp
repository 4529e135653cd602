// Folder listings and the slash redirect through the real program, where
// the socket is the point: the 301's Location with its query, the 304 of
// an unchanged listing, JSON chosen by the Accept field, and the 404 that
// stays while listings are off.

#include <gtest/gtest.h>

#include <string>

#include "app_test_support.h"

namespace vt {
namespace {

using test::HttpAnswer;
using test::ServerProgram;

std::string GetWith(const std::string& uri, const std::string& fields) {
  return "GET " + uri + " HTTP/1.1\r\nHost: x\r\n" + fields + "Connection: close\r\n\r\n";
}

TEST(ListingProgram, FoldersAreListedRedirectedAndRevalidated) {
  ServerProgram program;
  program.WriteRootFile("photos/pic one.png", "png");
  program.WriteRootFile("site/index.html", "<img src=pic.png>");
  program.WriteRootFile(".git/config", "");
  program.WriteSettings("ListFolders=1\n");
  ASSERT_TRUE(program.Start()) << program.Stderr();

  const HttpAnswer listing = program.Get("/photos/");
  EXPECT_EQ("HTTP/1.1 200 OK", listing.status);
  EXPECT_EQ("text/html; charset=utf-8", listing.Field("Content-Type"));
  EXPECT_NE(std::string::npos, listing.body.find("href=\"/photos/pic%20one.png\"")) << listing.body;
  const std::string etag = listing.Field("ETag");
  ASSERT_FALSE(etag.empty());

  const struct {
    const char* why;
    std::string raw;
    const char* status;
    const char* field;
    const char* value;
    const char* body;
  } cases[] = {
      {"a folder without its slash, the query kept", GetWith("/photos?sort=size&order=desc", ""),
       "HTTP/1.1 301 Moved Permanently", "Location", "/photos/?sort=size&order=desc", nullptr},
      {"a folder with a default document, without its slash", GetWith("/site", ""),
       "HTTP/1.1 301 Moved Permanently", "Location", "/site/", nullptr},
      {"its default document with the slash", GetWith("/site/", ""), "HTTP/1.1 200 OK", nullptr, nullptr,
       "<img src=pic.png>"},
      {"a name of the folder with a space", GetWith("/photos/pic%20one.png", ""), "HTTP/1.1 200 OK", nullptr,
       nullptr, "png"},
      {"an unchanged listing", GetWith("/photos/", "If-None-Match: " + etag + "\r\n"),
       "HTTP/1.1 304 Not modified", "ETag", etag.c_str(), nullptr},
      {"JSON by the Accept field", GetWith("/photos/", "Accept: application/json\r\n"), "HTTP/1.1 200 OK",
       "Content-Type", "application/json", "\"url\":\"/photos/pic%20one.png\""},
      {"JSON is another representation",
       GetWith("/photos/", "Accept: application/json\r\nIf-None-Match: " + etag + "\r\n"), "HTTP/1.1 200 OK",
       "Vary", "Accept", "\"name\":\"pic one.png\""},
      {"the root lists no hidden folder", GetWith("/", ""), "HTTP/1.1 200 OK", nullptr, nullptr,
       "photos/</a>"},
      {"a hidden folder is not listed", GetWith("/.git/", ""), "HTTP/1.1 404 Not found", nullptr, nullptr,
       nullptr},
  };
  for (const auto& c : cases) {
    const HttpAnswer answer = program.Request(c.raw);
    EXPECT_EQ(c.status, answer.status) << c.why;
    if (c.field) {
      EXPECT_EQ(c.value, answer.Field(c.field)) << c.why;
    }
    if (c.body) {
      EXPECT_NE(std::string::npos, answer.body.find(c.body)) << c.why << "\n" << answer.body;
    }
  }
  const HttpAnswer root = program.Get("/");
  EXPECT_EQ(std::string::npos, root.body.find(".git")) << root.body;
}

// Every link of a listing of hostile names leads to its file.
TEST(ListingProgram, LinksOfHostileNamesLeadToTheirFiles) {
  ServerProgram program;
  const struct {
    std::string name;
    std::string link;
  } cases[] = {
      {"caf\xE9 (Latin-1).txt", "/odd/caf%E9%20%28Latin-1%29.txt"},
      {std::string(251, 'n') + ".txt", "/odd/" + std::string(251, 'n') + ".txt"},
      {"-rf #1?&%.txt", "/odd/-rf%20%231%3F%26%25.txt"},
      {"<b>\"q\".txt", "/odd/%3Cb%3E%22q%22.txt"},
  };
  for (const auto& c : cases) program.WriteRootFile("odd/" + c.name, "content of " + c.name);
  program.WriteSettings("ListFolders=1\n");
  ASSERT_TRUE(program.Start()) << program.Stderr();
  const HttpAnswer listing = program.Get("/odd/");
  ASSERT_EQ("HTTP/1.1 200 OK", listing.status);
  for (const auto& c : cases) {
    EXPECT_NE(std::string::npos, listing.body.find("href=\"" + c.link + "\"")) << c.link;
    const HttpAnswer file = program.Get(c.link);
    EXPECT_EQ("HTTP/1.1 200 OK", file.status) << c.link;
    EXPECT_EQ("content of " + c.name, file.body) << c.link;
  }
  EXPECT_EQ(std::string::npos, listing.body.find("<b>")) << "no name becomes markup";
}

TEST(ListingProgram, WithoutListingsAFolderStaysNotFound) {
  ServerProgram program;
  program.WriteRootFile("photos/pic.png", "png");
  program.WriteRootFile("site/index.html", "home");
  program.WriteSettings("ListFolders=0\n");
  ASSERT_TRUE(program.Start()) << program.Stderr();
  const struct {
    const char* uri;
    const char* status;
  } cases[] = {
      {"/photos/", "HTTP/1.1 404 Not found"},
      // No redirect tells that the folder is there.
      {"/photos", "HTTP/1.1 404 Not found"},
      // A default document is still asked for under its folder's slash.
      {"/site", "HTTP/1.1 301 Moved Permanently"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.status, program.Get(c.uri).status) << c.uri;
}

}  // namespace
}  // namespace vt
