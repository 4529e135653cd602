// Request paths: CanonicalizePath with either delimiter, and the mapping of a
// decoded request URI onto a file of the published directory.
//
// The mapping's invariant, checked on every input: a path it answers with
// (a file found, or the directory looked at) lies inside the published
// directory. The check walks the path lexically below the directory: it must
// start with the directory and a "/", and its "." and ".." segments must
// never climb above the directory. The directory is a fixed temporary tree
// with files, default documents and a nested folder, made once.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/request_path.h"
#include "fuzz/fuzz_support.h"
#include "util/paths.h"

using namespace vt;

namespace {

std::string g_root;  // the published directory, without a trailing "/"

void WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

// Removes the tree when the fuzzer ends.
void RemoveRoot() {
  std::error_code ignored;
  if (!g_root.empty()) std::filesystem::remove_all(std::filesystem::path(g_root).parent_path(), ignored);
}

void MakeRoot() {
  std::string base = (std::filesystem::temp_directory_path() / "vt-fuzz-XXXXXX").string();
  if (!::mkdtemp(base.data())) std::abort();
  // The published directory sits below a folder of its own, next to a
  // "secret" file that must stay out of reach.
  const std::filesystem::path top(base);
  WriteFile(top / "secret.txt", "secret");
  WriteFile(top / "pub" / "index.html", "<p>index</p>");
  WriteFile(top / "pub" / "a.txt", "a");
  WriteFile(top / "pub" / "docs" / "default.htm", "docs");
  WriteFile(top / "pub" / "docs" / "deep" / "b.txt", "b");
  std::filesystem::create_directories(top / "pub" / "empty");
  g_root = (top / "pub").string();
  std::atexit(RemoveRoot);
}

// True when `path` is the root plus "/" and a tail whose segments, read
// left to right, never climb above the root.
bool InsideRoot(const std::string& path) {
  if (path.compare(0, g_root.size(), g_root) != 0 || path.size() <= g_root.size() ||
      path[g_root.size()] != '/')
    return false;
  long depth = 0;
  std::size_t start = g_root.size() + 1;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string_view segment(path.data() + start, end - start);
    if (segment == "..") {
      if (--depth < 0) return false;
    } else if (!segment.empty() && segment != ".") {
      ++depth;
    }
    start = end + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  MakeRoot();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view uri = fuzz::AsText(data, size);

  for (const char delimiter : {'/', '\\'}) {
    const std::string canonical = CanonicalizePath(uri, delimiter);
    VT_FUZZ_CHECK(canonical.size() <= uri.size());
  }

  for (const std::string& root : {g_root, g_root + "/"}) {
    std::string local;
    const TMapResult result = MapRequestPath(uri, root, local);
    if (result == mrInvalid) {
      VT_FUZZ_CHECK(local.empty());
      continue;
    }
    VT_FUZZ_CHECK(local.find('\0') == std::string::npos);
    VT_FUZZ_CHECK(InsideRoot(local));
    if (result == mrFound) {
      std::error_code error;
      VT_FUZZ_CHECK(std::filesystem::is_regular_file(local, error));
    }
  }
  return 0;
}
