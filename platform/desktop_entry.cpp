#include "platform/desktop_entry.h"

#include <string_view>

namespace vt {
namespace {

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == '\r'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

std::string UnescapeString(std::string_view text) {
  std::string result;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      result += text[i];
      continue;
    }
    switch (text[++i]) {
      case 's':
        result += ' ';
        break;
      case 'n':
        result += '\n';
        break;
      case 't':
        result += '\t';
        break;
      case 'r':
        result += '\r';
        break;
      case '\\':
        result += '\\';
        break;
      default:  // not an escape of the string type: keep it for the Exec rules
        result += '\\';
        result += text[i];
    }
  }
  return result;
}

std::string EscapeString(std::string_view text) {
  std::string result;
  for (char c : text) {
    switch (c) {
      case '\\':
        result += "\\\\";
        break;
      case '\n':
        result += "\\n";
        break;
      case '\t':
        result += "\\t";
        break;
      case '\r':
        result += "\\r";
        break;
      default:
        result += c;
    }
  }
  return result;
}

}  // namespace

bool FindDesktopEntryValue(const std::string& content, const std::string& key, std::string& value) {
  bool in_group = false;
  std::string_view rest = content;
  while (!rest.empty()) {
    const size_t newline = rest.find('\n');
    const std::string_view line = TrimBlanks(rest.substr(0, newline));
    rest = newline == std::string_view::npos ? std::string_view() : rest.substr(newline + 1);
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      in_group = line == "[Desktop Entry]";
      continue;
    }
    const size_t equals = line.find('=');
    if (!in_group || equals == std::string_view::npos || TrimBlanks(line.substr(0, equals)) != key) continue;
    value = UnescapeString(TrimBlanks(line.substr(equals + 1)));
    return true;
  }
  return false;
}

std::string EncodeDesktopExec(const std::string& program) {
  constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
  std::string argument;
  if (program.empty() || program.find_first_of(kReserved) != std::string::npos) {
    argument = "\"";
    for (char c : program) {
      if (c == '"' || c == '`' || c == '$' || c == '\\') argument += '\\';
      argument += c;
    }
    argument += '"';
  } else {
    argument = program;
  }
  std::string field_safe;
  for (char c : argument) {
    field_safe += c;
    if (c == '%') field_safe += '%';
  }
  return EscapeString(field_safe);
}

std::string DesktopExecProgram(const std::string& exec) {
  std::string_view text = exec;
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  std::string program;
  if (!text.empty() && text.front() == '"') {
    for (size_t i = 1; i < text.size() && text[i] != '"'; ++i) {
      if (text[i] == '\\' && i + 1 < text.size()) ++i;
      program += text[i];
    }
  } else {
    program = text.substr(0, text.find_first_of(" \t"));
  }
  std::string result;
  for (size_t i = 0; i < program.size(); ++i) {
    result += program[i];
    if (program[i] == '%' && i + 1 < program.size() && program[i + 1] == '%') ++i;
  }
  return result;
}

std::string AutostartEntryText(const TAutostartEntry& entry) {
  // A name is one line of text: no line breaks of its own.
  std::string name;
  for (char c : entry.Name) name += (c == '\n' || c == '\r' || c == '\t') ? ' ' : c;
  std::string text = "[Desktop Entry]\nType=Application\nName=" + EscapeString(name) + "\n";
  if (!entry.Icon.empty()) text += "Icon=" + EscapeString(entry.Icon) + "\n";
  // TryExec is a plain string, not an Exec line: no quoting.
  text += "TryExec=" + EscapeString(entry.Program) + "\nExec=" + EncodeDesktopExec(entry.Program) +
          "\nTerminal=false\n";
  return text;
}

}  // namespace vt
