// CGI runs through the real program: shell scripts with a "#!" line and the
// run bit stand in for CGI programs. Their environment is only the CGI
// variables (no PATH), so they use the shell's built-in commands.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <thread>

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

// A program named inside a longer path runs with the rest as PATH_INFO;
// paths that named something before name it still.
TEST_F(CgiTest, APathAfterTheProgramIsItsPathInfo) {
  program_.WriteRootProgram("cgi/pi.exe",
                            "#!/bin/sh\nprintf 'Content-Type: text/plain\\n\\n'\n"
                            "printf 'S=%s\\nP=%s\\nT=%s\\n' \"$SCRIPT_NAME\" \"${PATH_INFO-unset}\" "
                            "\"${PATH_TRANSLATED-unset}\"\n");
  program_.WriteRootProgram("cgi/.hidden/p.exe", "#!/bin/sh\nprintf 'Content-Type: text/plain\\n\\nrun'\n");
  program_.WriteRootFile("tool.exe/index.html", "a folder's page");
  const std::string root = program_.Root();
  const struct {
    const char* uri;
    const char* status;
    const char* body;  // nullptr: not compared
  } cases[] = {
      {"/cgi/pi.exe/demo.git/info/refs", "200 OK",
       "S=/cgi/pi.exe\nP=/demo.git/info/refs\nT=ROOT/demo.git/info/refs\n"},
      {"/cgi/pi.exe/a%20b?q=1", "200 OK", "S=/cgi/pi.exe\nP=/a b\nT=ROOT/a b\n"},
      {"/cgi/pi.exe", "200 OK", "S=/cgi/pi.exe\nP=unset\nT=unset\n"},
      {"/cgi/pi.exe/../../../etc/passwd", "200 OK", "S=/cgi/pi.exe\nP=/../../../etc/passwd\nT=unset\n"},
      {"/cgi/.hidden/p.exe/x", "404 Not found", nullptr},
      {"/cgi/missing.exe/x", "404 Not found", nullptr},
      {"/tool.exe/", "200 OK", "a folder's page"},
      {"/tool.exe/index.html", "200 OK", "a folder's page"},
  };
  for (const auto& c : cases) {
    const HttpAnswer answer = program_.Get(c.uri);
    EXPECT_EQ(std::string("HTTP/1.1 ") + c.status, answer.status) << c.uri;
    if (!c.body) continue;
    std::string body = c.body;
    for (std::size_t at; (at = body.find("ROOT")) != std::string::npos;) body.replace(at, 4, root);
    EXPECT_EQ(body, answer.body) << c.uri;
  }
}

// The resident memory of a process in KiB.
long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

bool ProcessGone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

// The process ids a program wrote into `file`, one a line.
std::vector<pid_t> PidsIn(const std::string& file) {
  std::vector<pid_t> pids;
  std::ifstream in(file);
  for (long pid; in >> pid;) pids.push_back(static_cast<pid_t>(pid));
  return pids;
}

// Bytes until the end of the stream (or `limit`); the head is counted too.
// Reads up to the close, or to the last chunk of a chunked answer (whose
// connection stays); the bytes read.
std::size_t DrainAll(int fd, std::string* head = nullptr) {
  char buffer[65536];
  std::size_t total = 0;
  std::string tail;
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return total;
    if (head && head->size() < 4096)
      head->append(buffer, static_cast<std::size_t>(std::min<ssize_t>(n, 4096)));
    total += static_cast<std::size_t>(n);
    tail.append(buffer, static_cast<std::size_t>(n));
    if (tail.size() > 7) tail.erase(0, tail.size() - 7);
    if (tail == "\r\n0\r\n\r\n") return total;
  }
}

TEST_F(CgiTest, AnswersStreamInBothDirectionsAndProgramsEndWithTheirClients) {
  // 5 MB out, beyond any read-ahead: it streams.
  program_.WriteRootProgram("cgi/big.exe",
                            "#!/bin/sh\nprintf 'Content-Type: application/octet-stream\\r\\n\\r\\n'\n"
                            "exec /usr/bin/head -c 5000000 /dev/zero\n");
  int fd = test::ConnectLoopback(program_.Port());
  test::SendAll(fd, "GET /cgi/big.exe HTTP/1.1\r\nHost: x\r\n\r\n");
  std::string head;
  const std::size_t total = DrainAll(fd, &head);
  ::close(fd);
  const std::size_t head_end = head.find("\r\n\r\n");
  ASSERT_NE(std::string::npos, head_end) << head.substr(0, 200);
  EXPECT_EQ(0u, head.rfind("HTTP/1.1 200 OK", 0));
  const bool chunked = head.substr(0, head_end).find("Transfer-Encoding: chunked") != std::string::npos;
  if (!chunked) {
    EXPECT_EQ(5000000u, total - head_end - 4) << "close-delimited, every byte";
  }

  // Writes 10 MB before it reads a 50 MB body: the server feeds the one
  // while it forwards the other.
  program_.WriteRootProgram("cgi/rw.exe",
                            "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
                            "/usr/bin/head -c 10000000 /dev/zero\nexec /usr/bin/wc -c\n");
  fd = test::ConnectLoopback(program_.Port());
  constexpr std::size_t kBody = 50000000;
  std::thread sender([fd] {
    test::SendAll(fd, "POST /cgi/rw.exe HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: " +
                          std::to_string(kBody) + "\r\n\r\n");
    const std::string block(1 << 20, 'b');
    for (std::size_t sent = 0; sent < kBody; sent += block.size()) test::SendAll(fd, block);
  });
  std::string answer, tail;
  char buffer[65536];
  const auto started = std::chrono::steady_clock::now();
  for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
    // Only the head and the tail matter.
    if (answer.size() < 4096) answer.append(buffer, static_cast<std::size_t>(n));
    tail.append(buffer, static_cast<std::size_t>(n));
    if (tail.size() > 64) tail.erase(0, tail.size() - 64);
  }
  sender.join();
  ::close(fd);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
  EXPECT_EQ(0u, answer.rfind("HTTP/1.1 200 OK", 0)) << answer.substr(0, 200);
  EXPECT_NE(std::string::npos, tail.find(std::to_string(kBody) + "\n")) << "the program read the whole body";

  // A client that goes away (a reset) ends its program at once: SIGTERM.
  program_.WriteRootProgram("cgi/slow.exe", "#!/bin/sh\necho $$ >> slow.pids\nexec /bin/sleep 60\n");
  const std::string pids = program_.Root() + "/cgi/slow.pids";
  fd = test::ConnectLoopback(program_.Port());
  test::SendAll(fd, "GET /cgi/slow.exe HTTP/1.1\r\nHost: x\r\n\r\n");
  ASSERT_TRUE(test::WaitFor([&] { return PidsIn(pids).size() == 1; }));
  const linger reset{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  ::close(fd);
  const pid_t slow = PidsIn(pids).front();
  EXPECT_TRUE(test::WaitFor([&] { return ProcessGone(slow); }, std::chrono::seconds(3)));
  // And one whose client ends its side.
  fd = test::ConnectLoopback(program_.Port());
  test::SendAll(fd, "GET /cgi/slow.exe HTTP/1.1\r\nHost: x\r\n\r\n");
  ASSERT_TRUE(test::WaitFor([&] { return PidsIn(pids).size() == 2; }));
  ::shutdown(fd, SHUT_WR);
  const pid_t half = PidsIn(pids).back();
  EXPECT_TRUE(test::WaitFor([&] { return ProcessGone(half); }, std::chrono::seconds(3)));
  ::close(fd);
}

// A program that writes a little, then nothing for a while: what it wrote
// reaches the client before it goes on.
TEST_F(CgiTest, ABodyThatComesSlowlyReachesTheClientAsItComes) {
  program_.WriteRootProgram("cgi/drip.exe",
                            "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\nfirst'\n/bin/sleep 4\n"
                            "printf second\n");
  const int fd = test::ConnectLoopback(program_.Port());
  test::SendAll(fd, "GET /cgi/drip.exe HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  const timeval wait{0, 200000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  const auto started = std::chrono::steady_clock::now();
  std::string got;
  while (got.find("first") == std::string::npos &&
         std::chrono::steady_clock::now() - started < std::chrono::milliseconds(3500)) {
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
    if (n == 0) break;
  }
  EXPECT_NE(std::string::npos, got.find("first")) << got;
  EXPECT_EQ(std::string::npos, got.find("second")) << "before the program went on";
  EXPECT_EQ(std::string::npos, got.find("Content-Length")) << "its length is not known yet";
  ::close(fd);
}

// 100 MB for a client that reads 100 KB a second: the program waits for the
// client, the server holds no more than its buffers.
TEST_F(CgiTest, ASlowClientSlowsTheProgramAndNeverGrowsTheServer) {
  program_.WriteRootProgram("cgi/hundred.exe",
                            "#!/bin/sh\nprintf 'Content-Type: application/octet-stream\\r\\n\\r\\n'\n"
                            "echo $$ > hundred.pid\nexec /usr/bin/head -c 100000000 /dev/zero\n");
  EXPECT_EQ("hello", program_.Get("/cgi/five.exe").body);  // warm
  const long idle = ResidentKiB(program_.Pid());
  ASSERT_GT(idle, 0);
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const int small = 16384;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  ::close(test::ConnectLoopback(program_.Port()));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(program_.Port());
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
  test::SendAll(fd, "GET /cgi/hundred.exe HTTP/1.1\r\nHost: x\r\n\r\n");
  long peak = idle;
  std::size_t taken = 0;
  char buffer[10000];
  for (int tick = 0; tick < 40; ++tick) {  // 4 s at 100 KB/s
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    ASSERT_GT(n, 0);
    taken += static_cast<std::size_t>(n);
    peak = std::max(peak, ResidentKiB(program_.Pid()));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_LT(taken, 1000000u);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // (A sanitizer keeps memory of its own per thread and per freed block:
  // the bound is the normal build's.)
  EXPECT_LT(peak - idle, 4096) << "KiB beyond idle, idle " << idle;
#endif
  const std::vector<pid_t> pid = PidsIn(program_.Root() + "/cgi/hundred.pid");
  ASSERT_EQ(1u, pid.size());
  EXPECT_FALSE(ProcessGone(pid[0])) << "it waits for its client";
  ::close(fd);
  EXPECT_TRUE(test::WaitFor([&] { return ProcessGone(pid[0]); }, std::chrono::seconds(3)));
}

// Every place held by a slow program whose client has gone: the programs
// end, and a newcomer from another address is served within seconds.
TEST_F(CgiTest, ProgramsWhoseClientsLeaveFreeTheirPlaces) {
#if defined(__SANITIZE_THREAD__)
  // Under ThreadSanitizer each start of a program stops every thread of
  // the server for a long while: 64 at once take minutes, which says
  // nothing of the places being freed. The other builds run it.
  GTEST_SKIP() << "64 program starts at once are too slow under ThreadSanitizer";
#endif
  program_.WriteRootProgram("cgi/slow.exe", "#!/bin/sh\necho $$ >> slow.pids\nexec /bin/sleep 60\n");
  const std::string pids = program_.Root() + "/cgi/slow.pids";
  std::vector<int> clients;
  for (int i = 0; i < 64; ++i) {
    clients.push_back(test::ConnectLoopback(program_.Port()));
    test::SendAll(clients.back(), "GET /cgi/slow.exe HTTP/1.1\r\nHost: x\r\n\r\n");
  }
  ASSERT_TRUE(test::WaitFor([&] { return PidsIn(pids).size() == 64; }, std::chrono::seconds(20)))
      << PidsIn(pids).size();
  const auto left = std::chrono::steady_clock::now();
  for (const int fd : clients) {
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(fd);
  }
  const int newcomer = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  ::inet_pton(AF_INET, "127.0.0.2", &address.sin_addr);
  ASSERT_EQ(0, ::bind(newcomer, reinterpret_cast<sockaddr*>(&address), sizeof address));
  address.sin_port = htons(program_.Port());
  ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  ASSERT_EQ(0, ::connect(newcomer, reinterpret_cast<sockaddr*>(&address), sizeof address));
  test::SendAll(newcomer, "GET /cgi/five.exe HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  const HttpAnswer answer = test::ReadAnswer(newcomer, false, std::chrono::seconds(5));
  ::close(newcomer);
  EXPECT_EQ("hello", answer.body);
  EXPECT_LT(std::chrono::steady_clock::now() - left, std::chrono::seconds(5));
  const auto deadline = left + std::chrono::seconds(3);
  EXPECT_TRUE(test::WaitFor(
      [&] {
        for (const pid_t pid : PidsIn(pids)) {
          if (!ProcessGone(pid)) return false;
        }
        return true;
      },
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())));
}

// Programs no one here wrote, which route by PATH_INFO: a WSGI application
// behind Python's CGI handler, and git's smart HTTP behind a wrapper.
TEST_F(CgiTest, RealProgramsRouteByPathInfo) {
  program_.WriteRootProgram("cgi/app.exe",
                            "#!/usr/bin/python3\n"
                            "from wsgiref.handlers import CGIHandler\n"
                            "def app(environ, start_response):\n"
                            "    path = environ.get('PATH_INFO', '')\n"
                            "    if path == '/hello':\n"
                            "        status, body = '200 OK', b'hello from wsgi'\n"
                            "    elif path == '/echo':\n"
                            "        n = int(environ.get('CONTENT_LENGTH') or 0)\n"
                            "        status, body = '200 OK', environ['wsgi.input'].read(n)\n"
                            "    else:\n"
                            "        status, body = '404 Not Found', b'no route for ' + path.encode()\n"
                            "    start_response(status, [('Content-Type', 'text/plain')])\n"
                            "    return [body]\n"
                            "CGIHandler().run(app)\n");
  EXPECT_EQ("hello from wsgi", program_.Get("/cgi/app.exe/hello").body);
  const HttpAnswer missing = program_.Get("/cgi/app.exe/nothing");
  EXPECT_EQ("HTTP/1.1 404 Not Found", missing.status);
  EXPECT_EQ("no route for /nothing", missing.body);
  const HttpAnswer echo = program_.Request(
      "POST /cgi/app.exe/echo HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: 9\r\n\r\nfrom "
      "body");
  EXPECT_EQ("from body", echo.body);

  const std::string backend = "/usr/lib/git-core/git-http-backend";
  if (::access(backend.c_str(), X_OK) != 0 || ::access("/usr/bin/git", X_OK) != 0)
    GTEST_SKIP() << "git's smart HTTP program is not installed";
  const std::string dir = program_.Dir();
  program_.WriteRootProgram("cgi/git.exe", "#!/bin/sh\nexport GIT_PROJECT_ROOT=" + dir +
                                               "/repos GIT_HTTP_EXPORT_ALL=1 PATH=/usr/bin:/bin\nexec " +
                                               backend + "\n");
  const std::string git =
      "HOME=" + dir + " GIT_CONFIG_NOSYSTEM=1 /usr/bin/git -c user.name=t -c user.email=t@t ";
  // What the commands say goes to a file, shown when one fails.
  const std::string said = dir + "/git.log";
  const auto run = [&](const std::string& command) {
    return std::system((command + " >>" + said + " 2>&1").c_str());
  };
  ASSERT_EQ(0, run(git + "init -q --bare " + dir + "/repos/demo.git"));
  ASSERT_EQ(0, run(git + "-C " + dir + "/repos/demo.git config http.receivepack true"));
  ASSERT_EQ(0, run(git + "init -q " + dir + "/first"));
  std::ofstream(dir + "/first/one.txt") << "one\n";
  ASSERT_EQ(0, run(git + "-C " + dir + "/first add one.txt"));
  ASSERT_EQ(0, run(git + "-C " + dir + "/first commit -q -m one"));
  ASSERT_EQ(0, run(git + "-C " + dir + "/first push -q " + dir + "/repos/demo.git HEAD:refs/heads/master"));
  const std::string url = "http://127.0.0.1:" + std::to_string(program_.Port()) + "/cgi/git.exe/demo.git";
  ASSERT_EQ(0, run(git + "clone -q " + url + " " + dir + "/work"));
  EXPECT_EQ("one\n", test::ReadFileText(dir + "/work/one.txt")) << test::ReadFileText(said);
  // A pack over 1 MiB, sent chunked by git in pieces of 64 KiB.
  {
    std::mt19937 noise(33);
    std::string bytes(1500000, '\0');
    for (char& byte : bytes) byte = static_cast<char>(noise());
    std::ofstream(dir + "/work/noise.bin", std::ios::binary) << bytes;
  }
  ASSERT_EQ(0, run(git + "-C " + dir + "/work add noise.bin"));
  ASSERT_EQ(0, run(git + "-C " + dir + "/work commit -q -m noise"));
  EXPECT_EQ(0, run(git + "-c http.postBuffer=65536 -C " + dir + "/work push -q origin HEAD"));
  EXPECT_EQ(0, run(git + "-C " + dir + "/repos/demo.git cat-file -e HEAD:noise.bin"))
      << "the pushed commit is in the repository\n"
      << test::ReadFileText(said);
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
