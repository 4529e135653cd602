// Request bodies: the chunked decoder over a connection that delivers short
// reads, in decoded and in raw mode, and a request reading its body as its
// header frames it (chunked or Content-Length) within a size limit.
//
// The raw stream is the chunked body with its line ends made CR LF; decoding
// it again must give the same data and trailer as decoding the original.
// The decoder must also agree with a strict reading of the coding written
// out here on its own (each framing line ends in LF or CR LF and holds no
// other CR; a size is hexadecimal digits that fit 63 bits, then blanks or
// ";"; nothing but the line end after a chunk's data): a body it decodes is
// valid, with the same data and length, and a body it refuses as broken
// framing is invalid, so that no proxy reading by those rules could find
// the body's end elsewhere.
//
// Input: one byte for the short reads (bytes per read 1 to 16, or no limit),
// one byte for the body limit (0: none, else 16 bytes a step), then the
// body. For the request, the body text up to its first empty line is the
// request's header block and the rest its body.

#include <cctype>
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
  bool framing = false;   // refused as broken framing
  std::string data;
  std::vector<std::string> trailer;
  std::int64_t consumed = 0;  // bytes of the input taken
};

// The strict reading: complete with the data and the bytes taken, or
// refused as broken framing, or neither (the data ended first).
TDecoded ReadStrictly(const std::string& body) {
  TDecoded result;
  std::size_t pos = 0;
  constexpr std::size_t kMaxLine = ThttpChunkedContentReader::kMaxLineLength;
  // One framing line; false when the data ended or the line is broken (then
  // `result.framing` tells which).
  const auto line = [&](std::string& text) {
    if (pos == body.size()) {
      text.clear();
      return true;  // at the end: an empty line, as a reader at its end gives
    }
    const std::size_t lf = body.find('\n', pos);
    if (lf == std::string::npos || lf - pos >= kMaxLine) {
      result.framing = body.size() - pos >= kMaxLine;
      return false;
    }
    text = body.substr(pos, lf - pos);
    pos = lf + 1;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    result.framing = text.find('\r') != std::string::npos;
    return !result.framing;
  };
  std::string text;
  for (;;) {
    if (!line(text)) return result;
    if (text.empty() && pos == body.size()) return result;  // cut short where a size belongs
    std::size_t digits = 0;
    std::size_t significant = 0;
    std::uint64_t size = 0;
    for (; digits < text.size() && std::isxdigit(static_cast<unsigned char>(text[digits])); ++digits) {
      if (significant > 0 || text[digits] != '0') ++significant;
      size = size * 16 + static_cast<std::uint64_t>(std::stoi(text.substr(digits, 1), nullptr, 16));
    }
    std::size_t rest = digits;
    while (rest < text.size() && (text[rest] == ' ' || text[rest] == '\t')) ++rest;
    if (digits == 0 || significant > 16 || (significant == 16 && size >> 63) ||
        (rest < text.size() && text[rest] != ';')) {
      result.framing = true;
      return result;
    }
    if (size == 0) break;
    if (body.size() - pos < size) return result;
    result.data += body.substr(pos, static_cast<std::size_t>(size));
    pos += static_cast<std::size_t>(size);
    if (!line(text)) return result;
    if (!text.empty()) {
      result.framing = true;
      return result;
    }
  }
  for (;;) {
    if (!line(text)) return result;
    if (text.empty()) break;
    if (result.trailer.size() >= static_cast<std::size_t>(ThttpChunkedContentReader::kMaxTrailerLines)) {
      result.framing = true;
      return result;
    }
    result.trailer.push_back(text);
    if (pos == body.size()) break;
  }
  result.complete = true;
  result.consumed = static_cast<std::int64_t>(pos);
  return result;
}

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
    result.consumed = connection.GetPosition();
  } catch (const EChunkedContentFraming&) {
    result.framing = true;
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
    } catch (const EChunkedContentFraming&) {
      VT_FUZZ_CHECK(useReader);  // read as text, broken framing is a 400 refusal
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
  const TDecoded strict = ReadStrictly(body);
  VT_FUZZ_CHECK(decoded.complete == strict.complete);
  VT_FUZZ_CHECK(decoded.framing == strict.framing);
  if (decoded.complete) {
    VT_FUZZ_CHECK(decoded.data == strict.data);
    VT_FUZZ_CHECK(decoded.trailer == strict.trailer);
    VT_FUZZ_CHECK(decoded.consumed == strict.consumed);
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
