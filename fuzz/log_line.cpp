// The access log line: a template (the user's setting, here printable ASCII)
// expanded with what a request carried. Whatever the request fields hold:
// - the line holds nothing that ends a line or acts on a terminal (control
//   bytes, C1 controls, U+2028, U+2029), so one request is one line;
// - no value is searched for variables again, so the line is never longer
//   than the template plus one value for each variable it names;
// - the escaping loses nothing: it can be undone.
//
// Input: two bytes that choose the time and the status code, then the
// template, method, URI, referer and user agent, separated by 0xFF bytes.

#include <algorithm>
#include <string>
#include <vector>

#include "app/log_line.h"
#include "fuzz/fuzz_support.h"

using namespace vt;

namespace {

std::string PrintableAscii(const std::string& text) {
  std::string result;
  for (const char c : text) {
    if (c >= 32 && c < 127) result += c;
  }
  return result;
}

// A C1 control, U+2028 or U+2029 as UTF-8, or a byte 0x80-0x9F that follows
// no other byte of 0x80 or above (so it cannot continue a sequence).
bool HasTerminalControl(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) return true;
    if (text.substr(i, 3) == "\xe2\x80\xa8" || text.substr(i, 3) == "\xe2\x80\xa9") return true;
    if (byte >= 0x80 && byte <= 0x9F && (i == 0 || static_cast<unsigned char>(text[i - 1]) < 0x80))
      return true;
  }
  return false;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// EscapeLogText undone; false when `escaped` holds a "\" of no escape.
bool Unescape(std::string_view escaped, std::string& text) {
  text.clear();
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    if (escaped[i] != '\\') {
      text += escaped[i];
    } else if (escaped.substr(i + 1, 1) == "\\") {
      text += '\\';
      ++i;
    } else if (escaped.substr(i + 1, 1) == "x" && i + 3 < escaped.size() && HexDigit(escaped[i + 2]) >= 0 &&
               HexDigit(escaped[i + 3]) >= 0) {
      text += static_cast<char>(HexDigit(escaped[i + 2]) * 16 + HexDigit(escaped[i + 3]));
      i += 3;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input = fuzz::AsText(data, size);
  const std::uint8_t high = fuzz::TakeByte(input);
  const std::uint8_t low = fuzz::TakeByte(input);
  const std::vector<std::string> parts = fuzz::SplitFields(input, '\xff', 5);

  TLogLineFields fields;
  fields.method = parts[1];
  fields.uri = parts[2];
  fields.referer = parts[3];
  fields.user_agent = parts[4];
  fields.size = static_cast<std::int64_t>(size) * 1000003 - 5;
  fields.response = static_cast<int>(high) * 3 - 100;
  // Any day from 1900 to about 2079, at some time of that day.
  const TDateTime now = (high * 256 + low) + (low / 256.0);

  const std::string format = PrintableAscii(parts[0]);
  const std::string line = ExpandLogLine(format, now, fields);
  VT_FUZZ_CHECK(!fuzz::HasControlByte(line));
  VT_FUZZ_CHECK(!HasTerminalControl(line));

  // Each variable takes two of the template's "$"s; its value is at most
  // four bytes for each byte of the longest field (or a number, a date).
  std::size_t longest = 24;
  for (const std::string_view field : {fields.method, fields.uri, fields.referer, fields.user_agent})
    longest = std::max(longest, 4 * field.size());
  const std::string used = format.empty() ? std::string(kDefaultLogFormat) : format;
  const std::size_t variables = static_cast<std::size_t>(std::count(used.begin(), used.end(), '$')) / 2;
  VT_FUZZ_CHECK(line.size() <= used.size() + variables * longest);

  for (const std::string_view field : {fields.method, fields.uri, fields.referer, fields.user_agent}) {
    const std::string escaped = EscapeLogText(field);
    VT_FUZZ_CHECK(!fuzz::HasControlByte(escaped));
    VT_FUZZ_CHECK(!HasTerminalControl(escaped));
    std::string restored;
    VT_FUZZ_CHECK(Unescape(escaped, restored) && restored == field);
  }
  // A template of one variable is exactly its escaped value, "$"s and all.
  VT_FUZZ_CHECK(ExpandLogLine("$uri$", now, fields) == EscapeLogText(fields.uri));
  VT_FUZZ_CHECK(ExpandLogLine("<$referer$>", now, fields) == "<" + EscapeLogText(fields.referer) + ">");
  return 0;
}
