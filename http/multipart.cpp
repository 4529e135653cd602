#include "http/multipart.h"

#include <cstring>

#include "util/ascii.h"

namespace vt {

namespace {

constexpr std::string_view kLineEnd = "\r\n";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool EqualFolded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (AsciiToLower(a[i]) != AsciiToLower(b[i])) return false;
  return true;
}

bool StartsFolded(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualFolded(text.substr(0, prefix.size()), prefix);
}

// The characters a boundary may hold (RFC 2046's bchars).
bool IsBoundaryChar(char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  return std::strchr("'()+_,-./:=? ", c) != nullptr && c != '\0';
}

// One parameter of a field value read from `text` at `pos` (just after a
// ";"): its name lower-cased and its value, unquoted. False when the
// parameter is malformed (no "=", an unterminated quote).
bool NextParameter(std::string_view text, std::size_t& pos, std::string& name, std::string& value) {
  while (pos < text.size() && IsBlank(text[pos])) ++pos;
  const std::size_t equals = text.find('=', pos);
  const std::size_t semicolon = text.find(';', pos);
  if (equals == std::string_view::npos || (semicolon != std::string_view::npos && semicolon < equals))
    return false;
  name.clear();
  for (char c : Trim(text.substr(pos, equals - pos))) name += AsciiToLower(c);
  if (name.empty()) return false;
  pos = equals + 1;
  while (pos < text.size() && IsBlank(text[pos])) ++pos;
  value.clear();
  if (pos < text.size() && text[pos] == '"') {
    // A quoted string. A backslash quotes only '"' and '\' here: browsers
    // send a Windows path's backslashes as they are (and a '"' as %22).
    ++pos;
    for (;;) {
      if (pos >= text.size()) return false;
      const char c = text[pos++];
      if (c == '"') break;
      if (c == '\\' && pos < text.size() && (text[pos] == '"' || text[pos] == '\\')) {
        value += text[pos++];
      } else {
        value += c;
      }
    }
    while (pos < text.size() && IsBlank(text[pos])) ++pos;
    if (pos < text.size() && text[pos] != ';') return false;
  } else {
    const std::size_t end = text.find(';', pos);
    value = Trim(text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos));
    pos = end == std::string_view::npos ? text.size() : end;
  }
  if (pos < text.size()) ++pos;  // the ";"
  return true;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// An extended parameter value (RFC 5987: charset'language'percent-encoded)
// as UTF-8; nothing for another charset or a broken escape.
std::optional<std::string> DecodeExtendedValue(std::string_view value) {
  const std::size_t first = value.find('\'');
  if (first == std::string_view::npos) return std::nullopt;
  const std::size_t second = value.find('\'', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  const std::string_view charset = value.substr(0, first);
  const bool latin1 = EqualFolded(charset, "iso-8859-1");
  if (!latin1 && !EqualFolded(charset, "utf-8")) return std::nullopt;
  std::string out;
  for (std::size_t i = second + 1; i < value.size(); ++i) {
    unsigned char byte = static_cast<unsigned char>(value[i]);
    if (byte == '%') {
      if (i + 2 >= value.size()) return std::nullopt;
      const int high = HexValue(value[i + 1]);
      const int low = HexValue(value[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      byte = static_cast<unsigned char>(high * 16 + low);
      i += 2;
    }
    if (latin1 && byte >= 0x80) {
      out += static_cast<char>(0xC0 | (byte >> 6));
      out += static_cast<char>(0x80 | (byte & 0x3F));
    } else {
      out += static_cast<char>(byte);
    }
  }
  return out;
}

// The last segment of a path a client may have sent as a file name.
std::string LastSegment(const std::string& name) {
  const std::size_t separator = name.find_last_of("/\\");
  return separator == std::string::npos ? name : name.substr(separator + 1);
}

}  // namespace

std::optional<std::string> ParseMultipartBoundary(std::string_view content_type) {
  const std::size_t semicolon = content_type.find(';');
  if (!EqualFolded(Trim(content_type.substr(0, semicolon)), "multipart/form-data")) return std::nullopt;
  if (semicolon == std::string_view::npos) return std::nullopt;
  std::size_t pos = semicolon + 1;
  std::string name;
  std::string value;
  std::optional<std::string> boundary;
  while (pos < content_type.size()) {
    if (!NextParameter(content_type, pos, name, value)) return std::nullopt;
    if (name != "boundary") continue;
    // Two boundaries could be read two ways.
    if (boundary) return std::nullopt;
    boundary = value;
  }
  if (!boundary || boundary->empty() || boundary->size() > 70 || boundary->back() == ' ') return std::nullopt;
  for (char c : *boundary)
    if (!IsBoundaryChar(c)) return std::nullopt;
  return boundary;
}

bool ParseContentDisposition(std::string_view value, TMultipartPart& part) {
  const std::size_t semicolon = value.find(';');
  // Only form data is a form's part (RFC 7578).
  if (!EqualFolded(Trim(value.substr(0, semicolon)), "form-data")) return false;
  std::size_t pos = semicolon == std::string_view::npos ? value.size() : semicolon + 1;
  std::string name;
  std::string text;
  std::optional<std::string> plain;
  std::optional<std::string> extended;
  while (pos < value.size()) {
    if (!NextParameter(value, pos, name, text)) return false;
    if (name == "name") {
      part.name = text;
    } else if (name == "filename") {
      plain = text;
    } else if (name == "filename*") {
      // Unreadable, it is as if not sent; filename= may still name it.
      extended = DecodeExtendedValue(text);
      part.has_filename = true;
    }
  }
  if (plain) part.has_filename = true;
  if (extended) {
    part.filename = LastSegment(*extended);
  } else if (plain) {
    part.filename = LastSegment(*plain);
  }
  return true;
}

TMultipartParser::TMultipartParser(std::string_view boundary, IMultipartSink& sink) : sink_(sink) {
  delimiter_.reserve(boundary.size() + 4);
  delimiter_.append(kLineEnd).append("--").append(boundary);
  // The first delimiter may open the body without a line end before it:
  // one is put in front, so that every delimiter is found the same way.
  pending_.assign(kLineEnd);
}

void TMultipartParser::Fail(const std::string& reason) {
  state_ = TState::kFailed;
  pending_.clear();
  pos_ = 0;
  throw EMultipart(reason);
}

void TMultipartParser::Feed(std::string_view data) {
  if (state_ == TState::kFailed) throw EMultipart("The body was refused already");
  if (state_ == TState::kEpilogue || data.empty()) return;
  pending_.append(data);
  for (bool more = true; more;) {
    switch (state_) {
      case TState::kPreamble:
        more = TakePreamble();
        break;
      case TState::kAfterDelimiter:
        more = TakeAfterDelimiter();
        break;
      case TState::kHead:
        more = TakeHead();
        break;
      case TState::kData:
        more = TakeData();
        break;
      case TState::kEpilogue:
        pending_.clear();
        pos_ = 0;
        return;
      case TState::kFailed:
        return;
    }
  }
  pending_.erase(0, pos_);
  pos_ = 0;
}

void TMultipartParser::Finish() {
  if (state_ == TState::kEpilogue) return;
  if (state_ == TState::kFailed) throw EMultipart("The body was refused already");
  Fail("The body ended before its closing boundary");
}

bool TMultipartParser::TakePreamble() {
  const std::size_t hit = pending_.find(delimiter_, pos_);
  if (hit == std::string::npos) {
    // What cannot begin a delimiter any more is preamble, dropped.
    if (pending_.size() - pos_ >= delimiter_.size()) pos_ = pending_.size() - (delimiter_.size() - 1);
    return false;
  }
  pos_ = hit + delimiter_.size();
  state_ = TState::kAfterDelimiter;
  return true;
}

bool TMultipartParser::TakeAfterDelimiter() {
  const std::string_view rest = std::string_view(pending_).substr(pos_);
  if (rest.size() < 2) return false;
  if (rest.substr(0, 2) == "--") {
    if (in_part_) sink_.EndPart();
    in_part_ = false;
    state_ = TState::kEpilogue;
    pos_ = pending_.size();
    return true;
  }
  std::size_t blanks = 0;
  while (blanks < rest.size() && IsBlank(rest[blanks])) {
    if (++blanks > kMaxPadding) Fail("Too many blanks after a boundary");
  }
  if (rest.size() - blanks < 2) return false;
  if (rest.substr(blanks, 2) != kLineEnd) Fail("A boundary is followed by other text");
  if (in_part_) sink_.EndPart();
  in_part_ = false;
  if (++parts_ > kMaxParts) Fail("Too many parts");
  pos_ += blanks + 2;
  head_bytes_ = 0;
  head_fields_ = 0;
  head_ = TMultipartPart();
  state_ = TState::kHead;
  return true;
}

bool TMultipartParser::TakeHead() {
  const std::size_t end = pending_.find(kLineEnd, pos_);
  const std::size_t seen = (end == std::string::npos ? pending_.size() : end + 2) - pos_;
  if (head_bytes_ + seen > kMaxPartHead) Fail("A part's head is too long");
  if (end == std::string::npos) return false;
  head_bytes_ += seen;
  const std::string_view line = std::string_view(pending_).substr(pos_, end - pos_);
  pos_ = end + 2;
  if (line.empty()) {
    in_part_ = true;
    state_ = TState::kData;
    sink_.BeginPart(head_);
    return true;
  }
  if (++head_fields_ > kMaxPartFields) Fail("A part has too many header lines");
  ParseHeadLine(line, head_);
  return true;
}

void TMultipartParser::ParseHeadLine(std::string_view line, TMultipartPart& part) {
  if (IsBlank(line.front())) Fail("A part's header line continues another");
  if (line.find_first_of("\r\n") != std::string_view::npos) Fail("A bare line end in a part's head");
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) Fail("A part's header line has no colon");
  const std::string_view name = line.substr(0, colon);
  const std::string_view value = Trim(line.substr(colon + 1));
  if (EqualFolded(name, "Content-Disposition")) {
    if (!ParseContentDisposition(value, part)) Fail("A part's Content-Disposition cannot be read");
  } else if (EqualFolded(name, "Content-Type")) {
    // A form sends files, not bodies of parts: nested multipart is refused.
    if (StartsFolded(value, "multipart/")) Fail("A nested multipart body");
    part.content_type = value;
  }
}

bool TMultipartParser::TakeData() {
  const std::size_t hit = pending_.find(delimiter_, pos_);
  std::size_t end = hit;
  if (hit == std::string::npos) {
    // The last bytes may begin a delimiter: they wait for the next piece.
    if (pending_.size() - pos_ < delimiter_.size()) return false;
    end = pending_.size() - (delimiter_.size() - 1);
  }
  if (end > pos_) sink_.PartData(std::string_view(pending_).substr(pos_, end - pos_));
  if (hit == std::string::npos) {
    pos_ = end;
    return false;
  }
  pos_ = hit + delimiter_.size();
  state_ = TState::kAfterDelimiter;
  return true;
}

}  // namespace vt
