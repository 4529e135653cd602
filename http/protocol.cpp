#include "http/protocol.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>

#include "http/http_text.h"
#include "util/text.h"

namespace vt {

using detail::HexDigitValue;
using detail::IsHttpWhitespace;
using detail::Trimmed;

namespace {

struct TReasonPhrase {
  int32_t code;
  std::string_view phrase;
};

constexpr std::array<TReasonPhrase, 41> kReasonPhrases = {{
    {100, "Continue"},
    {101, "Switching Protocols"},
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {203, "Non-Authoritative Information"},
    {204, "No Content"},
    {205, "Reset Content"},
    {206, "Partial Content"},
    {300, "Multiple Choices"},
    {301, "Moved Permanently"},
    {302, "Found"},
    {303, "See Other"},
    {304, "Not modified"},
    {305, "Use Proxy"},
    {306, "Reserved"},
    {307, "Temporary Redirect"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {402, "Payment Required"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Found"},
    {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"},
    {408, "Request Timeout"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length Required"},
    {412, "Precondition Failed"},
    {413, "Request Entity Too Large"},
    {414, "Request-URI Too Long"},
    {415, "Unsupported Media Type"},
    {416, "Requested Range Not Satisfiable"},
    {417, "Expectation Failed"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Gateway Timeout"},
    {505, "HTTP Version Not Supported"},
}};

constexpr std::string_view kCRLF = "\r\n";

// The text before the first whitespace byte (all of it when there is none)
// and the text after that byte.
TTextCut CutAtWhitespace(std::string_view text) { return CutAtByteSet(text, detail::HttpWhitespace(), true); }

// The text before the first byte `is_delimiter` takes (all of it when there
// is none) and the text after that byte: views of `text`, no copies.
struct TViewCut {
  std::string_view left;
  std::string_view right;
};

template <typename IsDelimiter>
TViewCut CutView(std::string_view text, IsDelimiter is_delimiter) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (is_delimiter(text[i])) return {text.substr(0, i), text.substr(i + 1)};
  }
  return {text, std::string_view()};
}

TViewCut CutViewAtByte(std::string_view text, char delimiter) {
  return CutView(text, [delimiter](char c) { return c == delimiter; });
}

// "HTTP/1.1" into protocol (upper-cased) and the two numbers (0 when missing
// or not numbers).
void ParseVersionText(std::string_view version, std::string& protocol, int32_t& major, int32_t& minor) {
  // Nearly every request says one of these two.
  if (version == "HTTP/1.1" || version == "HTTP/1.0") {
    if (protocol != std::string_view("HTTP")) protocol.assign("HTTP");
    major = 1;
    minor = version.back() - '0';
    return;
  }
  const TViewCut protocolCut = CutViewAtByte(version, '/');
  protocol.assign(protocolCut.left);
  AsciiUpperInPlace(protocol);
  const TViewCut numbers = CutViewAtByte(protocolCut.right, '.');
  major = TextToIntOr(numbers.left, 0);
  minor = TextToIntOr(numbers.right, 0);
}

// Decodes `text` into `decoded` (PercentDecode, with "+" as a blank when
// plusIsBlank).
void DecodeURLTextInto(std::string& decoded, std::string_view text, bool plusIsBlank);

}  // namespace

namespace {

std::string_view ReasonPhraseOf(int32_t code) {
  const auto* row = std::find_if(kReasonPhrases.begin(), kReasonPhrases.end(),
                                 [code](const TReasonPhrase& r) { return r.code == code; });
  return row != kReasonPhrases.end() ? row->phrase : std::string_view();
}

void AppendNumber(std::string& out, int32_t value) {
  char digits[12];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, static_cast<std::size_t>(end - digits));
}

void AppendVersionText(std::string& out, std::string_view protocol, int32_t major, int32_t minor) {
  out += protocol;
  if (major <= 0 && minor <= 0) return;
  out += '/';
  AppendNumber(out, major);
  out += '.';
  AppendNumber(out, minor);
}

}  // namespace

std::string GetReasonPhrase(int32_t code) { return std::string(ReasonPhraseOf(code)); }

std::string ComposeVersionText(std::string_view protocol, int32_t major, int32_t minor) {
  std::string text;
  AppendVersionText(text, protocol, major, minor);
  return text;
}

std::string ComposeRequestLine(std::string_view method, std::string_view uri, std::string_view protocol,
                               int32_t major, int32_t minor) {
  std::string line = std::string(method) + " " + std::string(uri);
  const std::string version = ComposeVersionText(protocol, major, minor);
  if (!version.empty()) line += " " + version;
  return line;
}

void ParseRequestLine(std::string_view line, std::string& method, std::string& uri, std::string& query,
                      std::string& protocol, int32_t& major, int32_t& minor, std::string* authority) {
  // Every piece is a view of the line: the request's own strings are the
  // only copies made (a request line is parsed for every request).
  if (authority) authority->clear();
  const TViewCut methodCut = CutView(detail::TrimmedView(line), IsHttpWhitespace);
  method.assign(methodCut.left);
  if (std::any_of(method.begin(), method.end(), [](char c) { return c >= 'a' && c <= 'z'; }))
    AsciiUpperInPlace(method);
  const std::string_view rest = detail::TrimmedView(methodCut.right);
  std::size_t lastBlank = rest.size();
  while (lastBlank > 0 && !IsHttpWhitespace(rest[lastBlank - 1])) --lastBlank;
  std::string_view uriPart;
  if (lastBlank == 0) {
    protocol.clear();
    major = 0;
    minor = 0;
    uriPart = rest;
  } else {
    ParseVersionText(rest.substr(lastBlank), protocol, major, minor);
    uriPart = rest.substr(0, lastBlank - 1);
  }
  const TViewCut target = CutViewAtByte(detail::TrimmedView(uriPart), '?');
  std::string_view path = target.left;
  // The usual target is a path; only another can be an absolute URI.
  const bool origin_form = !path.empty() && path.front() == '/';
  for (const std::string_view scheme : {std::string_view("http://"), std::string_view("https://")}) {
    if (origin_form) break;
    if (!TextHasPrefix(scheme, path, false)) continue;
    // The absolute form (RFC 9112, 3.2.2): what a server serves is its path.
    const std::string_view rest = path.substr(scheme.size());
    const std::size_t slash = rest.find('/');
    if (authority) authority->assign(rest.substr(0, slash));
    path = slash == std::string_view::npos ? std::string_view("/") : rest.substr(slash);
    break;
  }
  DecodeURLTextInto(uri, path, false);
  query.assign(target.right);
}

namespace {

void DecodeURLTextInto(std::string& decoded, std::string_view text, bool plusIsBlank) {
  // A path with nothing to decode is taken as it is.
  if (text.find('%') == std::string_view::npos &&
      (!plusIsBlank || text.find('+') == std::string_view::npos)) {
    decoded.assign(text);
    return;
  }
  decoded.clear();
  decoded.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+' && plusIsBlank) {
      decoded += ' ';
    } else if (c != '%') {
      decoded += c;
    } else if (i + 1 < text.size() && text[i + 1] == '%') {
      decoded += '%';
      ++i;
    } else if (i + 2 < text.size() && HexDigitValue(text[i + 1]) >= 0 && HexDigitValue(text[i + 2]) >= 0) {
      decoded += static_cast<char>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2]));
      i += 2;
    } else {
      decoded += '%';
    }
  }
}

std::string DecodeURLText(std::string_view text, bool plusIsBlank) {
  std::string decoded;
  DecodeURLTextInto(decoded, text, plusIsBlank);
  return decoded;
}

}  // namespace

std::string PercentDecode(std::string_view text) { return DecodeURLText(text, false); }

std::string URLDecode(std::string_view text) { return DecodeURLText(text, true); }

std::string ComposeStatusLine(int32_t code, std::string_view reason, std::string_view protocol, int32_t major,
                              int32_t minor) {
  // Made in place, without a text per piece: every answer has one. No room
  // is reserved: the usual "HTTP/1.1 200 OK" fits the string itself.
  const std::string_view phrase = reason.empty() ? ReasonPhraseOf(code) : reason;
  std::string line;
  AppendVersionText(line, protocol, major, minor);
  line += ' ';
  AppendNumber(line, code);
  line += ' ';
  line += phrase;
  return line;
}

void ParseStatusLine(std::string_view line, std::string& protocol, int32_t& major, int32_t& minor,
                     int32_t& code, std::string& reason) {
  const TTextCut versionCut = CutAtWhitespace(Trimmed(line));
  ParseVersionText(versionCut.left, protocol, major, minor);
  const TTextCut codeCut = CutAtWhitespace(Trimmed(versionCut.right));
  code = TextToIntOr(codeCut.left, 0);
  reason = Trimmed(codeCut.right);
}

namespace {

// The number of a run of one or more decimal digits that is all of `text`:
// false for anything else. A number past 63 bits reads as the largest one,
// which is what it means for a range: past any body.
bool ReadRangeNumber(std::string_view text, int64_t& value) {
  if (text.empty()) return false;
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    const int digit = c - '0';
    value = value > (INT64_MAX - digit) / 10 ? INT64_MAX : value * 10 + digit;
  }
  return true;
}

// One range of a Range field's list (RFC 9110 14.1.1): "first-last",
// "first-" or "-suffix", digits only, no blanks. False for anything else,
// and for a last position before the first.
bool ReadOneRange(std::string_view range, int64_t& start, int64_t& end) {
  const std::size_t dash = range.find('-');
  if (dash == std::string_view::npos) return false;
  const std::string_view first = range.substr(0, dash);
  const std::string_view last = range.substr(dash + 1);
  start = -1;
  end = -1;
  if (first.empty()) return ReadRangeNumber(last, end);
  if (!ReadRangeNumber(first, start)) return false;
  if (last.empty()) return true;
  return ReadRangeNumber(last, end) && end >= start;
}

}  // namespace

bool ParseByteRange(std::string_view text, int64_t& start, int64_t& end) {
  start = -1;
  end = -1;
  // "bytes" (in any case), "=", then a list of ranges (RFC 9110 14.1.1).
  // A field that does not read so is ignored whole (14.2): a part of it
  // read some other way would send bytes the client did not ask for.
  const std::size_t equals = text.find('=');
  if (equals == std::string_view::npos || !TextEqualFolded(text.substr(0, equals), "bytes")) return false;
  std::string_view list = text.substr(equals + 1);
  bool found = false;
  int64_t first_start = -1;
  int64_t first_end = -1;
  // The list syntax (RFC 9110 5.6.1): elements parted by commas with blanks
  // or tabs around them; empty elements are passed over.
  for (;;) {
    const std::size_t comma = list.find(',');
    std::string_view element = list.substr(0, comma);
    while (!element.empty() && (element.front() == ' ' || element.front() == '\t')) element.remove_prefix(1);
    while (!element.empty() && (element.back() == ' ' || element.back() == '\t')) element.remove_suffix(1);
    if (!element.empty()) {
      int64_t element_start = -1;
      int64_t element_end = -1;
      if (!ReadOneRange(element, element_start, element_end)) return false;
      if (!found) {
        first_start = element_start;
        first_end = element_end;
        found = true;
      }
    }
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  if (!found) return false;
  start = first_start;
  end = first_end;
  return true;
}

void ComputeByteRange(int64_t size, int64_t start, int64_t end, int64_t& rangeStart, int64_t& length) {
  if (start == -1) {
    length = std::min(size, end);
    rangeStart = size - length;
  } else if (end == -1) {
    rangeStart = start;
    length = std::max<int64_t>(size - start, 0);
  } else if (start < size) {
    rangeStart = start;
    length = std::min(end, size - 1) - start + 1;
  } else {
    rangeStart = 0;
    length = 0;
  }
}

std::string HTMLErrorPage(std::string_view title, std::string_view text, std::string_view detail,
                          std::string_view server) {
  return HTMLErrorPage(title, text, detail, server, NowLocal());
}

std::string HTMLErrorPage(std::string_view title, std::string_view text, std::string_view detail,
                          std::string_view server, TDateTime generatedLocal) {
  std::string page;
  page.append("<HTML><HEAD>").append(kCRLF);
  page.append("<TITLE>").append(title).append("</TITLE>").append(kCRLF);
  page.append("</HEAD><BODY>").append(kCRLF);
  page.append("<H1>").append(title).append("</H1>").append(kCRLF);
  page.append("<B>").append(text).append(kCRLF);
  page.append("<BR><BR><PRE>").append(kCRLF);
  page.append(detail).append(kCRLF);
  page.append("</PRE><BR><HR>").append(kCRLF);
  page.append("<FONT SIZE=2>Generated ").append(LocalDateTimeToHTTPText(generatedLocal));
  page.append(" by ").append(server.empty() ? kHTTPServerToken : server).append(".</FONT>").append(kCRLF);
  page.append("</BODY></HTML>").append(kCRLF);
  return page;
}

}  // namespace vt
