#include "app/settings_environment.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/registry.h"

namespace vt {

namespace {

// The capability that lets a process bind ports below 1024.
constexpr int kCapNetBindService = 10;

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string EnvironmentPath(const char* name) {
  const char* value = std::getenv(name);
  return value && value[0] == '/' ? WithoutTrailingSlashes(value) : std::string();
}

// The value of `key` in an XDG user-dirs file: a line KEY="value" where the
// value is an absolute path or starts with $HOME/ (the only forms the file
// may hold); empty when absent or of another form.
std::string UserDirsValue(const std::string& file, const std::string& key, const std::string& home) {
  std::ifstream in(file);
  std::string line;
  std::string found;
  while (std::getline(in, line)) {
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    if (line.compare(start, key.size() + 2, key + "=\"") != 0) continue;
    const std::size_t open = start + key.size() + 2;
    const std::size_t close = line.find('"', open);
    if (close == std::string::npos) continue;
    std::string value = line.substr(open, close - open);
    if (value == "$HOME" || value.rfind("$HOME/", 0) == 0) {
      value = home + value.substr(5);
    } else if (value.empty() || value[0] != '/') {
      continue;
    }
    found = WithoutTrailingSlashes(value);  // the last line of a key wins, as in a shell
  }
  return found;
}

std::string ReadSmallFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool PathIsBelow(const std::string& path, const std::string& folder) { return path.rfind(folder, 0) == 0; }

// The socket inodes that listen on TCP `port`, from a /proc/net/tcp table.
void ListeningInodes(const std::string& table, std::uint16_t port, std::set<std::string>& inodes) {
  std::istringstream in(ReadSmallFile(table));
  std::string line;
  std::getline(in, line);  // the column names
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >>
          inode))
      continue;
    const std::size_t colon = local.rfind(':');
    if (state != "0A" || colon == std::string::npos) continue;  // 0A: listening
    if (std::strtoul(local.c_str() + colon + 1, nullptr, 16) != port) continue;
    inodes.insert("socket:[" + inode + "]");
  }
}

}  // namespace

std::string HomeDirectory() {
  std::string home = EnvironmentPath("HOME");
  if (!home.empty()) return home;
  passwd entry{};
  passwd* found = nullptr;
  char buffer[4096];
  if (::getpwuid_r(::geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir)
    return WithoutTrailingSlashes(found->pw_dir);
  return "/";
}

std::string PublicShareDirectory() {
  const std::string home = HomeDirectory();
  std::string config = EnvironmentPath("XDG_CONFIG_HOME");
  if (config.empty()) config = home + "/.config";
  const std::string value = UserDirsValue(config + "/user-dirs.dirs", "XDG_PUBLICSHARE_DIR", home);
  if (!value.empty() && value != WithoutTrailingSlashes(home)) return value;
  return (home == "/" ? std::string() : home) + "/Public";
}

bool CanBindPrivilegedPorts() {
  std::istringstream status(ReadSmallFile("/proc/self/status"));
  std::string line;
  bool capabilities_known = false;
  while (std::getline(status, line)) {
    if (line.rfind("CapEff:", 0) != 0) continue;
    capabilities_known = true;
    const unsigned long long effective = std::strtoull(line.c_str() + 7, nullptr, 16);
    if (effective & (1ULL << kCapNetBindService)) return true;
  }
  if (!capabilities_known && ::geteuid() == 0) return true;
  const std::string start = ReadSmallFile("/proc/sys/net/ipv4/ip_unprivileged_port_start");
  return !start.empty() && std::strtol(start.c_str(), nullptr, 10) <= 80;
}

std::int32_t DefaultPort() { return CanBindPrivilegedPorts() ? 80 : kUnprivilegedDefaultPort; }

std::string DefaultAccessLogFileName() {
  const std::string app_dir = GetAppDirectory();
  struct stat status {};
  const bool users_own = !app_dir.empty() && !PathIsBelow(app_dir, "/usr/") &&
                         !PathIsBelow(app_dir, "/opt/") && ::stat(app_dir.c_str(), &status) == 0 &&
                         status.st_uid == ::geteuid() && ::access(app_dir.c_str(), W_OK) == 0;
  if (users_own) return app_dir + "webserver.log";
  std::string state = EnvironmentPath("XDG_STATE_HOME");
  if (state.empty()) state = HomeDirectory() + "/.local/state";
  return state + "/veltrana/webserver.log";
}

std::string ShortenHomePath(const std::string& path) {
  const std::string home = HomeDirectory();
  if (home == "/" || !PathIsBelow(path, home)) return path;
  if (path.size() == home.size()) return "~";
  if (path[home.size()] != '/') return path;
  return "~" + path.substr(home.size());
}

bool DirectoryExists(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::string PublishedDirectoryOf(const std::string& pub_dir) {
  return pub_dir.empty() ? "/inetpub/" : pub_dir;
}

std::optional<TPortHolder> FindPortHolder(std::uint16_t port) {
  std::set<std::string> inodes;
  ListeningInodes("/proc/net/tcp", port, inodes);
  ListeningInodes("/proc/net/tcp6", port, inodes);
  if (inodes.empty()) return std::nullopt;
  DIR* processes = ::opendir("/proc");
  if (!processes) return std::nullopt;
  std::optional<TPortHolder> holder;
  while (dirent* process = ::readdir(processes)) {
    char* end = nullptr;
    const long pid = std::strtol(process->d_name, &end, 10);
    if (pid <= 0 || *end) continue;
    const std::string fd_dir = "/proc/" + std::string(process->d_name) + "/fd";
    DIR* fds = ::opendir(fd_dir.c_str());
    if (!fds) continue;  // another user's process
    while (dirent* fd = ::readdir(fds)) {
      char target[64];
      const ssize_t size = ::readlink((fd_dir + "/" + fd->d_name).c_str(), target, sizeof target - 1);
      if (size <= 0 || !inodes.count(std::string(target, static_cast<std::size_t>(size)))) continue;
      std::string name = ReadSmallFile("/proc/" + std::string(process->d_name) + "/comm");
      while (!name.empty() && name.back() == '\n') name.pop_back();
      holder = TPortHolder{static_cast<pid_t>(pid), name};
      break;
    }
    ::closedir(fds);
    if (holder) break;
  }
  ::closedir(processes);
  return holder;
}

std::string PrimaryAddress() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return "127.0.0.1";
  std::string found = "127.0.0.1";
  for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
    if (!(entry->ifa_flags & IFF_UP) || (entry->ifa_flags & IFF_LOOPBACK)) continue;
    char text[INET_ADDRSTRLEN];
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    if (::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text)) {
      found = text;
      break;
    }
  }
  ::freeifaddrs(list);
  return found;
}

}  // namespace vt
