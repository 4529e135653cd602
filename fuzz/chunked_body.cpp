// Request bodies: the chunked decoder over a connection that delivers short
// reads, in decoded and in raw mode, and a request reading its body as its
// header frames it (chunked or Content-Length) within a size limit.
//
// The raw stream is the chunked body with its line ends made CR LF; decoding
// it again must give the same data and trailer as decoding the original.
//
// Input: one byte for the short reads (bytes per read 1 to 16, or no limit),
// one byte for the body limit (0: none, else 16 bytes a step), then the
// body. For the request, the body text up to its first empty line is the
// request's header block and the rest its body.

#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "http/content_readers.h"
#include "http/message.h"
#include "support/test_reader.h"

using namespace vt;

namespace {

struct TDecoded {
  bool complete = false;  // read to the end without an error
  std::string data;
  std::vector<std::string> trailer;
};

TDecoded Decode(const std::string& body, std::int32_t perRead, bool raw) {
  TDecoded result;
  test::TTestReader connection(body, perRead);
  try {
    ThttpChunkedContentReader reader(&connection, raw);
    char block[37];
    while (!reader.AtEnd()) {
      const std::int32_t n = reader.Read(block, sizeof block);
      // A read that delivers nothing before the end would spin its caller.
      VT_FUZZ_CHECK(n > 0);
      result.data.append(block, static_cast<std::size_t>(n));
      VT_FUZZ_CHECK(reader.GetPosition() == static_cast<std::int64_t>(result.data.size()));
    }
    VT_FUZZ_CHECK(reader.GetSize() == static_cast<std::int64_t>(result.data.size()));
    VT_FUZZ_CHECK(connection.GetPosition() <= static_cast<std::int64_t>(body.size()));
    result.trailer = reader.TrailerLines();
    VT_FUZZ_CHECK(result.trailer.size() <=
                  static_cast<std::size_t>(ThttpChunkedContentReader::kMaxTrailerLines));
    result.complete = true;
  } catch (const EReader&) {
  }
  return result;
}

// The body as a request frames it, read into text and through the reader
// the request hands out.
void ReadRequestBody(std::string_view input, std::int32_t perRead, std::int64_t maxSize) {
  const std::size_t headEnd = input.find("\r\n\r\n");
  const std::string_view head = headEnd == std::string_view::npos ? input : input.substr(0, headEnd + 2);
  const std::string body(headEnd == std::string_view::npos ? std::string_view() : input.substr(headEnd + 4));
  for (const bool useReader : {false, true}) {
    ThttpRequest request;
    request.SetHeaderText("POST / HTTP/1.1\r\n" + std::string(head));
    test::TTestReader connection(body, perRead);
    try {
      request.ReadContent(connection, useReader, false, maxSize);
      if (!useReader) {
        if (maxSize >= 0)
          VT_FUZZ_CHECK(static_cast<std::int64_t>(request.GetContentText().size()) <= maxSize);
        continue;
      }
      AReaderEx* reader = request.ContentReader();
      if (!reader) continue;
      char block[512];
      std::int64_t total = 0;
      while (!reader->AtEnd()) {
        const std::int32_t n = reader->Read(block, sizeof block);
        if (n <= 0) break;  // a body cut short: the copy routines report it
        total += n;
      }
      VT_FUZZ_CHECK(total <= static_cast<std::int64_t>(body.size()));
    } catch (const EReader&) {
    } catch (const EhttpContent& error) {
      VT_FUZZ_CHECK(error.StatusCode() == 400 || error.StatusCode() == 413 || error.StatusCode() == 501);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input = fuzz::AsText(data, size);
  const std::int32_t perRead = fuzz::TakeReadSize(input);
  const std::int64_t maxSize = fuzz::TakeBound(input, 16);
  const std::string body(input);

  const TDecoded decoded = Decode(body, perRead, false);
  const TDecoded raw = Decode(body, perRead, true);
  VT_FUZZ_CHECK(decoded.complete == raw.complete);
  if (decoded.complete) {
    VT_FUZZ_CHECK(decoded.data.size() <= body.size());
    VT_FUZZ_CHECK(decoded.trailer == raw.trailer);
    const TDecoded again = Decode(raw.data, 0, false);
    VT_FUZZ_CHECK(again.complete);
    VT_FUZZ_CHECK(again.data == decoded.data);
    VT_FUZZ_CHECK(again.trailer == decoded.trailer);
  }

  ReadRequestBody(input, perRead, maxSize);
  return 0;
}
