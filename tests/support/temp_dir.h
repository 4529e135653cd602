#pragma once

// A fresh directory under $TMPDIR (or /tmp) for one test, removed with
// everything in it when the object goes out of scope.

#include <string>

namespace vt::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory's path, without a trailing "/".
  const std::string& Path() const { return path_; }

  // Path() + "/" + name.
  std::string File(const std::string& name) const { return path_ + "/" + name; }

  // Writes a file below the directory (creating parent folders) and returns its path.
  std::string WriteFile(const std::string& name, const std::string& content) const;

 private:
  std::string path_;
};

// The whole content of a file; empty when it cannot be read.
std::string ReadFileText(const std::string& path);

}  // namespace vt::test
