#include "http/url.h"

#include <gtest/gtest.h>

#include <string>

namespace vt {
namespace {

struct SplitCase {
  std::string url;
  std::string scheme;
  std::string host;
  std::string path;
};

TEST(URL, SplitsEveryForm) {
  const SplitCase cases[] = {
      // Path forms of request lines.
      {"/index.html", "", "", "/index.html"},
      {"*", "", "", "*"},
      {"  ", "", "", ""},
      {"./a", "", "", "./a"},
      {"//h/p", "", "h", "/p"},
      {"//h", "", "h", ""},
      // http and https keep the port in the host and the query in the path.
      {"http://host:8080/a/b?x=1", "http", "host:8080", "/a/b?x=1"},
      {"HTTPS://h", "https", "h", ""},
      {"http:h/x", "http", "h", "/x"},
      // Mail addresses.
      {"mailto: joe@example.org ", "mailto", "joe@example.org", ""},
      {"joe@example.org", "mailto", "joe@example.org", ""},
      {"@joe", "", "", "@joe"},
      // Local files, canonicalized with "\".
      {"file:/c|/dir/../a.txt", "file", "", "\\c_\\a.txt"},
      {"C:\\x\\.\\y", "file", "", "C:\\x\\y"},
      {"\\\\share\\d", "file", "", "\\\\share\\d"},
      // Generic forms.
      {"ftp://h/x", "ftp", "h", "/x"},
      {"localhost:80", "", "localhost:80", ""},
      {"localhost:80/p", "", "localhost:80", "/p"},
      {"ftp:x/y", "ftp", "x", "/y"},
      {"news:comp", "news", "comp", ""},
      {"a/b:c", "", "", "a/b:c"},
      {"plain", "", "", "plain"},
  };
  for (const SplitCase& c : cases) {
    std::string scheme = "old";
    std::string host = "old";
    std::string path = "old";
    SplitURL(c.url, scheme, host, path);
    EXPECT_EQ(c.scheme, scheme) << c.url;
    EXPECT_EQ(c.host, host) << c.url;
    EXPECT_EQ(c.path, path) << c.url;
  }
}

TEST(URL, ComposesAndSplitsHostPort) {
  EXPECT_EQ("http://h:81/a", ComposeURL("http", "h:81", "a"));
  EXPECT_EQ("HTTPS://h/", ComposeURL("HTTPS", "h", "/"));
  EXPECT_EQ("news:/x", ComposeURL("news", "", "x"));
  EXPECT_EQ("h/?q", ComposeURL("", "h", "?q"));
  EXPECT_EQ("mailto:joe@h", ComposeURL("mailto", "joe", "@h"));
  EXPECT_EQ("x:y:z", ComposeURL("x", "y", ":z"));
  EXPECT_EQ("h", ComposeURL("", "h", ""));

  std::string host;
  std::string port;
  SplitHostPort(" example:8080 ", "80", host, port);
  EXPECT_EQ("example", host);
  EXPECT_EQ("8080", port);
  SplitHostPort("example", "80", host, port);
  EXPECT_EQ("example", host);
  EXPECT_EQ("80", port);
  SplitHostPort("example: ", "443", host, port);
  EXPECT_EQ("443", port);
}

}  // namespace
}  // namespace vt
