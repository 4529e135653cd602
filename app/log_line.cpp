#include "app/log_line.h"

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

std::string ExpandLogLine(std::string_view log_format, TDateTime now, const TLogLineFields& fields) {
  const TDateTimeParts t = DecodeDateTime(now);
  const std::string date =
      TwoDigits(t.day) + "-" + TwoDigits(t.month) + "-" + PadTextLeft(std::to_string(t.year), '0', 4, false);
  const std::string time = TwoDigits(t.hour) + ":" + TwoDigits(t.minute) + ":" + TwoDigits(t.second);

  std::string line(log_format.empty() ? std::string_view(kDefaultLogFormat) : log_format);
  const std::pair<std::string_view, std::string> variables[] = {
      {"$date$", date},
      {"$time$", time},
      {"$method$", EscapeLogText(fields.method)},
      {"$size$", std::to_string(fields.size)},
      {"$uri$", EscapeLogText(fields.uri)},
      {"$referer$", EscapeLogText(fields.referer)},
      {"$useragent$", EscapeLogText(fields.user_agent)},
      {"$response$", std::to_string(fields.response)},
  };
  for (const auto& [name, value] : variables) line = ReplaceText(name, value, line, true);
  return line;
}

}  // namespace vt
