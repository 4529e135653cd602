// Form bodies: the multipart parser fed a body in pieces of two sizes.
//
// Properties: the parser refuses only with EMultipart; whatever it accepts
// is told the same way however the body is cut (the same parts, names and
// data); parts begin and end in turn; a part's data never holds the
// delimiter; and it never keeps more than its bounds allow between pieces.
//
// Input: one byte for the piece size (1 to 64), then the body; the
// boundary is "b".

#include <string>

#include "fuzz/fuzz_support.h"
#include "http/multipart.h"

using namespace vt;

namespace {

struct TEvents : IMultipartSink {
  std::string text;
  bool open = false;
  std::string part_data;
  void BeginPart(const TMultipartPart& part) override {
    VT_FUZZ_CHECK(!open);
    VT_FUZZ_CHECK(part.filename.find_first_of("/\\") == std::string::npos);
    open = true;
    part_data.clear();
    text += "[" + part.name + "|" + part.filename + "]";
  }
  void PartData(std::string_view data) override {
    VT_FUZZ_CHECK(open);
    VT_FUZZ_CHECK(!data.empty());
    text.append(data);
    part_data.append(data);
  }
  void EndPart() override {
    VT_FUZZ_CHECK(open);
    open = false;
    // The first delimiter in the body ends the part: its data never holds one.
    VT_FUZZ_CHECK(part_data.find("\r\n--b") == std::string::npos);
    text += "\x01";
  }
};

// The events of the whole body, or nothing when it is refused.
bool Parse(std::string_view body, std::size_t piece, std::string& events) {
  TEvents sink;
  TMultipartParser parser("b", sink);
  try {
    for (std::size_t at = 0; at < body.size(); at += piece) parser.Feed(body.substr(at, piece));
    parser.Finish();
  } catch (const EMultipart&) {
    return false;
  }
  VT_FUZZ_CHECK(!sink.open);
  events = sink.text;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text = fuzz::AsText(data, size);
  const std::size_t piece = fuzz::TakeByte(text) % 64 + 1;
  std::string cut;
  std::string whole;
  const bool cut_ok = Parse(text, piece, cut);
  const bool whole_ok = Parse(text, text.size() + 1, whole);
  VT_FUZZ_CHECK(cut_ok == whole_ok);
  if (cut_ok) VT_FUZZ_CHECK(cut == whole);
  // A Content-Disposition value parses without raising.
  TMultipartPart part;
  ParseContentDisposition(text, part);
  ParseMultipartBoundary(text);
  return 0;
}
