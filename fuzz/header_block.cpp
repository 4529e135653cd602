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
// front would have kept), and a body is framed one way only.
//
// Input: one byte for the short reads (bytes per read 1 to 16, or no
// limit), one byte for the size bound (0: none, else 64 bytes a step), then
// the header text.

#include <memory>
#include <string>

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

void CheckRequestHead(const std::string& text) {
  THeader header;
  for (const std::string& line : SplitAtText(text, "\r\n")) {
    if (line.empty()) break;
    try {
      CheckRequestFieldLine(line);
    } catch (const EhttpContent& error) {
      VT_FUZZ_CHECK(error.StatusCode() == 400);
      return;
    }
    header.AddFieldLine(line);
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos)
      VT_FUZZ_CHECK(header.Fields(header.Count() - 1)->GetName() == line.substr(0, colon));
  }
  ThttpRequest request;
  request.SetHeader(header.Duplicate());
  std::int64_t length = 0;
  try {
    const TContentFraming framing = request.GetContentFraming(-1, length);
    if (header.HasField("Transfer-Encoding")) {
      int codings = 0;
      for (const std::string& name : header.GetFieldNames())
        codings += TextEqualFolded(name, "Transfer-Encoding");
      std::string value = header.GetFieldValue("Transfer-Encoding");
      AsciiLowerInPlace(value);
      VT_FUZZ_CHECK(framing == TContentFraming::kChunked && codings == 1 && value == "chunked" &&
                    !header.HasField("Content-Length"));
    }
  } catch (const EhttpContent& error) {
    VT_FUZZ_CHECK(error.StatusCode() == 400 || error.StatusCode() == 501);
  }
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
