#include "platform/registry.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/desktop_entry.h"
#include "platform/ini_file.h"
#include "platform/mime_types.h"
#include "util/ascii.h"

namespace vt {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Serialises every use of the store files within the process.
std::mutex& StoreLock() {
  static std::mutex lock;
  return lock;
}

std::string StoreFileName(RegistryRoot root) {
  const char* name = "local_machine";
  if (root == RegistryRoot::kClassesRoot) name = "classes_root";
  if (root == RegistryRoot::kCurrentUser) name = "current_user";
  return GetConfigDirectory() + "vtRegistry/" + name + ".ini";
}

// Percent-encodes the bytes that an INI name cannot hold as they are. Letters
// pass unchanged, so names still compare without regard to case.
std::string EscapeName(const std::string& name) {
  std::string result;
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 32 || byte >= 127 || std::strchr("%=[];#@\"'", c)) {
      result += '%';
      result += kHexDigits[byte >> 4];
      result += kHexDigits[byte & 15];
    } else {
      result += c;
    }
  }
  return result;
}

std::string SectionOf(const std::string& key) {
  std::string normalized;
  size_t start = 0;
  while (start <= key.size()) {
    size_t end = key.find('\\', start);
    if (end == std::string::npos) end = key.size();
    if (end > start) {
      if (!normalized.empty()) normalized += '\\';
      normalized.append(key, start, end - start);
    }
    start = end + 1;
  }
  return normalized.empty() ? "\\" : EscapeName(normalized);
}

// The empty name (a key's default value) is "@", which EscapeName never makes.
std::string IdentOf(const std::string& name) { return name.empty() ? "@" : EscapeName(name); }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// "<type>:<hex bytes>"
bool DecodeValue(const std::string& stored, std::string& data, uint32_t& type) {
  const size_t colon = stored.find(':');
  if (colon == std::string::npos || colon == 0 || colon > 10 || (stored.size() - colon - 1) % 2 != 0)
    return false;
  uint64_t parsed_type = 0;
  for (size_t i = 0; i < colon; ++i) {
    if (stored[i] < '0' || stored[i] > '9') return false;
    parsed_type = parsed_type * 10 + static_cast<uint64_t>(stored[i] - '0');
  }
  if (parsed_type > UINT32_MAX) return false;
  std::string bytes;
  for (size_t i = colon + 1; i < stored.size(); i += 2) {
    const int high = HexValue(stored[i]), low = HexValue(stored[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes += static_cast<char>(high * 16 + low);
  }
  data = std::move(bytes);
  type = static_cast<uint32_t>(parsed_type);
  return true;
}

bool SameTextFolded(const std::string& a, const std::string& b) {
  return a.size() == b.size() && AsciiEqualFolded(a.data(), b.data(), a.size());
}

}  // namespace

bool SetRegistryValue(RegistryRoot root, const std::string& key, const std::string& name, const void* data,
                      int32_t size, uint32_t type) {
  if (size < 0 || (size > 0 && !data)) return false;
  std::string stored = std::to_string(type) + ":";
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (int32_t i = 0; i < size; ++i) {
    stored += kHexDigits[bytes[i] >> 4];
    stored += kHexDigits[bytes[i] & 15];
  }
  std::lock_guard<std::mutex> guard(StoreLock());
  try {
    TIniFile store(StoreFileName(root));
    if (store.ReadFailed()) return false;
    store.WriteString(SectionOf(key), IdentOf(name), stored);
    store.UpdateFile();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool SetRegistryString(RegistryRoot root, const std::string& key, const std::string& name,
                       const std::string& text) {
  if (text.size() >= static_cast<size_t>(INT32_MAX)) return false;
  const std::string with_zero = text + '\0';
  return SetRegistryValue(root, key, name, with_zero.data(), static_cast<int32_t>(with_zero.size()),
                          kRegistryString);
}

bool GetRegistryValue(RegistryRoot root, const std::string& key, const std::string& name, std::string& data,
                      uint32_t& type) {
  data.clear();
  type = 0;
  std::lock_guard<std::mutex> guard(StoreLock());
  try {
    const TIniFile store(StoreFileName(root));
    const std::string section = SectionOf(key), ident = IdentOf(name);
    if (!store.ValueExists(section, ident)) return false;
    std::string bytes;
    uint32_t found_type;
    if (!DecodeValue(store.ReadString(section, ident, ""), bytes, found_type) || bytes.empty()) return false;
    data = std::move(bytes);
    type = found_type;
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

std::string GetRegistryString(RegistryRoot root, const std::string& key, const std::string& name) {
  std::string data;
  uint32_t type;
  if (!GetRegistryValue(root, key, name, data, type)) return {};
  if (type == kRegistryNumber && data.size() >= 4) {
    uint32_t number;
    std::memcpy(&number, data.data(), sizeof number);
    return std::to_string(number);
  }
  // Only a real terminating zero is dropped: a value written without one
  // keeps its last character.
  if (!data.empty() && data.back() == '\0') data.pop_back();
  return data;
}

bool DeleteRegistryValue(RegistryRoot root, const std::string& key, const std::string& name) {
  std::lock_guard<std::mutex> guard(StoreLock());
  try {
    TIniFile store(StoreFileName(root));
    if (store.ReadFailed() || !store.DeleteKey(SectionOf(key), IdentOf(name))) return false;
    store.UpdateFile();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

std::string GetConfigDirectory() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string directory;
  if (config && config[0] == '/') {  // XDG: a relative path is to be ignored
    directory = config;
  } else {
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') {
      directory = home;
    } else {
      std::vector<char> buffer(16384);
      struct passwd entry, *found = nullptr;
      if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
        directory = found->pw_dir;
      }
    }
    if (!directory.empty() && directory.back() == '/') directory.pop_back();
    directory += "/.config";
  }
  if (directory.back() != '/') directory += '/';
  return directory;
}

std::string GetAppFileName() {
  std::vector<char> buffer(4096);
  for (;;) {
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return {};
    if (static_cast<size_t>(length) < buffer.size()) {
      std::string path(buffer.data(), static_cast<size_t>(length));
      // A program file replaced while it runs (an upgrade) reads "<path> (deleted)".
      constexpr std::string_view kDeleted = " (deleted)";
      if (path.size() > kDeleted.size() && path.ends_with(kDeleted))
        path.resize(path.size() - kDeleted.size());
      return path;
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::string GetAppDirectory() {
  const std::string path = GetAppFileName();
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string GetRegistryContentType(const std::string& ext) {
  static const TMimeTypeTable table = [] {
    TMimeTypeTable loaded;
    std::string content;
    if (ReadFileContent("/etc/mime.types", content) == 0) loaded.Parse(content);
    return loaded;
  }();
  return table.Find(ext);
}

namespace {

// Set once at the start (SetAutostartLook), read when an entry is written.
std::mutex autostart_look_lock;
std::string autostart_name;
std::string autostart_icon;

// The text of this program's entry `name`; empty when the program's path
// is unknown.
std::string AutostartText(const std::string& name) {
  TAutostartEntry entry;
  entry.Program = GetAppFileName();
  if (entry.Program.empty()) return {};
  std::lock_guard lock(autostart_look_lock);
  entry.Name = autostart_name.empty() ? name : autostart_name;
  entry.Icon = autostart_icon;
  return AutostartEntryText(entry);
}

}  // namespace

void SetAutostartLook(const std::string& display_name, const std::string& icon) {
  std::lock_guard lock(autostart_look_lock);
  autostart_name = display_name;
  autostart_icon = icon;
}

void RefreshRunAtStartup(const std::string& name) {
  if (!IsRunAtStartup(name)) return;
  const std::string path = GetAutostartFileName(name);
  std::string content;
  const std::string entry = AutostartText(name);
  if (entry.empty() || ReadFileContent(path, content) != 0 || content == entry) return;
  try {
    WriteFileAtomically(path, entry);
  } catch (const std::exception&) {
    // Ignored by design: the old entry still starts the program.
  }
}

std::string GetAutostartFileName(const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos || name.find('\0') != std::string::npos) return {};
  return GetConfigDirectory() + "autostart/" + name + ".desktop";
}

bool IsRunAtStartup(const std::string& name) {
  const std::string program = GetAppFileName();
  const std::string path = GetAutostartFileName(name);
  if (program.empty() || path.empty()) return false;
  std::string content, exec, hidden;
  if (ReadFileContent(path, content) != 0 || !FindDesktopEntryValue(content, "Exec", exec)) return false;
  // A desktop that hides an entry does not start it.
  if (FindDesktopEntryValue(content, "Hidden", hidden) && hidden == "true") return false;
  return SameTextFolded(DesktopExecProgram(exec), program);
}

void SetRunAtStartup(const std::string& name, bool on) {
  const std::string path = GetAutostartFileName(name);
  if (path.empty()) return;
  if (!on) {
    ::unlink(path.c_str());
    return;
  }
  const std::string entry = AutostartText(name);
  if (entry.empty()) return;
  try {
    WriteFileAtomically(path, entry);
  } catch (const std::exception&) {
    // Ignored by design: the option simply stays as it was.
  }
}

}  // namespace vt
