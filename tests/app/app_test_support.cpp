#include "app_test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>
#include <utility>

#include "platform/event_queue.h"
#include "socket_test_support.h"

extern char** environ;

namespace vt::test {

int ListenOn(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 1) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::uint16_t FreePort() {
  const int fd = ListenOn(0);
  sockaddr_in address{};
  socklen_t size = sizeof address;
  EXPECT_EQ(0, ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size));
  ::close(fd);
  return ntohs(address.sin_port);
}

HttpAnswer Request(std::uint16_t port, const std::string& raw, bool head) {
  const int fd = ConnectLoopback(port);
  SendAll(fd, raw);
  HttpAnswer answer = ReadAnswer(fd, head);
  ::close(fd);
  return answer;
}

HttpAnswer Get(std::uint16_t port, const std::string& uri) {
  return Request(port, "GET " + uri + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    HandleThreadMessage(std::min(deadline, now + std::chrono::milliseconds(20)));
  }
  return true;
}

void RunClient(const std::function<void()>& client, std::chrono::milliseconds limit) {
  std::atomic<bool> done{false};
  std::thread thread([&] {
    client();
    done = true;
  });
  const bool finished = PumpUntil([&] { return done.load(); }, limit);
  thread.join();
  EXPECT_TRUE(finished) << "the client took too long";
}

// ---------------------------------------------------------------------------

ServerProgram::ServerProgram() {
  std::filesystem::create_directories(dir_.File("bin"));
  std::filesystem::create_directories(dir_.File("config"));
  std::filesystem::create_directories(Root());
  std::filesystem::copy_file(VT_PROGRAM_FILE, dir_.File("bin/veltrana-webserver"));
}

ServerProgram::~ServerProgram() {
  if (pid_ > 0) Stop(SIGKILL);
}

std::string ServerProgram::WriteRootFile(const std::string& name, const std::string& content) const {
  return dir_.WriteFile("root/" + name, content);
}

std::string ServerProgram::WriteRootProgram(const std::string& name, const std::string& script) const {
  const std::string path = WriteRootFile(name, script);
  ::chmod(path.c_str(), 0755);
  return path;
}

void ServerProgram::WriteSettings(const std::string& more) {
  settings_more_ = more;
  port_ = FreePort();
  dir_.WriteFile("config/vtWebServer.ini",
                 "[WebServer]\nPubDir=" + Root() + "\nPort=" + std::to_string(port_) + "\n" + more);
}

void ServerProgram::Spawn(const std::vector<std::string>& args) {
  const std::string program = dir_.File("bin/veltrana-webserver");
  const std::string err = dir_.File("stderr.txt");
  // The program shows windows when it finds a display: only where a test
  // asks for one (Environment).
  // A variable the test sets replaces the inherited one.
  const auto inherited = [this](const std::string& entry) {
    for (const char* name : {"XDG_CONFIG_HOME=", "DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="}) {
      if (entry.rfind(name, 0) == 0) return false;
    }
    for (const std::string& own : Environment) {
      if (entry.compare(0, own.find('=') + 1, own, 0, own.find('=') + 1) == 0) return false;
    }
    return true;
  };
  std::vector<std::string> env_text;
  for (char** e = environ; *e; ++e) {
    if (inherited(*e)) env_text.emplace_back(*e);
  }
  env_text.push_back("XDG_CONFIG_HOME=" + ConfigDir());
  env_text.insert(env_text.end(), Environment.begin(), Environment.end());
  std::vector<char*> envp;
  for (std::string& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> arg_text = Wrapper;
  arg_text.push_back(program);
  arg_text.insert(arg_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : arg_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  pid_t pid = -1;
  const int error = posix_spawn(&pid, arg_text[0].c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ASSERT_EQ(0, error) << "cannot start " << program;
  pid_ = pid;
  ended_status_ = -1;
}

bool ServerProgram::Start(const std::vector<std::string>& args) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    const std::size_t seen = Stderr().size();
    Spawn(args);
    const std::string active = "Active on port " + std::to_string(port_);
    const std::optional<std::string> text = WaitForStart(seen, active);
    if (text && text->find(active) != std::string::npos) return true;
    Stop(SIGKILL);
    if (!text || text->find("Address in use") == std::string::npos) return false;
    WriteSettings(settings_more_);  // someone took the port meanwhile: another one
  }
  return false;
}

std::optional<std::string> ServerProgram::WaitForStart(std::size_t seen, const std::string& active,
                                                       std::chrono::milliseconds limit) {
  std::string text;
  const auto decided = [&] {
    text = Stderr().substr(std::min(seen, Stderr().size()));
    if (text.find(active) != std::string::npos) return true;
    const std::size_t settings = text.find(" Settings: ");
    const std::size_t after = settings == std::string::npos ? settings : text.find('\n', settings);
    if (after != std::string::npos && (text.find(" Error: ", after) != std::string::npos ||
                                       text.find(" Inactive\n", after) != std::string::npos))
      return true;
    int status = 0;
    if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) {  // it ended on its own
      pid_ = -1;
      ended_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (pid_ > 0) return false;
    text = Stderr().substr(std::min(seen, Stderr().size()));  // all it wrote
    return true;
  };
  if (!WaitFor(decided, limit)) return std::nullopt;
  return text;
}

int ServerProgram::Wait(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return std::exchange(ended_status_, -1);
  int status = 0;
  const bool ended = WaitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, limit);
  if (!ended) return -1;
  pid_ = -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

int ServerProgram::Stop(int signal, std::chrono::milliseconds limit) {
  if (pid_ <= 0) return std::exchange(ended_status_, -1);
  ::kill(pid_, signal);
  const int status = Wait(limit);
  if (status < 0 && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  return status;
}

std::string ServerProgram::Stderr() const { return ReadFileText(dir_.File("stderr.txt")); }

std::vector<std::string> ServerProgram::LogLines(std::size_t count) {
  std::vector<std::string> lines;
  WaitFor([&] {
    lines.clear();
    const std::string text = ReadFileText(AccessLog());
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
      lines.push_back(text.substr(start, end - start));
    return lines.size() >= count;
  });
  return lines;
}

}  // namespace vt::test
