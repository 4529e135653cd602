#pragma once

// The few pieces of the freedesktop.org Desktop Entry format that the
// start-at-login entry needs: reading one key of the "[Desktop Entry]" group,
// writing and reading the program of an Exec key, and the entry's text.

#include <string>

namespace vt {

// The value of `key` in the "[Desktop Entry]" group of `content`, with the
// format's string escapes (\s \n \t \r \\) undone. Keys are case-sensitive, as
// the format says. False when the key is not there.
bool FindDesktopEntryValue(const std::string& content, const std::string& key, std::string& value);

// An Exec value that runs `program` without arguments, ready to be written
// after "Exec=": quoted when the path holds a reserved character (a blank, a
// quote, "$" ...), "%" doubled, and string escapes applied.
std::string EncodeDesktopExec(const std::string& program);

// The program (first argument) of an Exec value as read by
// FindDesktopEntryValue: quotes and their backslash escapes removed and "%%"
// turned back into "%". Empty when the value holds no program.
std::string DesktopExecProgram(const std::string& exec);

// What the start-at-login entry says: the program it runs and how the
// desktop's list of start-up programs shows it.
struct TAutostartEntry {
  std::string Name;     // as the menu names the program
  std::string Program;  // its full path
  std::string Icon;     // an icon of the theme; empty: none
};

// The entry's text. It runs the program without arguments and, through
// TryExec, only while the program is there: once a package manager has
// removed it, the desktop passes the entry over instead of failing at every
// login.
std::string AutostartEntryText(const TAutostartEntry& entry);

}  // namespace vt
