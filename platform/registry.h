#pragma once

// Registry helpers, the program's own location, the content types of file
// extensions, and the start-at-login entry.
//
// Linux has no system registry. The generic value functions work on a small
// store of our own: one INI file per root in $XDG_CONFIG_HOME/vtRegistry/
// (classes_root.ini, current_user.ini, local_machine.ini), a section per key
// path and a line per value holding its type and bytes. Key paths and value
// names are matched without regard to ASCII case; "\" separates the parts of
// a key path, and empty parts are ignored ("\.html" and ".html" are one key).
// Every change is one atomic file replacement; a process-wide lock makes the
// functions safe to call from any thread (other processes writing the same
// store at the same moment are not guarded against).
//
// No function here raises: a failure shows as a false result or an empty text.

#include <cstdint>
#include <string>

namespace vt {

enum class RegistryRoot { kClassesRoot, kCurrentUser, kLocalMachine };

// Value types.
constexpr uint32_t kRegistryString = 1;  // text with its terminating zero byte
constexpr uint32_t kRegistryNumber = 4;  // 32-bit number in the machine's byte order

// Writes a value, creating the key when it is missing. A negative size fails.
bool SetRegistryValue(RegistryRoot root, const std::string& key, const std::string& name, const void* data,
                      int32_t size, uint32_t type);

// Writes `text` and a terminating zero byte as a string value.
bool SetRegistryString(RegistryRoot root, const std::string& key, const std::string& name,
                       const std::string& text);

// Reads a value: its bytes (data.size() is the byte count) and type. False,
// with empty outputs, when the key or value is missing or holds no bytes.
bool GetRegistryValue(RegistryRoot root, const std::string& key, const std::string& name, std::string& data,
                      uint32_t& type);

// A value as text: a number value (type 4, at least 4 bytes) as its unsigned
// decimal text; any other value as its bytes without a terminating zero byte
// (a last byte that is not zero is kept). Empty when it cannot be read.
std::string GetRegistryString(RegistryRoot root, const std::string& key, const std::string& name);

// Deletes a value of an existing key; the key itself stays.
bool DeleteRegistryValue(RegistryRoot root, const std::string& key, const std::string& name);

// The directory for configuration files with a trailing "/": $XDG_CONFIG_HOME
// when it is set to an absolute path, otherwise ~/.config/. Read at each call.
std::string GetConfigDirectory();

// The full path of the running program (/proc/self/exe); empty if unknown.
std::string GetAppFileName();

// The directory of the running program with a trailing "/"; empty if unknown.
std::string GetAppDirectory();

// The content type that the system's MIME database (/etc/mime.types) gives
// the extension (".html", with or without the dot, any letter case); empty
// when it has none or the database is missing. The database is read once, at
// the first call; safe on any thread.
std::string GetRegistryContentType(const std::string& ext);

// Start at login: an XDG autostart entry
// $XDG_CONFIG_HOME/autostart/<name>.desktop whose Exec key holds the
// program's full path.
//
// True when the entry exists, is not marked Hidden, and its program equals
// GetAppFileName() without regard to ASCII case. False for an empty or
// unusable name (one holding "/").
bool IsRunAtStartup(const std::string& name);

// On writes the entry for this program (replacing any entry of that name);
// off deletes the entry whatever program it names. Failures are ignored: the
// next IsRunAtStartup shows the real state.
void SetRunAtStartup(const std::string& name, bool on);

// How the entries SetRunAtStartup writes show on the desktop: the name the
// menu gives the program, and its icon. Until it is called, an entry is
// named by its file name and has no icon. Set once at the start, before
// any entry is written.
void SetAutostartLook(const std::string& display_name, const std::string& icon);

// Brings the entry for `name` up to date when it is this program's
// (IsRunAtStartup) but was written otherwise (by an older version, without
// TryExec or icon); any other entry stays as it is. Failures are ignored.
void RefreshRunAtStartup(const std::string& name);

// The path of the autostart entry for `name` (empty for an unusable name).
std::string GetAutostartFileName(const std::string& name);

}  // namespace vt
