// A CGI program's output as the server takes it apart: whatever the program
// writes, either it is refused as a whole (ECGIOutput), or the answer holds
// a final status and only "Name: value" fields that cannot end or split the
// server's own header (no control characters, no framing fields, no
// Status), taken from at most kMaxCGIHeader bytes, and the body is exactly
// what follows the first empty line.

#include <string>

#include "app/cgi_output.h"
#include "fuzz/fuzz_support.h"
#include "util/text.h"

using namespace vt;

namespace {

bool IsFieldName(std::string_view name) {
  if (name.empty()) return false;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 32 || byte >= 127 ||
        std::string_view("\"(),/:;<=>?@[\\]{}").find(c) != std::string_view::npos)
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view output = fuzz::AsText(data, size);
  TCGIAnswer answer;
  try {
    answer = ParseCGIOutput(output);
  } catch (const ECGIOutput&) {
    return 0;
  }
  VT_FUZZ_CHECK(answer.status >= 200 && answer.status <= 599);
  VT_FUZZ_CHECK(answer.body_start <= output.size());
  VT_FUZZ_CHECK(answer.body_start <= kMaxCGIHeader + 1);
  VT_FUZZ_CHECK(answer.body_start == 0 || answer.body_start == output.size() ||
                output[answer.body_start - 1] == '\n');
  // The header section has one line per field at least (dropped ones too).
  VT_FUZZ_CHECK(answer.fields.size() <= answer.body_start / 2);
  for (const char c : answer.reason)
    VT_FUZZ_CHECK(c == '\t' || !fuzz::HasControlByte(std::string_view(&c, 1)));

  int locations = 0;
  for (const std::string& field : answer.fields) {
    const std::size_t colon = field.find(": ");
    VT_FUZZ_CHECK(colon != std::string::npos);
    const std::string_view name = std::string_view(field).substr(0, colon);
    VT_FUZZ_CHECK(IsFieldName(name));
    for (const char c : field) VT_FUZZ_CHECK(c == '\t' || !fuzz::HasControlByte(std::string_view(&c, 1)));
    for (const char* dropped : {"Status", "Content-Length", "Transfer-Encoding", "Connection"})
      VT_FUZZ_CHECK(!TextEqualFolded(name, dropped));
    if (TextEqualFolded(name, "Location")) ++locations;
  }
  VT_FUZZ_CHECK(locations <= 1);
  return 0;
}
