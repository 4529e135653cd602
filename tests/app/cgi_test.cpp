// CGI runs through the real program: shell scripts with a "#!" line and the
// run bit stand in for CGI programs. Their environment is only the CGI
// variables (no PATH), so they use the shell's built-in commands.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "app_test_support.h"
#include "socket_test_support.h"

namespace vt {
namespace {

using test::HttpAnswer;
using test::ServerProgram;

// Prints the variables it is asked about as NAME=value lines ("(unset)" for
// a missing one), then its working directory.
const char* const kEnvScript =
    "#!/bin/sh\n"
    "printf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
    "for v in GATEWAY_INTERFACE REQUEST_METHOD QUERY_STRING CONTENT_LENGTH REQUEST_URI SCRIPT_NAME PATH_INFO "
    "\\\n"
    "    AUTH_TYPE USER_NAME USER_PASSWORD SERVER_SOFTWARE REMOTE_ADDR SERVER_PORT SCRIPT_FILENAME HOME; do\n"
    "  eval \"value=\\${$v-(unset)}\"\n"
    "  printf '%s=%s\\n' \"$v\" \"$value\"\n"
    "done\n"
    "printf 'cwd=%s\\n' \"$(pwd -P)\"\n";

std::map<std::string, std::string> Lines(const std::string& body) {
  std::map<std::string, std::string> values;
  std::size_t start = 0;
  for (std::size_t end; (end = body.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = body.substr(start, end - start);
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

class CgiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    program_.WriteRootProgram("cgi/five.exe",
                              "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\nhello'\n");
    program_.WriteRootProgram("cgi/env.exe", kEnvScript);
    program_.WriteSettings();
    ASSERT_TRUE(program_.Start()) << program_.Stderr();
  }
  ServerProgram program_;
};

// Programs as scripts write them, and what the client gets. Fields are
// "Name=value" ("Name=" for a field that must be absent).
TEST_F(CgiTest, TheHeaderSectionEndsAtTheFirstEmptyLine) {
  const struct {
    const char* name;
    const char* output;  // printf's format
    const char* status;
    std::vector<std::string> fields;
    const char* body;
  } cases[] = {
      {"crlf",
       "Content-Type: text/plain\\r\\n\\r\\nhello",
       "200 OK",
       {"Content-Type=text/plain", "Content-Length=5"},
       "hello"},
      {"lf",
       "Content-Type: text/plain\\nX-Lf: yes\\n\\nbody\\n",
       "200 OK",
       {"X-Lf=yes", "Content-Length=5"},
       "body\n"},
      {"mixed",
       "X-A: 1\\r\\nX-B:2\\n\\r\\nbody\\r\\n\\r\\nmore",
       "200 OK",
       {"X-A=1", "X-B=2"},
       "body\r\n\r\nmore"},
      {"tab", "X-Tab: a\\tb\\n\\n", "200 OK", {"X-Tab=a\tb"}, ""},
      {"nosplit", "X-One: 1\\r\\nX-Two: 2\\r\\n", "200 OK", {"X-One=1", "X-Two=2", "Content-Length=0"}, ""},
      {"silent", "", "200 OK", {"Content-Length=0"}, ""},
      {"status",
       "Status: 404 Not Here\\r\\nContent-Type: text/plain\\r\\n\\r\\ngone",
       "404 Not Here",
       {"Status=", "Content-Type=text/plain"},
       "gone"},
      {"code", "status: 500\\n\\nbroke", "500 Internal Server Error", {"Status="}, "broke"},
      {"location", "Location: /elsewhere.html\\n\\n", "302 Found", {"Location=/elsewhere.html"}, ""},
      {"moved",
       "Status: 301 Moved Permanently\\nLocation: http://example.test/\\n\\n",
       "301 Moved Permanently",
       {"Location=http://example.test/"},
       ""},
      {"nocontent", "Status: 204\n\nignored", "204 No Content", {"Content-Length="}, ""},
      // The server frames the body it collected, whatever the program says.
      {"framing",
       "Content-Length: 999\\r\\nTransfer-Encoding: chunked\\r\\nConnection: keep-alive\\r\\n\\r\\nabc",
       "200 OK",
       {"Content-Length=3", "Transfer-Encoding=", "Connection=close"},
       "abc"},
  };
  for (const auto& c : cases) {
    program_.WriteRootProgram(std::string("cgi/") + c.name + ".exe",
                              std::string("#!/bin/sh\nprintf '") + c.output + "'\n");
    const HttpAnswer answer = program_.Get(std::string("/cgi/") + c.name + ".exe");
    EXPECT_EQ(std::string("HTTP/1.1 ") + c.status, answer.status) << c.name;
    for (const std::string& field : c.fields) {
      const std::string name = field.substr(0, field.find('='));
      const std::string value = field.substr(field.find('=') + 1);
      if (value.empty()) {
        EXPECT_FALSE(answer.Has(name)) << c.name << ": " << name;
      } else {
        EXPECT_EQ(value, answer.Field(name)) << c.name << ": " << name;
      }
    }
    EXPECT_EQ(c.body, answer.body) << c.name;
  }
}

// Output that is no answer gets the 502 page and a line in the server's log;
// none of it reaches the client.
TEST_F(CgiTest, OutputThatIsNoAnswerGetsThe502Page) {
  const std::pair<const char*, const char*> cases[] = {
      {"bare", "printf 'hello'"},
      {"blank", "printf 'Bad Name: x\\r\\n\\r\\nSet-Cookie'"},
      {"colon", "printf ': x\\n\\n'"},
      {"folded", "printf 'X-A: 1\\n Set-Cookie: s=1\\n\\n'"},
      {"control", "printf 'X-A: a\\001b\\r\\n\\r\\n'"},
      {"cr", "printf 'X-A: a\\rSet-Cookie: s=1\\r\\n\\r\\nbody'"},
      {"escape", "printf 'X-A: \\033[31mred\\n\\n'"},
      {"nostatus", "printf 'Status: abc\\n\\n'"},
      {"interim", "printf 'Status: 101 Switching Protocols\\n\\n'"},
      {"twice", "printf 'Status: 200 OK\\nStatus: 404 No\\n\\n'"},
      {"nowhere", "printf 'Location: \\n\\n'"},
      {"lines", "/usr/bin/yes 'X-Fill: 0123456789' | /usr/bin/head -c 14000000"},  // 14 MB of header
      {"long",
       "printf 'X-Big: '; /usr/bin/head -c 14000000 /dev/zero | /usr/bin/tr '\\\\0' a; printf '\\n\\nx'"},
  };
  for (const auto& [name, script] : cases) {
    const std::string path = program_.WriteRootProgram(std::string("cgi/") + name + ".exe",
                                                       std::string("#!/bin/sh\n") + script + "\n");
    const HttpAnswer answer = program_.Get(std::string("/cgi/") + name + ".exe");
    EXPECT_EQ("HTTP/1.1 502 Bad Gateway", answer.status) << name;
    EXPECT_NE(std::string::npos, answer.body.find("The CGI program gave no valid answer")) << name;
    EXPECT_FALSE(answer.Has("Set-Cookie")) << name;
    EXPECT_EQ(std::string::npos, answer.body.find("Set-Cookie")) << name;
    EXPECT_TRUE(test::WaitFor([&] {
      return program_.Stderr().find("CGI program " + path + " gave no valid answer: ") != std::string::npos;
    })) << name;
  }
  EXPECT_NE(std::string::npos, program_.Stderr().find("header line 1 (X-A) holds a control character"));
  EXPECT_NE(std::string::npos, program_.Stderr().find("its header section is longer than 65536 bytes"));
}

// A program's own framing once split its answer in two on a kept-alive
// connection: the client read the second half as the answer to its next
// request.
TEST_F(CgiTest, AProgramCannotForgeTheNextAnswer) {
  program_.WriteRootProgram("cgi/forge.exe",
                            "#!/bin/sh\nprintf 'Transfer-Encoding: chunked\\r\\n\\r\\n0\\r\\n\\r\\n"
                            "HTTP/1.1 200 OK\\r\\nContent-Length: 6\\r\\n\\r\\nforged'\n");
  const int fd = test::ConnectLoopback(program_.Port());
  test::SendAll(
      fd, "GET /cgi/forge.exe HTTP/1.1\r\nHost: x\r\n\r\nGET /cgi/five.exe HTTP/1.1\r\nHost: x\r\n\r\n");
  const HttpAnswer first = test::ReadAnswer(fd);
  const HttpAnswer second = test::ReadAnswer(fd);
  ::close(fd);
  EXPECT_EQ("keep-alive", first.Field("Connection"));
  EXPECT_FALSE(first.Has("Transfer-Encoding"));
  EXPECT_EQ("0\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nforged", first.body);
  EXPECT_EQ("hello", second.body);
}

// A POST's body reaches the program's standard input, announced by
// CONTENT_LENGTH and CONTENT_TYPE; other methods give it no input. Only GET
// and HEAD reach files, and the 405 page says what is allowed.
TEST_F(CgiTest, PostBodiesGoToTheProgramAndOtherMethodsGet405) {
  program_.WriteRootProgram(
      "cgi/echo.exe",
      "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n%s|%s|' \"$CONTENT_LENGTH\" "
      "\"$CONTENT_TYPE\"\n[ -p /dev/stdin ] && printf pipe|| printf none\nprintf '|'\n"
      "exec /bin/cat\n");
  program_.WriteRootFile("notes.txt", "notes");
  const std::string form = "Content-Type: application/x-www-form-urlencoded\r\n";
  const struct {
    std::string request;
    const char* status;
    const char* allow;
    const char* body;
  } cases[] = {
      {"POST /cgi/echo.exe HTTP/1.1\r\n" + form + "Content-Length: 12\r\n\r\nname=Ann&x=1", "200 OK", "",
       "12|application/x-www-form-urlencoded|pipe|name=Ann&x=1"},
      {"POST /cgi/echo.exe HTTP/1.1\r\n" + form +
           "Transfer-Encoding: chunked\r\n\r\n4\r\nname\r\n4\r\n=Ann\r\n0\r\n\r\n",
       "200 OK", "", "8|application/x-www-form-urlencoded|pipe|name=Ann"},
      {"post /cgi/echo.exe HTTP/1.1\r\nContent-Length: 0\r\n\r\n", "200 OK", "", "0||none|"},
      {"GET /cgi/echo.exe HTTP/1.1\r\n\r\n", "200 OK", "", "0||none|"},
      {"PUT /cgi/echo.exe HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", "405 Method not supported",
       "GET, HEAD, POST", nullptr},
      {"POST /notes.txt HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", "405 Method not supported", "GET, HEAD",
       nullptr},
      {"DELETE /missing.txt HTTP/1.1\r\n\r\n", "405 Method not supported", "GET, HEAD", nullptr},
  };
  for (const auto& c : cases) {
    std::string raw = c.request;
    raw.insert(raw.find("\r\n") + 2, "Host: x\r\nConnection: close\r\n");
    const HttpAnswer answer = program_.Request(raw);
    EXPECT_EQ(std::string("HTTP/1.1 ") + c.status, answer.status) << c.request;
    EXPECT_EQ(c.allow, answer.Field("Allow")) << c.request;
    if (c.body) {
      EXPECT_EQ(c.body, answer.body) << c.request;
    }
  }
}

TEST_F(CgiTest, EnvironmentAndWorkingDirectory) {
  const HttpAnswer plain = program_.Get("/cgi/env.exe?a=1&x=a+b");
  ASSERT_EQ("HTTP/1.1 200 OK", plain.status) << plain.body;
  std::map<std::string, std::string> env = Lines(plain.body);
  EXPECT_EQ("CGI/1.1", env["GATEWAY_INTERFACE"]);
  EXPECT_EQ("GET", env["REQUEST_METHOD"]);
  EXPECT_EQ("a=1&x=a+b", env["QUERY_STRING"]) << "as sent";
  EXPECT_EQ("0", env["CONTENT_LENGTH"]);
  EXPECT_EQ("/cgi/env.exe", env["REQUEST_URI"]);
  EXPECT_EQ("/cgi/env.exe", env["SCRIPT_NAME"]);
  EXPECT_EQ("(unset)", env["PATH_INFO"]);
  EXPECT_EQ("(unset)", env["AUTH_TYPE"]);
  EXPECT_EQ("(unset)", env["USER_NAME"]);
  EXPECT_EQ("(unset)", env["USER_PASSWORD"]);
  EXPECT_EQ("Veltrana", env["SERVER_SOFTWARE"]);
  EXPECT_EQ("127.0.0.1", env["REMOTE_ADDR"]);
  EXPECT_EQ(std::to_string(program_.Port()), env["SERVER_PORT"]);
  EXPECT_EQ(program_.Root() + "/cgi/env.exe", env["SCRIPT_FILENAME"]);
  EXPECT_EQ("(unset)", env["HOME"]) << "only the CGI variables";
  EXPECT_EQ(std::filesystem::canonical(program_.Root() + "/cgi").string(), env["cwd"]);

  // "user:pass" in Base64.
  const HttpAnswer authorised = program_.Request(
      "GET /cgi/env.exe HTTP/1.1\r\nHost: x\r\nConnection: close\r\nAuthorization: Basic "
      "dXNlcjpwYXNz\r\n\r\n");
  env = Lines(authorised.body);
  EXPECT_EQ("Basic", env["AUTH_TYPE"]);
  EXPECT_EQ("user", env["USER_NAME"]);
  EXPECT_EQ("pass", env["USER_PASSWORD"]);
  EXPECT_EQ("(unset)", env["QUERY_STRING"]);
}

TEST_F(CgiTest, HeadRunsTheProgramAndKeepAliveRunsAnother) {
  program_.WriteRootProgram(
      "cgi/mark.exe", "#!/bin/sh\nprintf x >> ran.txt\nprintf 'Content-Type: text/plain\\r\\n\\r\\nabc'\n");
  const HttpAnswer head =
      program_.Request("HEAD /cgi/mark.exe HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", true);
  EXPECT_EQ("HTTP/1.1 200 OK", head.status);
  EXPECT_EQ("3", head.Field("Content-Length"));
  EXPECT_EQ("", head.body);
  EXPECT_EQ("x", test::ReadFileText(program_.Root() + "/cgi/ran.txt")) << "the program ran once";

  const int fd = test::ConnectLoopback(program_.Port());
  test::SendAll(fd, "GET /cgi/five.exe HTTP/1.1\r\nHost: x\r\n\r\n");
  const HttpAnswer first = test::ReadAnswer(fd);
  test::SendAll(fd, "GET /cgi/env.exe?second HTTP/1.1\r\nHost: x\r\n\r\n");
  const HttpAnswer second = test::ReadAnswer(fd);
  ::close(fd);
  EXPECT_EQ("hello", first.body);
  EXPECT_EQ("keep-alive", first.Field("Connection"));
  EXPECT_EQ("second", Lines(second.body)["QUERY_STRING"]);
}

// The second request on a kept-alive connection gets what it would get on a
// connection of its own, and logs the same line: nothing of the first (its
// fields, body, target, method, conditions, credentials) is left over.
TEST_F(CgiTest, NothingOfOneRequestReachesTheNextOnTheSameConnection) {
  program_.WriteRootFile("page.txt", "0123456789");
  const std::string env = "GET /cgi/env.exe HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string page = "GET /page.txt HTTP/1.1\r\nHost: x\r\n\r\n";
  const struct {
    const char* name;
    std::string first;
    bool firstHasNoBody;
    std::string second;
  } cases[] = {
      {"query, credentials, agent",
       "GET /cgi/env.exe?one HTTP/1.1\r\nHost: x\r\nAuthorization: Basic dTpw\r\nUser-Agent: a/1\r\n"
       "Referer: http://r/\r\n\r\n",
       false, env},
      {"body", "POST /cgi/env.exe HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nabcde", false, env},
      {"absolute target", "GET http://other.example:81/cgi/env.exe?t HTTP/1.1\r\nHost: x\r\n\r\n", false,
       env},
      {"HEAD", "HEAD /page.txt HTTP/1.1\r\nHost: x\r\n\r\n", true, page},
      {"range", "GET /page.txt HTTP/1.1\r\nHost: x\r\nRange: bytes=2-3\r\n\r\n", false, page},
      {"condition",
       "GET /page.txt HTTP/1.1\r\nHost: x\r\nIf-Modified-Since: Fri, 01 Jan 2100 00:00:00 GMT\r\n\r\n", true,
       page},
  };
  // The default template starts with the date and time; the rest must match.
  const auto logged = [](const std::string& line) {
    return line.substr(std::min<std::size_t>(20, line.size()));
  };
  std::size_t lines = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const test::HttpAnswer alone = program_.Request(c.second);
    const std::string alone_line = logged(program_.LogLines(++lines).back());
    const int fd = test::ConnectLoopback(program_.Port());
    test::SendAll(fd, c.first);
    const test::HttpAnswer first = test::ReadAnswer(fd, c.firstHasNoBody);
    ASSERT_FALSE(first.status.empty());
    test::SendAll(fd, c.second);
    const test::HttpAnswer second = test::ReadAnswer(fd);
    ::close(fd);
    lines += 2;
    EXPECT_EQ(alone.status, second.status);
    EXPECT_EQ(alone.body, second.body);
    EXPECT_EQ(alone.Field("Content-Length"), second.Field("Content-Length"));
    EXPECT_EQ(alone.Field("Content-Range"), second.Field("Content-Range"));
    EXPECT_EQ(alone_line, logged(program_.LogLines(lines).back()));
  }
}

TEST_F(CgiTest, TheMappedFileRunsAsNamed) {
  program_.WriteRootProgram("%HOME%.exe", "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\nitself'\n");
  const HttpAnswer answer = program_.Get("/%25HOME%25.exe");
  EXPECT_EQ("HTTP/1.1 200 OK", answer.status) << answer.body;
  EXPECT_EQ("itself", answer.body);
}

TEST_F(CgiTest, ProgramsThatCannotRunOrBreakABoundGetThe500Page) {
  program_.WriteRootFile("cgi/plain.exe", "#!/bin/sh\nprintf 'not run'\n");  // no run bit
  const HttpAnswer denied = program_.Get("/cgi/plain.exe");
  program_.LogLines(1);
  EXPECT_EQ("HTTP/1.1 500 Internal Server Error", denied.status);
  EXPECT_NE(std::string::npos, denied.body.find("Permission denied")) << denied.body;

  // Writes without end and without a line: no header section within its
  // bound.
  program_.WriteRootProgram("cgi/flood.exe", "#!/bin/sh\nexec /bin/cat /dev/zero\n");
  const auto started = std::chrono::steady_clock::now();
  const HttpAnswer flood = program_.Get("/cgi/flood.exe");
  program_.LogLines(2);
  EXPECT_EQ("HTTP/1.1 502 Bad Gateway", flood.status);
  EXPECT_NE(std::string::npos, flood.body.find("longer than 65536 bytes")) << flood.body;
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));

  // The server goes on serving, and the failures are logged with their
  // status.
  EXPECT_EQ("hello", program_.Get("/cgi/five.exe").body);
  const std::vector<std::string> lines = program_.LogLines(3);
  ASSERT_EQ(3u, lines.size());
  EXPECT_NE(std::string::npos, lines[0].find(" 500 ")) << lines[0];
  EXPECT_NE(std::string::npos, lines[1].find(" 502 ")) << lines[1];
  // The access log line is written by the request's thread; the program's
  // own log line goes through the main thread and may come later.
  EXPECT_TRUE(test::WaitFor([&] { return program_.Stderr().find("CGI run of ") != std::string::npos; }))
      << program_.Stderr();
}

TEST(Cgi, TheDemoProgramEscapesWhatItShows) {
  ServerProgram program;
  std::filesystem::create_directories(program.Root() + "/cgi");
  std::filesystem::copy_file(VT_DEMO_HELLO_FILE, program.Root() + "/cgi/hello.exe");
  program.WriteSettings();
  ASSERT_TRUE(program.Start()) << program.Stderr();
  const HttpAnswer answer = program.Get("/cgi/hello.exe?name=%3Cb%3EAnn%3C/b%3E");
  EXPECT_EQ("HTTP/1.1 200 OK", answer.status);
  EXPECT_EQ("text/html", answer.Field("Content-Type"));
  EXPECT_NE(std::string::npos, answer.body.find("<h1>Hello, &lt;b&gt;Ann&lt;/b&gt;!</h1>")) << answer.body;
  EXPECT_NE(std::string::npos, answer.body.find("<td>Veltrana</td>"));

  // The program decodes its query itself, once: an encoded "&" is part of
  // the value, and "%25" is a percent sign.
  const std::pair<const char*, const char*> queries[] = {
      {"?name=x%26admin%3D1&admin=", "<h1>Hello, x&amp;admin=1!</h1>"},
      {"?name=100%2541", "<h1>Hello, 100%41!</h1>"},
      {"?name=Ann+Lee", "<h1>Hello, Ann Lee!</h1>"},
  };
  for (const auto& [query, greeting] : queries) {
    const HttpAnswer greeted = program.Get(std::string("/cgi/hello.exe") + query);
    EXPECT_NE(std::string::npos, greeted.body.find(greeting)) << query << "\n" << greeted.body;
  }
  // Its form is sent with POST.
  const HttpAnswer posted = program.Request(
      "POST /cgi/hello.exe HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
      "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 20\r\n\r\nname=Ann+%26+Lee&x=1");
  EXPECT_NE(std::string::npos, posted.body.find("<h1>Hello, Ann &amp; Lee!</h1>")) << posted.body;
}

}  // namespace
}  // namespace vt
