#include "app/log_line.h"

#include <iterator>
#include <vector>

#include "util/text.h"

namespace vt {
namespace {

std::string TwoDigits(int value) { return PadTextLeft(std::to_string(value), '0', 2, false); }

}  // namespace

std::string EscapeLogText(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string result;
  result.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 32 || byte == 127) {
      result += "\\x";
      result += kHex[byte >> 4];
      result += kHex[byte & 15];
    } else if (c == '\\') {
      result += "\\\\";
    } else {
      result += c;
    }
  }
  return result;
}

namespace {

// The variables in the order they are replaced.
constexpr std::string_view kVariables[] = {"$date$", "$time$",    "$method$",    "$size$",
                                           "$uri$",  "$referer$", "$useragent$", "$response$"};
constexpr int kVariableCount = static_cast<int>(std::size(kVariables));

// The value of variable `index` for one request.
std::string VariableValue(int index, const TDateTimeParts& t, const TLogLineFields& fields) {
  switch (index) {
    case 0:
      return TwoDigits(t.day) + "-" + TwoDigits(t.month) + "-" +
             PadTextLeft(std::to_string(t.year), '0', 4, false);
    case 1:
      return TwoDigits(t.hour) + ":" + TwoDigits(t.minute) + ":" + TwoDigits(t.second);
    case 2:
      return EscapeLogText(fields.method);
    case 3:
      return std::to_string(fields.size);
    case 4:
      return EscapeLogText(fields.uri);
    case 5:
      return EscapeLogText(fields.referer);
    case 6:
      return EscapeLogText(fields.user_agent);
    default:
      return std::to_string(fields.response);
  }
}

// A template taken apart once: the replacements run over it with a marker
// (a control byte and the variable's number) in place of each value. When
// that leaves no "$" behind, every "$" of the template belonged to a
// variable that was replaced, and values without a "$" (and, escaped, never
// with a control byte) cannot make or break a later match: the line is then
// the pieces with the values put in, as the replacements would have made it.
struct TCompiledTemplate {
  std::string format;
  bool usable = false;
  std::vector<std::string> texts;  // texts[i] comes before slots[i]; one more text than slots
  std::vector<int> slots;
};

constexpr char kMarker = '\x01';

const TCompiledTemplate& CompiledTemplate(std::string_view format) {
  thread_local TCompiledTemplate compiled;
  thread_local bool ready = false;
  if (ready && compiled.format == format) return compiled;
  compiled = TCompiledTemplate{};
  compiled.format = std::string(format);
  ready = true;
  if (format.find(kMarker) != std::string_view::npos) return compiled;
  std::string line(format);
  for (int i = 0; i < kVariableCount; ++i)
    line = ReplaceText(kVariables[i], std::string{kMarker, static_cast<char>('0' + i)}, line, true);
  if (line.find('$') != std::string::npos) return compiled;
  std::string text;
  for (std::size_t at = 0; at < line.size(); ++at) {
    if (line[at] == kMarker) {
      compiled.texts.push_back(std::move(text));
      text.clear();
      compiled.slots.push_back(line[++at] - '0');
    } else {
      text += line[at];
    }
  }
  compiled.texts.push_back(std::move(text));
  compiled.usable = true;
  return compiled;
}

}  // namespace

std::string ExpandLogLine(std::string_view log_format, TDateTime now, const TLogLineFields& fields) {
  const TDateTimeParts t = DecodeDateTime(now);
  const std::string_view format = log_format.empty() ? std::string_view(kDefaultLogFormat) : log_format;

  const TCompiledTemplate& compiled = CompiledTemplate(format);
  if (compiled.usable) {
    std::string values[kVariableCount];
    bool computed[kVariableCount] = {};
    bool plain = true;
    for (int slot : compiled.slots) {
      if (computed[slot]) continue;
      computed[slot] = true;
      values[slot] = VariableValue(slot, t, fields);
      plain = plain && values[slot].find('$') == std::string::npos;
    }
    if (plain) {
      std::string line = compiled.texts[0];
      for (std::size_t i = 0; i < compiled.slots.size(); ++i) {
        line += values[compiled.slots[i]];
        line += compiled.texts[i + 1];
      }
      return line;
    }
  }

  std::string line(format);
  for (int i = 0; i < kVariableCount; ++i)
    line = ReplaceText(kVariables[i], VariableValue(i, t, fields), line, true);
  return line;
}

}  // namespace vt
