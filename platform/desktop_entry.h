#pragma once

// The few pieces of the freedesktop.org Desktop Entry format that the
// start-at-login entry needs: reading one key of the "[Desktop Entry]" group,
// and writing and reading the program of an Exec key.

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

}  // namespace vt
