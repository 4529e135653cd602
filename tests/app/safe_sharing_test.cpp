// Safe sharing, end to end with the real program: where it listens, hidden
// files and its own files, and the password. Clients on loopback addresses
// only.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "app/password.h"
#include "app_test_support.h"
#include "socket_test_support.h"

namespace vt {
namespace {

using test::HttpAnswer;
using test::ServerProgram;

std::string Raw(const std::string& uri, const std::string& extra = std::string()) {
  return "GET " + uri + " HTTP/1.1\r\nHost: h\r\nConnection: close\r\n" + extra + "\r\n";
}

// The status line of a GET for "/" from `client`; empty when it cannot
// connect.
std::string StatusFrom(const std::string& client, std::uint16_t port) {
  const int fd = test::ConnectTo(client, port);
  if (fd < 0) return std::string();
  test::SendAll(fd, Raw("/"));
  const HttpAnswer answer = test::ReadAnswer(fd);
  ::close(fd);
  return answer.status;
}

TEST(SafeSharing, ListensWhereTheSettingSays) {
  if (const std::string why = test::NoIPv6Loopback(); !why.empty()) GTEST_SKIP() << why;
  const struct {
    const char* listen_on;
    bool v4, other_v4, v6;  // 127.0.0.1, 127.0.0.2, ::1 reach it
    const char* line;       // in its start lines ("#": the port)
  } cases[] = {
      {"all", true, true, true, "Listening on [::]:# (every IPv6 and IPv4 address)"},
      {"local", true, false, true, "Listening on 127.0.0.1:#, [::1]:#"},
      {"127.0.0.2", false, true, false, "Reach it at http://127.0.0.2:#/ (from this computer only)"},
      {"[::1]", false, false, true, "Reach it at http://localhost:#/ (from this computer only)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.listen_on);
    ServerProgram program;
    program.WriteRootFile("index.html", "home");
    program.WriteSettings(std::string("ListenOn=") + c.listen_on + "\n");
    ASSERT_TRUE(program.Start()) << program.Stderr();
    const std::string ok = "HTTP/1.1 200 OK";
    EXPECT_EQ(c.v4 ? ok : "", StatusFrom("127.0.0.1", program.Port()));
    EXPECT_EQ(c.other_v4 ? ok : "", StatusFrom("127.0.0.2", program.Port()));
    EXPECT_EQ(c.v6 ? ok : "", StatusFrom("::1", program.Port()));
    std::string line = c.line;
    for (std::size_t p; (p = line.find('#')) != std::string::npos;)
      line.replace(p, 1, std::to_string(program.Port()));
    EXPECT_NE(std::string::npos, program.Stderr().find(line)) << program.Stderr();
  }
}

TEST(SafeSharing, HiddenFilesAndTheProgramsOwnFilesAreNotServed) {
  ServerProgram program;
  program.WriteRootFile("index.html", "home");
  program.WriteRootFile(".git/config", "[core]");
  program.WriteRootFile("a/.env", "KEY=1");
  program.WriteRootFile(".well-known/x.txt", "x");
  // The settings folder and the program's folder (with its access log)
  // reachable from the published tree.
  std::filesystem::create_symlink(program.ConfigDir(), program.Root() + "/conf");
  std::filesystem::create_symlink(std::filesystem::path(program.AccessLog()).parent_path(),
                                  program.Root() + "/bin");
  const struct {
    const char* uri;
    bool served_when_hidden_on;
  } cases[] = {
      {"/.git/config", true},
      {"/a/.env", true},
      {"/%2egit/config", true},
      {"/%2Egit/config", true},
      {"/a%2f.env", true},
      {"/a%5c.env", true},
      {"/x/..%2f.git/config", true},
      {"/.well-known/x.txt", true},
      {"/.git/", false},
      {"/conf/vtWebServer.ini", false},
      {"/bin/webserver.log", false},
      {"/conf/../conf/vtWebServer.ini", false},
  };
  for (const bool serve_hidden : {false, true}) {
    SCOPED_TRACE(serve_hidden ? "ServeHiddenFiles=1" : "ServeHiddenFiles=0");
    program.WriteSettings(serve_hidden ? "ServeHiddenFiles=1\n" : "");
    ASSERT_TRUE(program.Start()) << program.Stderr();
    program.Get("/");  // the access log exists from here on
    for (const auto& c : cases) {
      const bool served = serve_hidden && c.served_when_hidden_on;
      EXPECT_EQ(served ? "HTTP/1.1 200 OK" : "HTTP/1.1 404 Not found", program.Get(c.uri).status) << c.uri;
    }
    EXPECT_EQ("home", program.Get("/").body);
    ASSERT_EQ(0, program.Stop());
  }
}

TEST(SafeSharing, APasswordGuardsEveryRequestAndReachesCgiAsRemoteUser) {
  ServerProgram program;
  program.WriteRootFile("index.html", "home");
  program.WriteRootProgram("env.exe", "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\nenv\n");
  // The hash as a headless user makes it: veltrana-webserver --hash-password.
  FILE* pipe = ::popen("echo s3cret | " VT_PROGRAM_FILE " --hash-password", "r");
  char line[512] = {};
  ASSERT_TRUE(std::fgets(line, sizeof line, pipe));
  EXPECT_EQ(0, ::pclose(pipe));
  std::string setting = line;
  ASSERT_EQ(0u, setting.rfind("AuthPasswordHash=$argon2id$", 0)) << setting;
  EXPECT_TRUE(VerifyPassword(setting.substr(17, setting.size() - 18), "s3cret"));
  program.WriteSettings("AuthUser=ann\n" + setting);
  ASSERT_TRUE(program.Start()) << program.Stderr();
  const std::string right = "Authorization: Basic YW5uOnMzY3JldA==\r\n";  // ann:s3cret
  const std::string wrong = "Authorization: Basic YW5uOnMzY3JldHM=\r\n";  // ann:s3crets
  const struct {
    std::string raw;
    const char* status;
  } cases[] = {
      {Raw("/"), "HTTP/1.1 401 Unauthorized"},
      {Raw("/", wrong), "HTTP/1.1 401 Unauthorized"},
      {Raw("/missing"), "HTTP/1.1 401 Unauthorized"},  // nothing is told before the password
      {"POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
       "HTTP/1.1 401 Unauthorized"},
      {Raw("/", right), "HTTP/1.1 200 OK"},
      {Raw("/missing", right), "HTTP/1.1 404 Not found"},
  };
  for (const auto& c : cases) {
    const HttpAnswer answer = program.Request(c.raw);
    EXPECT_EQ(c.status, answer.status) << c.raw;
    if (answer.status == "HTTP/1.1 401 Unauthorized") {
      EXPECT_EQ("Basic realm=\"Veltrana Web Server\"", answer.Field("WWW-Authenticate"));
    }
  }
  const std::string env = program.Request(Raw("/env.exe", right)).body;
  EXPECT_NE(std::string::npos, env.find("REMOTE_USER=ann\n")) << env;
  EXPECT_NE(std::string::npos, env.find("AUTH_TYPE=Basic\n"));
  EXPECT_NE(std::string::npos, env.find("USER_PASSWORD=s3cret\n")) << "the program may check it itself";
  EXPECT_EQ(std::string::npos, program.Stderr().find("s3cret"));
  EXPECT_TRUE(test::WaitFor([&] {
    // The sentence says that the password guards the files.
    return program.Stderr().find(
               "Exposure check: Anyone who can reach this computer, with the password of user ann, can read "
               "2 files") != std::string::npos;
  })) << program.Stderr();
}

}  // namespace
}  // namespace vt
