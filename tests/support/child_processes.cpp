#include "support/child_processes.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>

namespace vt::test {
namespace {

std::string ReadProcFile(const std::string& path) {
  std::string text;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buffer[512];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  ::close(fd);
  return text;
}

}  // namespace

int CountChildProcesses() {
  int count = 0;
  DIR* proc = ::opendir("/proc");
  if (!proc) return -1;
  while (const dirent* entry = ::readdir(proc)) {
    const std::string name = entry->d_name;
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    // Plain read(2): a process may vanish while it is read, which makes the
    // read fail with ESRCH (a file stream would throw there).
    std::string stat = ReadProcFile("/proc/" + name + "/stat");
    const size_t paren = stat.rfind(')');
    if (paren == std::string::npos) continue;
    std::istringstream fields(stat.substr(paren + 1));
    std::string state;
    long parent = 0;
    if (fields >> state >> parent && parent == ::getpid()) ++count;
  }
  ::closedir(proc);
  return count;
}

int WaitForNoChildProcesses(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int count;
  while ((count = CountChildProcesses()) != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return count;
}

}  // namespace vt::test
