#include "app/cgi_output.h"

#include "util/text.h"

namespace vt {
namespace {

// RFC 9110 tchar.
bool IsTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool IsControlChar(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return (byte < 32 && c != '\t') || byte == 127;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// "NNN" or "NNN reason": the code (200 to 599) and the reason; false for
// anything else.
bool ParseStatus(std::string_view value, int32_t& code, std::string& reason) {
  if (value.size() < 3 || (value.size() > 3 && value[3] != ' ')) return false;
  code = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    if (value[i] < '0' || value[i] > '9') return false;
    code = code * 10 + (value[i] - '0');
  }
  reason = std::string(TrimBlanks(value.substr(3)));
  return code >= 200 && code <= 599;
}

// A decimal number of at most 18 digits, else -1.
int64_t ParseLength(std::string_view value) {
  if (value.empty() || value.size() > 18) return -1;
  int64_t length = 0;
  for (const char c : value) {
    if (c < '0' || c > '9') return -1;
    length = length * 10 + (c - '0');
  }
  return length;
}

[[noreturn]] void Refuse(std::size_t line_number, const std::string& what) {
  throw ECGIOutput("header line " + std::to_string(line_number) + " " + what);
}

}  // namespace

bool HasWholeCGIHeader(std::string_view output) {
  if (output.starts_with("\n") || output.starts_with("\r\n")) return true;
  return output.find("\n\n") != std::string_view::npos || output.find("\n\r\n") != std::string_view::npos;
}

TCGIAnswer ParseCGIOutput(std::string_view output) {
  TCGIAnswer answer;
  bool has_status = false, has_location = false;
  std::size_t at = 0;
  for (std::size_t line_number = 1;; ++line_number) {
    if (at == output.size()) {  // no empty line: all of it is header
      answer.body_start = at;
      break;
    }
    const std::size_t newline = output.find('\n', at);
    const std::size_t end = newline == std::string_view::npos ? output.size() : newline;
    if (end > kMaxCGIHeader)
      throw ECGIOutput("its header section is longer than " + std::to_string(kMaxCGIHeader) + " bytes");
    std::string_view line = output.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    at = newline == std::string_view::npos ? output.size() : newline + 1;
    if (line.empty()) {
      answer.body_start = at;
      break;
    }

    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) Refuse(line_number, "has no field name and colon");
    const std::string_view name = line.substr(0, colon);
    for (const char c : name) {
      if (!IsTokenChar(c)) Refuse(line_number, "has no field name and colon");
    }
    const std::string_view value = TrimBlanks(line.substr(colon + 1));
    for (const char c : value) {
      if (IsControlChar(c)) Refuse(line_number, "(" + std::string(name) + ") holds a control character");
    }

    if (TextEqualFolded(name, "Status")) {
      if (has_status) Refuse(line_number, "is a second Status field");
      if (!ParseStatus(value, answer.status, answer.reason))
        Refuse(line_number, "is no Status of the form \"NNN reason\" with NNN from 200 to 599");
      has_status = true;
      continue;
    }
    if (TextEqualFolded(name, "Location")) {
      if (has_location) Refuse(line_number, "is a second Location field");
      if (value.empty()) Refuse(line_number, "is a Location field without a value");
      has_location = true;
    } else if (TextEqualFolded(name, "Content-Length")) {
      answer.content_length = ParseLength(value);
      continue;
    } else if (TextEqualFolded(name, "Transfer-Encoding") || TextEqualFolded(name, "Connection")) {
      continue;
    }
    std::string field(name);
    field.append(": ").append(value);
    answer.fields.push_back(std::move(field));
  }
  if (has_location && !has_status) answer.status = 302;
  return answer;
}

}  // namespace vt
