// The real program, end to end: started in a sandbox (its own settings
// folder, published directory and copy of the program), driven over raw
// sockets.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <thread>

#include "app/password.h"
#include "app_test_support.h"
#include "platform/ini_file.h"
#include "socket_test_support.h"

namespace vt {
namespace {

using test::HttpAnswer;
using test::ServerProgram;

std::string Raw(const std::string& method, const std::string& uri, const std::string& extra = std::string()) {
  return method + " " + uri + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + extra + "\r\n";
}

// Runs the program with `args` and returns what it printed on standard
// output; `status` gets its exit status.
std::string RunProgram(const std::string& args, int& status) {
  const std::string command = std::string(VT_PROGRAM_FILE) + " " + args + " 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string out;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  const int wait_status = ::pclose(pipe);
  status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
  return out;
}

TEST(Program, HelpVersionAndUnknownOptions) {
  int status = -1;
  EXPECT_EQ("Veltrana Web Server 1.0\n", RunProgram("--version", status));
  EXPECT_EQ(0, status);
  EXPECT_NE(std::string::npos, RunProgram("--help", status).find("--headless"));
  EXPECT_EQ(0, status);
  EXPECT_EQ("", RunProgram("--bogus", status));
  EXPECT_EQ(2, status);
}

TEST(Program, ServesDefaultDocumentsInOrder) {
  ServerProgram program;
  program.WriteRootFile("index.htm", "htm");
  program.WriteRootFile("docs/default.htm", "docs default");
  program.WriteRootFile("docs/default.html", "docs default html");
  std::filesystem::create_directories(program.Root() + "/empty");
  program.WriteSettings();
  ASSERT_TRUE(program.Start()) << program.Stderr();

  EXPECT_EQ("htm", program.Get("/").body);
  program.WriteRootFile("index.html", "html");
  EXPECT_EQ("html", program.Get("/").body) << "index.html comes before index.htm";
  EXPECT_EQ("docs default html", program.Get("/docs/").body);
  // Named without its slash, the folder is asked for again under it, so that
  // the page's relative links resolve inside it.
  const HttpAnswer moved = program.Get("/docs");
  EXPECT_EQ("HTTP/1.1 301 Moved Permanently", moved.status) << "a folder named without its slash";
  EXPECT_EQ("/docs/", moved.Field("Location"));
  EXPECT_EQ("html", program.Get("/..").body) << "the root's parent is the root";

  const HttpAnswer empty = program.Get("/empty/");
  EXPECT_EQ("HTTP/1.1 404 Not found", empty.status) << "no listing of a folder";
  EXPECT_NE(std::string::npos, empty.body.find("The requested resource was not found."));
  EXPECT_NE(std::string::npos, empty.body.find("Veltrana Web Server"));
  EXPECT_EQ("text/html", empty.Field("Content-Type"));
}

TEST(Program, RefusedPathsNeverReachAFileOutsideTheRoot) {
  ServerProgram program;
  program.WriteRootFile("index.html", "home");
  program.WriteRootFile("secret.txt", "inside");
  program.WriteRootFile("a/c", "a-c");
  program.WriteRootFile("page.html", "page");
  program.WriteRootFile("../secret.txt", "OUTSIDE");
  program.WriteSettings();
  ASSERT_TRUE(program.Start()) << program.Stderr();

  for (const char* uri : {"C:/boot.ini", "//etc/passwd", "../secret.txt", "x/../../secret.txt",
                          "/a//../../secret.txt", "/index.html%00.txt", "%5c%5cserver/secret.txt"}) {
    const HttpAnswer answer = program.Request(Raw("GET", uri));
    EXPECT_EQ("HTTP/1.1 400 Invalid path", answer.status) << uri;
    EXPECT_NE(std::string::npos, answer.body.find("Your client made a request with an invalid path.")) << uri;
  }
  for (const char* uri : {"/../secret.txt", "/x/../../secret.txt", "/%2e%2e/secret.txt"}) {
    const HttpAnswer answer = program.Request(Raw("GET", uri));
    EXPECT_EQ("inside", answer.body) << uri << ": resolved inside the root";
  }
  EXPECT_EQ("a-c", program.Get("/a/b/../c").body);
  EXPECT_EQ("page", program.Get("%20/page.html%09").body) << "blanks at either end are dropped";
}

// The target is cut into path and query before anything is decoded: an
// encoded "?" is part of a name, and a "+" in a path is a plus sign.
TEST(Program, PathAndQueryAreSplitBeforeDecoding) {
  ServerProgram program;
  program.WriteRootFile("page.html", "page");
  program.WriteRootFile("c++.txt", "plus");
  program.WriteRootFile("what?.txt", "what");
  program.WriteRootFile("a b.txt", "blank");
  program.WriteSettings();
  ASSERT_TRUE(program.Start()) << program.Stderr();
  const std::pair<const char*, const char*> cases[] = {
      {"/page.html?x=1&y=../../secret.txt", "page"},  // the query plays no part
      {"/c++.txt", "plus"},
      {"/c%2B%2b.txt?a+b", "plus"},
      {"/what%3F.txt", "what"},
      {"/what%3f.txt?x%3F", "what"},
      {"/a%20b.txt", "blank"},
  };
  for (const auto& [uri, body] : cases) EXPECT_EQ(body, program.Get(uri).body) << uri;
  EXPECT_EQ("HTTP/1.1 404 Not found", program.Get("/what?.txt").status) << "a raw ? starts the query";
  EXPECT_EQ("HTTP/1.1 404 Not found", program.Get("/a+b.txt").status) << "+ is no blank in a path";
}

TEST(Program, ContentTypesAndMethods) {
  ServerProgram program;
  program.WriteRootFile("PAGE.HTML", "<p>");
  program.WriteRootFile("notes.Txt", "notes");
  program.WriteRootFile("picture.svg", "<svg/>");
  program.WriteRootFile("data.zzzq", "?");
  program.WriteRootProgram("tool.exe", "#!/bin/sh\necho ran\n");
  program.WriteSettings("ExecEXEAsCGI=0\n");
  ASSERT_TRUE(program.Start()) << program.Stderr();

  EXPECT_EQ("text/html", program.Get("/PAGE.HTML").Field("Content-Type"));
  EXPECT_EQ("text/plain; charset=utf-8", program.Get("/notes.Txt").Field("Content-Type"));
  EXPECT_EQ("image/svg+xml", program.Get("/picture.svg").Field("Content-Type"));
  EXPECT_FALSE(program.Get("/data.zzzq").Has("Content-Type")) << "an unknown type is left out";
  const HttpAnswer exe = program.Get("/tool.exe");
  EXPECT_EQ("application/binary", exe.Field("Content-Type")) << "with CGI off a program is a file";
  EXPECT_EQ("#!/bin/sh\necho ran\n", exe.body);

  EXPECT_EQ("notes", program.Request(Raw("get", "/notes.Txt")).body) << "methods without regard to case";
  const HttpAnswer head = program.Request(Raw("HEAD", "/notes.Txt"), true);
  EXPECT_EQ("5", head.Field("Content-Length"));
  EXPECT_EQ("", head.body);

  const HttpAnswer post = program.Request(Raw("POST", "/notes.Txt", "Content-Length: 0\r\n"));
  EXPECT_EQ("HTTP/1.1 405 Method not supported", post.status);
  EXPECT_NE(std::string::npos, post.body.find("Method POST not supported."));
  EXPECT_NE(
      std::string::npos,
      post.body.find("Your client made a request using a method that is not recognised by the web server."));
  const HttpAnswer markup = program.Request(Raw("<SCRIPT>X</SCRIPT>", "/"));
  EXPECT_EQ("HTTP/1.1 405 Method not supported", markup.status);
  EXPECT_NE(std::string::npos, markup.body.find("Method &lt;SCRIPT&gt;X&lt;/SCRIPT&gt; not supported."));
  EXPECT_EQ(std::string::npos, markup.body.find("<SCRIPT>")) << "request text is no markup";
}

TEST(Program, AccessLogWithTheDefaultTemplate) {
  ServerProgram program;
  program.WriteRootFile("index.html", "home page");
  program.WriteSettings();
  ASSERT_TRUE(program.Start()) << program.Stderr();

  // A line is written once its answer has gone out: each is waited for, so
  // that the lines keep the order of the requests.
  const HttpAnswer found = program.Get("/index.html");
  program.LogLines(1);
  program.Get("/missing.html");
  program.LogLines(2);
  program.Request(Raw("GET", "/a%0d%0aforged%1b[2J"));
  const std::vector<std::string> lines = program.LogLines(3);
  ASSERT_EQ(3u, lines.size());
  const std::regex line(R"((\d\d)-(\d\d)-(\d{4}) (\d\d):(\d\d):(\d\d) 200 (\d+) GET /index\.html)");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(lines[0], match, line)) << lines[0];
  EXPECT_EQ(std::to_string(found.size), match[7].str()) << "the bytes of this response";
  EXPECT_NE(std::string::npos, lines[1].find(" 404 ")) << lines[1];
  EXPECT_NE(std::string::npos, lines[2].find("GET /a\\x0D\\x0Aforged\\x1B[2J")) << lines[2];

  // The server's own log on standard error never carries raw control bytes
  // (a field with C0 controls is refused; the C1 ones, in UTF-8, pass).
  program.Request(Raw("GET", "/",
                      "Referer: http://x/\xc2\x9b]0;title\xc2\x9c"
                      "end\r\n"));
  ASSERT_TRUE(test::WaitFor([&] { return program.Stderr().find("Referer: ") != std::string::npos; }));
  const std::string err = program.Stderr();
  EXPECT_EQ(std::string::npos, err.find("\xc2\x9b"));
  EXPECT_EQ(std::string::npos, err.find("\xc2\x9c"));
  EXPECT_NE(std::string::npos, err.find("http://x/\\xC2\\x9B]0;title\\xC2\\x9Cend"));
}

TEST(Program, AccessLogWithCustomTemplates) {
  {
    ServerProgram program;
    program.WriteRootFile("index.html", "home");
    program.WriteSettings(
        "LogFormat=$DATE$|$uri$|$uri$|$referer$|$useragent$|$methd$|$method$|$response$|$size\n");
    ASSERT_TRUE(program.Start()) << program.Stderr();
    program.Request(Raw("GET", "/", "Referer: http://ref/\r\nUser-Agent: probe/1\r\n"));
    program.LogLines(1);
    program.Request(Raw("GET", "/nothing"));
    program.LogLines(2);
    // Requests the server refuses itself are logged through the same
    // template: what it never read is "-".
    EXPECT_EQ("HTTP/1.1 505 HTTP Version Not Supported",
              program.Request("GET /v2 HTTP/2.0\r\nHost: 127.0.0.1\r\n\r\n").status);
    program.LogLines(3);
    EXPECT_EQ("HTTP/1.1 413 Request Entity Too Large",
              program.Request(Raw("POST", "/up", "Referer: http://ref/\r\nContent-Length: 99999999999\r\n"))
                  .status);
    const std::vector<std::string> lines = program.LogLines(4);
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ("$DATE$|/|/|http://ref/|probe/1|$methd$|GET|200|$size", lines[0]);
    EXPECT_EQ("$DATE$|/nothing|/nothing|||$methd$|GET|404|$size", lines[1]);
    EXPECT_EQ("$DATE$|-|-|-|-|$methd$|-|505|$size", lines[2]);
    EXPECT_EQ("$DATE$|/up|/up|http://ref/||$methd$|POST|413|$size", lines[3]);
  }
  {
    ServerProgram program;
    program.WriteRootFile("index.html", "home");
    program.WriteSettings("LogFormat=\n");
    ASSERT_TRUE(program.Start()) << program.Stderr();
    program.Get("/");
    const std::vector<std::string> lines = program.LogLines(1);
    ASSERT_EQ(1u, lines.size());
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(\d\d-\d\d-\d{4} \d\d:\d\d:\d\d 200 \d+ GET /)")))
        << "an empty template is the default: " << lines[0];
  }
  {
    ServerProgram program;
    program.WriteRootFile("index.html", "home");
    program.WriteSettings("LogToFile=0\n");
    ASSERT_TRUE(program.Start()) << program.Stderr();
    EXPECT_EQ("home", program.Get("/").body);
    EXPECT_EQ(0, program.Stop());
    EXPECT_FALSE(std::filesystem::exists(program.AccessLog())) << "no log, no file";
  }
}

// Peak resident memory of a process in KiB (VmHWM), 0 when unknown.
long PeakMemoryKiB(pid_t pid) {
  const std::string status = test::ReadFileText("/proc/" + std::to_string(pid) + "/status");
  const std::size_t at = status.find("VmHWM:");
  return at == std::string::npos ? 0 : std::strtol(status.c_str() + at + 6, nullptr, 10);
}

// One request used to expand into a log line of gigabytes: its URI named
// $referer$ again and again, its Referer $useragent$, and each inserted
// value was searched again. Values are now put in once.
TEST(Program, AccessLogLinesAreBoundedByWhatTheRequestSent) {
  ServerProgram program;
  program.WriteRootFile("index.html", "home");
  program.WriteSettings("LogFormat=$uri$ $referer$ $useragent$ $response$\n");
  ASSERT_TRUE(program.Start()) << program.Stderr();
  std::string uri = "/";
  std::string referer;
  for (int i = 0; i < 150; ++i) uri += "$referer$", referer += "$useragent$";
  const std::string agent(6000, 'u');
  const long before = PeakMemoryKiB(program.Pid());
  const HttpAnswer answer = program.Request(
      Raw("GET", uri + "?q=%26", "Referer: " + referer + "\r\nUser-Agent: " + agent + "\r\n"));
  EXPECT_EQ("HTTP/1.1 404 Not found", answer.status);
  const std::vector<std::string> lines = program.LogLines(1);
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(uri + "?q=%26 " + referer + " " + agent + " 404", lines[0]) << "the query as sent";
  // Before, the line alone was 150 * 150 * 6000 bytes (135 MB).
  EXPECT_LT(PeakMemoryKiB(program.Pid()) - before, 32 * 1024) << "KiB more at the peak";
}

TEST(Program, SettingsRoundTripOnSigterm) {
  ServerProgram program;
  program.WriteRootFile("index.html", "home");
  program.WriteSettings("Colour=blue\n; a note\n[Other]\nx=1\n");
  ASSERT_TRUE(program.Start()) << program.Stderr();
  EXPECT_EQ(0, program.Stop(SIGTERM));
  const std::string text = test::ReadFileText(program.SettingsFile());
  EXPECT_NE(std::string::npos, text.find("Colour=blue"));
  EXPECT_NE(std::string::npos, text.find("; a note\n[Other]\nx=1\n"));
  TIniFile ini(program.SettingsFile());
  EXPECT_TRUE(ini.ReadBool("WebServer", "Active", false)) << "saved by the start";
  EXPECT_EQ(program.Port(), ini.ReadInteger("WebServer", "Port", 0));
  EXPECT_EQ("1", ini.ReadString("WebServer", "LogToFile", "")) << "every key written at exit";
  EXPECT_FALSE(ini.ValueExists("WebServer", "FormX")) << "no window, no position";
  EXPECT_NE(std::string::npos, program.Stderr().find("Exited"));

  // SIGINT ends it the same way.
  ASSERT_TRUE(program.Start()) << program.Stderr();
  EXPECT_EQ(0, program.Stop(SIGINT));
}

// Headless, the dashboard comes as text: the URLs at the start, the table
// of open connections on SIGUSR1 (and the program goes on).
TEST(Program, HeadlessPrintsTheUrlsAndTheConnectionsOnSigusr1) {
  ServerProgram program;
  program.WriteRootFile("index.html", "home");
  program.WriteSettings();
  ASSERT_TRUE(program.Start()) << program.Stderr();
  const std::string local = "http://localhost:" + std::to_string(program.Port()) + "/";
  ASSERT_TRUE(test::WaitFor([&] {
    return program.Stderr().find("Reach it at " + local) != std::string::npos;
  })) << program.Stderr();

  const int idle = test::ConnectLoopback(program.Port());
  test::SendAll(idle, "GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ("home", test::ReadAnswer(idle).body);
  // The answer reaches the client a moment before its worker has counted
  // it and gone back to waiting: asked again until the table says so.
  auto asked = std::chrono::steady_clock::now() - std::chrono::seconds(1);
  ASSERT_TRUE(test::WaitFor([&] {
    if (std::chrono::steady_clock::now() - asked > std::chrono::milliseconds(200)) {
      ::kill(program.Pid(), SIGUSR1);
      asked = std::chrono::steady_clock::now();
    }
    const std::string text = program.Stderr();
    return std::regex_search(text,
                             std::regex("Client +State +Request +Sent +Speed +Open\n127\\.0\\.0\\.1 +waiting "
                                        "for a request +- +- +\\S+( \\S+)? +0:00:0\\d\n"));
  })) << program.Stderr();
  ::close(idle);
  EXPECT_EQ("home", program.Get("/").body) << "still serving";
  EXPECT_EQ(0, program.Stop(SIGTERM));
}

// The URLs follow the network: an address that comes or goes is printed
// within a moment. The program runs in a network namespace of its own
// (root only), whose interfaces the test changes; nothing connects to the
// address, which exists only in there.
TEST(Program, TheUrlsFollowTheNetwork) {
  if (std::system("unshare --net true 2>/dev/null && command -v ip >/dev/null") != 0)
    GTEST_SKIP() << "needs a network namespace of its own (root) and ip (iproute2)";
  ServerProgram program;
  program.WriteSettings();
  program.Wrapper = {"/usr/bin/unshare", "--net", "--"};
  ASSERT_TRUE(program.Start()) << program.Stderr();
  const std::string port = std::to_string(program.Port());
  const auto printed = [&](const std::string& line) {
    return test::WaitFor([&] { return program.Stderr().find(line + "\n") != std::string::npos; });
  };
  const std::string everyone = " (from every computer that can reach these addresses)";
  ASSERT_TRUE(printed("Reach it at http://localhost:" + port + "/" + everyone)) << program.Stderr();
  const std::string in_there = "nsenter --net=/proc/" + std::to_string(program.Pid()) + "/ns/net ";
  ASSERT_EQ(0, std::system((in_there +
                            "sh -c 'ip tuntap add dev vt0 mode tun && ip addr add 10.9.9.9/24 dev vt0 && "
                            "ip link set vt0 up'")
                               .c_str()));
  EXPECT_TRUE(printed("Reach it at http://localhost:" + port + "/, http://10.9.9.9:" + port + "/" + everyone))
      << program.Stderr();
  ASSERT_EQ(0, std::system((in_there + "ip link del vt0").c_str()));
  const std::size_t seen = program.Stderr().size();
  EXPECT_TRUE(test::WaitFor([&] {
    return program.Stderr().find("Reach it at http://localhost:" + port + "/" + everyone + "\n", seen) !=
           std::string::npos;
  })) << program.Stderr();
  EXPECT_EQ(0, program.Stop(SIGTERM));
}

TEST(Program, SettingsSurviveACrashAtAnyMoment) {
  ServerProgram program;
  program.WriteRootFile("index.html", "home");
  program.WriteSettings("Colour=blue\n");
  for (int i = 0; i < 12; ++i) {
    program.Spawn({"--headless"});
    std::this_thread::sleep_for(std::chrono::milliseconds(i * 3));
    program.Stop(SIGKILL);
    TIniFile ini(program.SettingsFile());
    ASSERT_FALSE(ini.ReadFailed());
    ASSERT_EQ("blue", ini.ReadString("WebServer", "Colour", "")) << "after a kill at " << i * 3 << " ms";
    ASSERT_EQ(program.Root(), ini.ReadString("WebServer", "PubDir", ""));
    ASSERT_EQ(program.Port(), ini.ReadInteger("WebServer", "Port", 0));
  }
}

TEST(Program, InactiveStaysInactiveAndAStartFailureEndsTheProgram) {
  {
    ServerProgram program;
    program.WriteSettings("Active=0\n");
    program.Spawn({"--headless"});
    ASSERT_TRUE(test::WaitFor([&] { return program.Stderr().find("Inactive") != std::string::npos; }));
    EXPECT_EQ(0, program.Stop());
    EXPECT_EQ(std::string::npos, program.Stderr().find("Active on port"));
    EXPECT_FALSE(TIniFile(program.SettingsFile()).ReadBool("WebServer", "Active", true));
  }
  {
    ServerProgram program;
    program.WriteSettings();
    const int taken = test::ListenOn(program.Port());
    ASSERT_GE(taken, 0);
    program.Spawn({});
    const std::optional<std::string> started = program.WaitForStart(0);
    ASSERT_TRUE(started && started->find("Error: ") != std::string::npos) << program.Stderr();
    ::close(taken);
    const std::string err = program.Stderr();
    EXPECT_NE(std::string::npos, err.find("running headless")) << "without --headless it says so";
    const std::string says =
        "Error: Port " + std::to_string(program.Port()) + " is used by another program (pid " +
        std::to_string(::getpid()) + ", app_tests): choose another port (--port N, or Port= in " +
        program.SettingsFile() + ") (Error creating server socket: Socket bind failed: Address in use)";
    EXPECT_NE(std::string::npos, err.find(says)) << err;
    EXPECT_EQ(err.find("Address in use"), err.rfind("Address in use")) << "said once: " << err;
    // Nothing to serve and no Start button: it ends by itself, saying so in
    // its exit status.
    EXPECT_EQ(3, program.Wait());
    EXPECT_NE(std::string::npos, program.Stderr().find("Nothing is served: exiting")) << program.Stderr();
  }
}

}  // namespace
}  // namespace vt

namespace vt {
namespace {

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

int Count(const std::string& text, const std::string& part) {
  int n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// A first run as a normal user: no settings file, no public folder yet, no
// right to port 80. Run as "nobody" through setpriv when the test runs as
// root.
TEST(Program, FirstRunAsAnUnprivilegedUser) {
  ServerProgram program;
  const std::string home = program.Dir() + "/home";
  std::filesystem::create_directories(home);
  if (::geteuid() == 0) {
    if (::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv (util-linux) is missing";
    program.Wrapper = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
    ::chmod(program.Dir().c_str(), 0755);
    for (const std::string& folder : {home, program.ConfigDir()})
      ASSERT_EQ(0, ::chown(folder.c_str(), 65534, 65534));
  }
  const bool port_80_free_for_all =
      std::atoi(test::ReadFileText("/proc/sys/net/ipv4/ip_unprivileged_port_start").c_str()) <= 80;
  program.Environment = {"HOME=" + home, "XDG_STATE_HOME="};

  program.Spawn({"--headless"});
  // The folder is not there yet: the server listens, waiting for it.
  ASSERT_TRUE(program.WaitForStart(0, "Waiting for ~/Public on port")) << program.Stderr();
  const std::string port = port_80_free_for_all ? "80" : "8080";
  std::string err = program.Stderr();
  const bool port_taken = Has(err, "Error: Port " + port + " is used by another program");
  EXPECT_TRUE(
      Has(err, "Waiting for ~/Public on port " + port +
                   ": every request gets 404 until the folder is there (first run: listening on every "
                   "address; the settings are kept in " +
                   program.SettingsFile() + ")") ||
      port_taken)
      << "the port this user may bind, and what a first run shares where: " << err;
  EXPECT_TRUE(Has(err, "access log: " + home + "/.local/state/veltrana/webserver.log"))
      << "not beside a program that is not the user's: " << err;
  ASSERT_TRUE(test::WaitFor([&] { return Has(program.Stderr(), "Published folder"); })) << program.Stderr();
  EXPECT_EQ(port_taken ? 3 : 0, program.Stop());
  err = program.Stderr();
  EXPECT_EQ(1, Count(err, "Warning: Published folder " + home +
                              "/Public does not exist: create it, or choose another one (veltrana-webserver "
                              "FOLDER, or PubDir= in " +
                              program.SettingsFile() + ")"))
      << err;
  TIniFile saved(program.SettingsFile());
  EXPECT_EQ(home + "/Public", saved.ReadString("WebServer", "PubDir", ""))
      << "the first save writes the defaults";

  if (port_80_free_for_all) GTEST_SKIP() << "this system lets every user bind port 80";
  std::filesystem::create_directories(home + "/Public");
  const std::size_t seen = program.Stderr().size();
  program.Spawn({"--headless", "--port", "80"});
  const std::optional<std::string> refused = program.WaitForStart(seen);
  ASSERT_TRUE(refused && Has(*refused, "Error: ")) << program.Stderr();
  EXPECT_EQ(3, program.Wait()) << "nothing is served";
  err = program.Stderr().substr(seen);
  EXPECT_EQ(1, Count(err,
                     "Error: Port 80 needs administrator rights on Linux: choose a port from 1024 up "
                     "(--port N, or Port= in " +
                         program.SettingsFile() + ") (Error creating server socket: "))
      << err;
  EXPECT_EQ(1, Count(err, "permission denied")) << "said once: " << err;
  EXPECT_FALSE(Has(err, "Warning: ")) << "the folder is there now: " << err;
}

TEST(Program, SettingsEditedInTheFileAreAppliedAndNeverUndone) {
  ServerProgram program;
  program.WriteRootFile("index.html", "first");
  const std::string second = program.Dir() + "/second";
  std::filesystem::create_directories(second);
  std::ofstream(second + "/index.html") << "second";
  program.WriteSettings("; the user's note\n");
  ASSERT_TRUE(program.Start()) << program.Stderr();
  EXPECT_EQ("first", program.Get("/").body);

  // Edited as an editor saves: a new file renamed over the old one.
  const auto edit = [&](const std::string& from, const std::string& to) {
    std::string text = test::ReadFileText(program.SettingsFile());
    text.replace(text.find(from), from.size(), to);
    const std::string temp = program.SettingsFile() + ".swp";
    std::ofstream(temp) << text;
    std::filesystem::rename(temp, program.SettingsFile());
  };
  edit("PubDir=" + program.Root(), "PubDir=" + second);
  ASSERT_TRUE(test::WaitFor([&] { return program.Get("/").body == "second"; })) << program.Stderr();
  // Said once applied, so perhaps a moment after the first answer from there.
  EXPECT_TRUE(test::WaitFor([&] {
    return Has(program.Stderr(), "Settings changed in " + program.SettingsFile() + ": PubDir=" + second);
  })) << program.Stderr();

  // SIGHUP reads the file too.
  ::kill(program.Pid(), SIGHUP);
  edit("ExecEXEAsCGI=1", "ExecEXEAsCGI=0");
  ::kill(program.Pid(), SIGHUP);
  ASSERT_TRUE(test::WaitFor([&] { return Has(program.Stderr(), ": ExecEXEAsCGI=0"); })) << program.Stderr();
  EXPECT_TRUE(Has(program.Stderr(), "SIGHUP: reading the settings again"));

  // An edit right before the end is kept, and so is a value that is no number.
  edit("Port=" + std::to_string(program.Port()), "Port=18306x");
  EXPECT_EQ(0, program.Stop());
  const std::string text = test::ReadFileText(program.SettingsFile());
  EXPECT_TRUE(Has(text, "Port=18306x\n")) << text;
  EXPECT_TRUE(Has(text, "PubDir=" + second + "\n")) << text;
  EXPECT_TRUE(Has(text, "ExecEXEAsCGI=0\n")) << text;
  EXPECT_TRUE(Has(text, "; the user's note\n")) << text;
  EXPECT_EQ(1, Count(program.Stderr(), "Port=18306x")) << program.Stderr();
}

TEST(Program, FolderAndPortOnTheCommandLineAreForThisRunOnly) {
  ServerProgram program;
  program.WriteRootFile("index.html", "saved folder");
  const std::string other = program.Dir() + "/other";
  std::filesystem::create_directories(other);
  std::ofstream(other + "/index.html") << "given folder";
  program.WriteSettings("Active=0\n");
  const std::uint16_t port = test::FreePort();
  program.Spawn({"--headless", other, "--port", std::to_string(port)});
  ASSERT_TRUE(test::WaitFor([&] { return Has(program.Stderr(), "Active on port " + std::to_string(port)); }))
      << program.Stderr();
  EXPECT_TRUE(Has(program.Stderr(), "publishing " + other)) << program.Stderr();
  EXPECT_EQ("given folder", test::Get(port, "/").body);
  EXPECT_EQ(0, program.Stop());
  TIniFile saved(program.SettingsFile());
  EXPECT_EQ(program.Root(), saved.ReadString("WebServer", "PubDir", ""));
  EXPECT_EQ(program.Port(), saved.ReadInteger("WebServer", "Port", 0));
  EXPECT_FALSE(saved.ReadBool("WebServer", "Active", true)) << "started for this run, not switched on";

  struct Case {
    std::vector<std::string> args;
    std::string says;
  } refused[] = {
      {{"--port", "0"}, "'0' is no port number (1 to 65535)"},
      {{"--port=65536"}, "'65536' is no port number"},
      {{"--port", "80x"}, "'80x' is no port number"},
      {{"--port"}, "--port needs a port number"},
      {{program.Dir() + "/missing"}, "folder " + program.Dir() + "/missing does not exist"},
      {{other, other}, "a second folder " + other + ": give one folder to publish"},
  };
  for (const Case& c : refused) {
    const std::size_t seen = program.Stderr().size();
    std::vector<std::string> args{"--headless"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    program.Spawn(args);
    EXPECT_EQ(2, program.Wait()) << c.says;
    EXPECT_TRUE(Has(program.Stderr().substr(seen), c.says)) << program.Stderr().substr(seen);
  }
}

// A headless start, table by table: what the start lines say (what the
// command line set, what the settings file brings), what a request then
// gets, and how the program ends: by the signal (0), or by itself when it
// serves nothing (3) or the command line is wrong (2).
TEST(Program, HeadlessStartLinesAndExitStatuses) {
  const std::string hash = HashPassword("secret");
  const std::string port = std::to_string(test::FreePort());
  struct Case {
    const char* why;
    std::string settings;           // more settings lines
    std::vector<std::string> args;  // after --headless; "ROOT" is the published folder
    std::vector<std::string> says;  // on standard error, in this order
    std::vector<std::string> never;
    const char* answer;  // the status line of GET /; empty: none asked for
    int status;          // the exit status
  } cases[] = {
      {"the settings alone",
       "",
       {},
       {"Active on port"},
       {"For this run", "Password:", "Send limit:"},
       "HTTP/1.1 200 OK",
       0},
      {"a one-off share with Active=0 starts without a stray Inactive line",
       "Active=0\n",
       {"ROOT", "-p", port},
       {" Settings: ", "For this run only (command line, not saved): folder ROOT, port " + port,
        "Active on port " + port},
       {"Inactive", "Password:"},
       "HTTP/1.1 200 OK",
       0},
      {"a one-off share inherits the password and the limit, and says so",
       "Throttle=1\nThrottleRate=1000000\nAuthUser=ann\nAuthPasswordHash=" + hash + "\n",
       {"ROOT"},
       {"For this run only (command line, not saved): folder ROOT",
        "Password: required (user ann), from the settings file ", "; --no-password drops it for this run",
        "Send limit: 1000000 bytes a second per connection, from", "; --no-limit drops it for this run",
        "Active on port"},
       {},
       "HTTP/1.1 401 Unauthorized",
       0},
      {"dropped for this run",
       "Throttle=1\nThrottleRate=1000000\nAuthUser=ann\nAuthPasswordHash=" + hash + "\n",
       {"--no-password", "--no-limit"},
       {"Password: none for this run (--no-password); the settings file ", " keeps its password",
        "Send limit: none for this run (--no-limit);", "Active on port"},
       {"For this run only"},
       "HTTP/1.1 200 OK",
       0},
      {"listening on this computer only",
       "",
       {"--listen", "local"},
       {"For this run only (command line, not saved): listening on this computer only", "Active on port"},
       {},
       "HTTP/1.1 200 OK",
       0},
      {"an address that is none of this computer's (a documentation address)",
       "",
       {"--listen", "192.0.2.7"},
       {"Error: ", "Nothing is served: exiting", "Exited"},
       {"Active on port"},
       "",
       3},
      {"a typo",
       "",
       {"--prot", "8080"},
       {"veltrana-webserver: unknown option --prot (did you mean --port?)\n"
        "Try 'veltrana-webserver --help' for more.\n"},
       {"Usage:", "Settings: "},
       "",
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    ServerProgram program;
    program.WriteRootFile("index.html", "home");
    program.WriteSettings(c.settings);
    std::vector<std::string> args{"--headless"};
    for (const std::string& arg : c.args) args.push_back(arg == "ROOT" ? program.Root() : arg);
    program.Spawn(args);
    std::optional<std::string> started = program.WaitForStart(0);
    ASSERT_TRUE(started) << program.Stderr();
    if (*c.answer) {
      const std::uint16_t at = c.args.size() > 2 && c.args[1] == "-p" ? std::stoi(port) : program.Port();
      EXPECT_EQ(c.answer, test::Get(at, "/").status);
    }
    EXPECT_EQ(c.status, c.status == 0 ? program.Stop() : program.Wait());
    const std::string err = program.Stderr();
    std::size_t at = 0;
    for (std::string says : c.says) {
      if (const std::size_t root = says.find("ROOT"); root != std::string::npos)
        says.replace(root, 4, program.Root());
      const std::size_t found = err.find(says, at);
      EXPECT_NE(std::string::npos, found) << says << "\n" << err;
      if (found != std::string::npos) at = found + says.size();
    }
    for (const std::string& never : c.never) EXPECT_FALSE(Has(err, never)) << never << "\n" << err;
  }
}

}  // namespace
}  // namespace vt
