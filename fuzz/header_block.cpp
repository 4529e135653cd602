// Header blocks in both modes: a whole block text (SetAsString), and read
// from a reader line by line (as the server reads requests) and as a block up
// to its empty line. The reader runs once over a test reader that delivers
// short reads through the generic reader operations and once over a string
// reader with its own in-place operations: both must give the same fields
// and leave the same position. The block's conditional fields and Range
// then answer for bodies of a few sizes, which must stay inside the body.
//
// The same text as the head of a request, line by line as the server reads
// it: a line that passes the request's checks gives a field whose name is
// exactly the bytes before its colon (nothing trimmed away that a proxy in
// front would have kept), and the head is either refused or frames its body
// as a strict reader written here does (chunked, a length, or none).
//
// Input: one byte for the short reads (bytes per read 1 to 16, or no
// limit), one byte for the size bound (0: none, else 64 bytes a step), then
// the header text.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "http/conditional.h"
#include "http/header.h"
#include "http/message.h"
#include "http/request_head_reader.h"
#include "streams/writer.h"
#include "support/test_reader.h"
#include "util/text.h"

using namespace vt;

namespace {

std::string FieldsText(const THeader& header) { return header.GetAsString(); }

// Reads a block in one mode from both readers; the text of the fields read
// (empty when the reader raised) and the position each reader was left at.
void ReadBothWays(const std::string& text, bool lineMode, std::int32_t perRead, std::int32_t maxSize) {
  test::TTestReader shortReads(text, perRead);
  THeader fromShort;
  bool shortFailed = false;
  try {
    fromShort.ReadFromReader(shortReads, lineMode, maxSize);
  } catch (const EReader&) {
    shortFailed = true;
  }
  TStringReader inPlace(text);
  THeader fromString;
  bool stringFailed = false;
  try {
    fromString.ReadFromReader(inPlace, lineMode, maxSize);
  } catch (const EReader&) {
    stringFailed = true;
  }
  VT_FUZZ_CHECK(shortFailed == stringFailed);
  if (shortFailed) return;
  VT_FUZZ_CHECK(FieldsText(fromShort) == FieldsText(fromString));
  VT_FUZZ_CHECK(shortReads.GetPosition() == inPlace.GetPosition());

  const std::int64_t position = inPlace.GetPosition();
  VT_FUZZ_CHECK(position >= 0 && position <= static_cast<std::int64_t>(text.size()));
  if (lineMode) {
    // Every line was cut at the bound; a field's line is its name, ": " and
    // its value, so it may be one byte longer than the line it came from.
    if (maxSize >= 0) {
      for (int i = 0; i < fromString.Count(); ++i)
        VT_FUZZ_CHECK(static_cast<std::int64_t>(fromString.Fields(i)->GetAsString().size()) <= maxSize + 1);
    }
  } else if (position > 2) {
    // A block is consumed with its empty line and nothing after it, or, when
    // the data ends inside that line end, up to the end.
    VT_FUZZ_CHECK(position == static_cast<std::int64_t>(text.size()) ||
                  text.compare(static_cast<std::size_t>(position) - 4, 4, "\r\n\r\n") == 0);
  } else if (position == 0) {
    VT_FUZZ_CHECK(fromString.Count() == 0);
  }
}

// Answers bodies of a few sizes, with validators and without, as the server
// does: the request's conditions and Range decide the status, and what is
// sent is what the answer's Content-Length says; a part of the body is never
// more than the body.
void CheckAnswers(const THeader& header) {
  ThttpRequest request;
  request.SetHeader(header.Duplicate());
  for (const bool validators : {false, true}) {
    for (const std::int64_t size : {0, 1, 100}) {
      ThttpResponse response(200, "HTTP", 1, 1, std::string(static_cast<std::size_t>(size), 'b'), nullptr,
                             "");
      if (validators) {
        response.ETag = "\"1-64-2\"";
        response.LastModified = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
      }
      ApplyRequestConditions(request, response);
      response.Prepare();
      TStringWriter writer;
      response.WriteContent(writer);
      const std::int64_t sent = static_cast<std::int64_t>(writer.Text().size());
      VT_FUZZ_CHECK(response.GetContentLength() == sent);
      switch (response.StatusCode) {
        case 200:
          VT_FUZZ_CHECK(sent == size);
          break;
        case 206:
        case 416:
          VT_FUZZ_CHECK(sent <= size);
          break;
        case 304:
          VT_FUZZ_CHECK(validators && sent == 0 && !response.HasContent);
          break;
        default:  // its own page instead of the body
          VT_FUZZ_CHECK(validators && response.StatusCode == 412);
      }
    }
  }
}

// How a request head frames its body: refused (400 or 501), chunked, a
// length, or no body.
struct TFraming {
  enum { kRefused, kChunked, kLength, kNone } kind = kNone;
  std::int64_t length = 0;
  bool operator==(const TFraming&) const = default;
};

// A strict reader of the framing fields, written apart from the server's
// own from RFC 9110 and 9112: every line "token: value" with SP and HTAB
// the only blanks around the value and no control byte in it; one
// Transfer-Encoding field that is exactly "chunked" (any case), or
// Content-Length fields of digits alone that agree, never both.
TFraming ReferenceFraming(const std::vector<std::string>& lines) {
  const auto tchar = [](unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
  };
  const auto value_byte = [](unsigned char c) { return c == '\t' || (c >= 32 && c != 127); };
  const auto lower = [](std::string text) {
    for (char& c : text)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
  };
  TFraming refused;
  refused.kind = TFraming::kRefused;
  int codings = 0;
  bool chunked = false;
  std::int64_t length = -1;
  for (const std::string& line : lines) {
    std::size_t colon = 0;
    while (colon < line.size() && tchar(static_cast<unsigned char>(line[colon]))) ++colon;
    if (colon == 0 || colon == line.size() || line[colon] != ':') return refused;
    std::string value = line.substr(colon + 1);
    for (const char c : value)
      if (!value_byte(static_cast<unsigned char>(c))) return refused;
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.erase(0, 1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
    const std::string name = lower(line.substr(0, colon));
    if (name == "transfer-encoding") {
      ++codings;
      chunked = lower(value) == "chunked";
    } else if (name == "content-length") {
      if (value.empty()) return refused;
      std::int64_t n = 0;
      for (const char c : value) {
        if (c < '0' || c > '9' || n > (INT64_MAX - (c - '0')) / 10) return refused;
        n = n * 10 + (c - '0');
      }
      if (length >= 0 && n != length) return refused;
      length = n;
    }
  }
  if (codings > 1 || (codings == 1 && (length >= 0 || !chunked))) return refused;
  if (codings == 1) return {TFraming::kChunked, 0};
  if (length > 0) return {TFraming::kLength, length};
  return {};
}

// The same head as the server reads it: its line checks, then its framing.
// Either it refuses, or it frames the body as the strict reader does.
void CheckRequestHead(const std::string& text) {
  std::vector<std::string> lines;
  for (const std::string& line : SplitAtText(text, "\r\n")) {
    if (line.empty()) break;
    lines.push_back(line);
  }
  const TFraming reference = ReferenceFraming(lines);
  TFraming server;
  server.kind = TFraming::kRefused;
  THeader header;
  try {
    for (const std::string& line : lines) {
      CheckRequestFieldLine(line);
      header.AddFieldLine(line);
      // Nothing trimmed away from a name that a proxy in front would keep.
      VT_FUZZ_CHECK(header.Fields(header.Count() - 1)->GetName() == line.substr(0, line.find(':')));
    }
    ThttpRequest request;
    request.SetHeader(header.Duplicate());
    std::int64_t length = 0;
    switch (request.GetContentFraming(-1, length)) {
      case TContentFraming::kChunked:
        server = {TFraming::kChunked, 0};
        break;
      case TContentFraming::kSized:
        server = {TFraming::kLength, length};
        break;
      case TContentFraming::kNone:
        server = {};
        break;
      default:
        VT_FUZZ_CHECK(false);  // a request body is never framed by the end of the data
    }
  } catch (const EhttpContent& error) {
    VT_FUZZ_CHECK(error.StatusCode() == 400 || error.StatusCode() == 501);
  }
  VT_FUZZ_CHECK(server.kind == TFraming::kRefused || server == reference);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input = fuzz::AsText(data, size);
  const std::int32_t perRead = fuzz::TakeReadSize(input);
  const auto maxSize = static_cast<std::int32_t>(fuzz::TakeBound(input, 64));
  const std::string text(input);

  THeader block;
  block.SetAsString(text);
  VT_FUZZ_CHECK(static_cast<std::size_t>(block.Count()) == block.GetFieldNames().size());
  const std::string written = block.GetAsString();
  VT_FUZZ_CHECK(written.size() >= 2 && written.compare(written.size() - 2, 2, "\r\n") == 0);
  VT_FUZZ_CHECK(block.Duplicate()->GetAsString() == written);
  for (int i = 0; i < block.Count(); ++i) {
    const std::string name = block.Fields(i)->GetName();
    if (name.empty()) continue;
    const int first = block.IndexOf(name);
    VT_FUZZ_CHECK(first >= 0 && first <= i);
  }
  CheckAnswers(block);
  CheckRequestHead(text);

  ReadBothWays(text, true, perRead, maxSize);
  ReadBothWays(text, false, perRead, maxSize);
  return 0;
}
