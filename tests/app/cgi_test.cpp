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

TEST_F(CgiTest, OutputSplitsIntoHeaderAndBody) {
  const HttpAnswer five = program_.Get("/cgi/five.exe");
  EXPECT_EQ("HTTP/1.1 200 OK", five.status);
  EXPECT_EQ("text/plain", five.Field("Content-Type"));
  EXPECT_EQ("5", five.Field("Content-Length"));
  EXPECT_EQ("hello", five.body);

  program_.WriteRootProgram("cgi/NoSplit.EXE", "#!/bin/sh\nprintf 'X-One: 1\\r\\nX-Two: 2\\r\\n'\n");
  const HttpAnswer nosplit = program_.Get("/cgi/NoSplit.EXE");
  EXPECT_EQ("HTTP/1.1 200 OK", nosplit.status);
  EXPECT_EQ("1", nosplit.Field("X-One"));
  EXPECT_EQ("2", nosplit.Field("X-Two"));
  EXPECT_EQ("0", nosplit.Field("Content-Length"));
  EXPECT_EQ("", nosplit.body);

  program_.WriteRootProgram("cgi/lf.exe",
                            "#!/bin/sh\nprintf 'Content-Type: text/plain\\nX-Lf: yes\\n\\nbody\\n'\n");
  const HttpAnswer lf = program_.Get("/cgi/lf.exe");
  EXPECT_EQ("yes", lf.Field("X-Lf")) << "LF alone never ends the header";
  EXPECT_EQ("0", lf.Field("Content-Length"));
  EXPECT_EQ("", lf.body);

  program_.WriteRootProgram("cgi/silent.exe", "#!/bin/sh\nexit 3\n");
  const HttpAnswer silent = program_.Get("/cgi/silent.exe");
  EXPECT_EQ("HTTP/1.1 200 OK", silent.status);
  EXPECT_EQ("0", silent.Field("Content-Length"));
  EXPECT_EQ("", silent.body);

  program_.WriteRootProgram("cgi/status.exe", "#!/bin/sh\nprintf 'Status: 404 Not Found\\r\\n\\r\\nx'\n");
  const HttpAnswer status = program_.Get("/cgi/status.exe");
  EXPECT_EQ("HTTP/1.1 200 OK", status.status) << "a Status line is an ordinary field";
  EXPECT_EQ("404 Not Found", status.Field("Status"));
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

  // Writes without end: killed at the output bound (16 MiB).
  program_.WriteRootProgram("cgi/flood.exe", "#!/bin/sh\nexec /bin/cat /dev/zero\n");
  const auto started = std::chrono::steady_clock::now();
  const HttpAnswer flood = program_.Get("/cgi/flood.exe");
  program_.LogLines(2);
  EXPECT_EQ("HTTP/1.1 500 Internal Server Error", flood.status);
  EXPECT_NE(std::string::npos, flood.body.find("wrote more than 16777216 bytes")) << flood.body;
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));

  // The server goes on serving, and the failures are logged as 500.
  EXPECT_EQ("hello", program_.Get("/cgi/five.exe").body);
  const std::vector<std::string> lines = program_.LogLines(3);
  ASSERT_EQ(3u, lines.size());
  EXPECT_NE(std::string::npos, lines[0].find(" 500 ")) << lines[0];
  EXPECT_NE(std::string::npos, lines[1].find(" 500 ")) << lines[1];
  EXPECT_NE(std::string::npos, program_.Stderr().find("CGI run of "));
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
}

}  // namespace
}  // namespace vt
