#include "support/child_processes.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace vt::test {

int CountChildProcesses() {
  int count = 0;
  DIR* proc = ::opendir("/proc");
  if (!proc) return -1;
  while (const dirent* entry = ::readdir(proc)) {
    const std::string name = entry->d_name;
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in("/proc/" + name + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
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
