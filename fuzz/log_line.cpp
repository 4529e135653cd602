// The access log line: a template (the user's setting, so without control
// bytes) expanded with what a request carried. Whatever the request fields
// hold, the line holds no control byte (CR and LF above all), so one
// request is always one line and nothing in it acts on a terminal.
//
// Input: two bytes that choose the time and the status code, then the
// template, method, URI, referer and user agent, separated by 0xFF bytes.

#include <string>
#include <vector>

#include "app/log_line.h"
#include "fuzz/fuzz_support.h"

using namespace vt;

namespace {

std::string WithoutControlBytes(const std::string& text) {
  std::string result;
  for (const char c : text) {
    if (!fuzz::HasControlByte(std::string_view(&c, 1))) result += c;
  }
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input = fuzz::AsText(data, size);
  const std::uint8_t high = fuzz::TakeByte(input);
  const std::uint8_t low = fuzz::TakeByte(input);
  const std::vector<std::string> parts = fuzz::SplitFields(input, '\xff', 5);

  TLogLineFields fields;
  fields.method = parts[1];
  fields.uri = parts[2];
  fields.referer = parts[3];
  fields.user_agent = parts[4];
  fields.size = static_cast<std::int64_t>(size) * 1000003 - 5;
  fields.response = static_cast<int>(high) * 3 - 100;
  // Any day from 1900 to about 2079, at some time of that day.
  const TDateTime now = (high * 256 + low) + (low / 256.0);

  const std::string line = ExpandLogLine(WithoutControlBytes(parts[0]), now, fields);
  VT_FUZZ_CHECK(!fuzz::HasControlByte(line));

  // The escaping itself keeps every byte it can and marks the rest.
  for (const std::string& field : {fields.method, fields.uri, fields.referer, fields.user_agent}) {
    const std::string escaped = EscapeLogText(field);
    VT_FUZZ_CHECK(!fuzz::HasControlByte(escaped));
    VT_FUZZ_CHECK(escaped.size() >= field.size());
    if (!fuzz::HasControlByte(field) && field.find('\\') == std::string::npos)
      VT_FUZZ_CHECK(escaped == field);
  }
  return 0;
}
