// HTTP dates from header fields (If-Modified-Since, a CGI program's Date):
// the three formats of RFC 7231, anything else giving 0. A date that names
// no calendar day raises EConvertError; nothing else may escape.
//
// A date that parsed, written in the RFC 1123 form and parsed again, gives
// the same value.

#include <cmath>
#include <string>

#include "fuzz/fuzz_support.h"
#include "util/date_time.h"
#include "util/exception.h"

using namespace vt;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::AsText(data, size);
  TDateTime value = 0;
  try {
    value = ParseHTTPDateTime(text);
  } catch (const EConvertError&) {
    return 0;
  }
  VT_FUZZ_CHECK(std::isfinite(value));
  if (value == 0) return 0;
  // Years of four digits, the only ones the written form can carry.
  const TDateTimeParts parts = DecodeDateTime(value);
  if (parts.year < 1 || parts.year > 9999) return 0;
  const std::string written = DateTimeToHTTPText(value, true);
  TDateTime again = 0;
  try {
    again = ParseHTTPDateTime(written);
  } catch (const EConvertError&) {
    fuzz::Fail(__FILE__, __LINE__, "a written date does not parse");
  }
  VT_FUZZ_CHECK(std::fabs(again - value) * 86400.0 < 0.5);
  return 0;
}
