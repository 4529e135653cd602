#include "app/log_line.h"

#include <gtest/gtest.h>

#include "util/text.h"

namespace vt {
namespace {

// 6 December 2026, 14:05:09 local.
TDateTime SampleTime() { return EncodeDate(2026, 12, 6) + EncodeTime(14, 5, 9, 0); }

TLogLineFields SampleFields() {
  TLogLineFields fields;
  fields.method = "GET";
  fields.uri = "/index.html";
  fields.referer = "http://example.test/";
  fields.user_agent = "curl/7.88.1";
  fields.size = 1536;
  fields.response = 200;
  return fields;
}

TEST(LogLine, DefaultTemplate) {
  const std::string expected = "06-12-2026 14:05:09 200 1536 GET /index.html";
  EXPECT_EQ(expected, ExpandLogLine("", SampleTime(), SampleFields()));
  EXPECT_EQ(expected, ExpandLogLine(kDefaultLogFormat, SampleTime(), SampleFields()));
}

TEST(LogLine, CustomTemplatesKeepWhatIsNoVariable) {
  const TLogLineFields fields = SampleFields();
  EXPECT_EQ("[$DATE$] $uri /index.html /index.html ref=http://example.test/ ua=curl/7.88.1",
            ExpandLogLine("[$DATE$] $uri $uri$ $uri$ ref=$referer$ ua=$useragent$", SampleTime(), fields));
  TLogLineFields empty;
  EXPECT_EQ("0 0 | |",
            ExpandLogLine("$response$ $size$ $method$|$referer$ $useragent$|", SampleTime(), empty));
}

TEST(LogLine, LaterVariablesAreReplacedInsideEarlierValues) {
  TLogLineFields fields = SampleFields();
  fields.uri = "/a$referer$b";
  EXPECT_EQ("/ahttp://example.test/b", ExpandLogLine("$uri$", SampleTime(), fields));
}

// Templates are taken apart once and filled in; whatever the template and
// the request text, the line is the one the replacements in their order make.
TEST(LogLine, FilledInTemplatesMatchTheReplacementsInOrder) {
  const auto by_replacement = [](std::string line, const TLogLineFields& f) {
    const std::pair<std::string_view, std::string> variables[] = {
        {"$date$", "06-12-2026"},
        {"$time$", "14:05:09"},
        {"$method$", EscapeLogText(f.method)},
        {"$size$", std::to_string(f.size)},
        {"$uri$", EscapeLogText(f.uri)},
        {"$referer$", EscapeLogText(f.referer)},
        {"$useragent$", EscapeLogText(f.user_agent)},
        {"$response$", std::to_string(f.response)}};
    for (const auto& [name, value] : variables) line = ReplaceText(name, value, line, true);
    return line;
  };
  const char* templates[] = {kDefaultLogFormat,
                             "$uri$$uri$",
                             "$$uri$$",
                             "$xdate$time$",
                             "$re$method$onse$",
                             "$date$time$",
                             "x$referer$useragent$response$y",
                             "no variables",
                             "$",
                             "\x01$uri$"};
  TLogLineFields plain = SampleFields();
  TLogLineFields dollars = SampleFields();
  dollars.uri = "/a$referer$b$";
  TLogLineFields letters = SampleFields();
  letters.method = "sp";
  for (const char* format : templates) {
    for (const TLogLineFields* fields : {&plain, &dollars, &letters}) {
      // Twice: the second time the template comes from the cache.
      for (int round = 0; round < 2; ++round)
        EXPECT_EQ(by_replacement(format, *fields), ExpandLogLine(format, SampleTime(), *fields))
            << format << " with " << fields->method << " " << fields->uri;
    }
  }
}

TEST(LogLine, SizesBeyondTwoGigabytesStayPositive) {
  TLogLineFields fields = SampleFields();
  fields.size = 5'000'000'000;
  EXPECT_EQ("5000000000", ExpandLogLine("$size$", SampleTime(), fields));
}

TEST(LogLine, RequestTextNeverBreaksTheLine) {
  TLogLineFields fields = SampleFields();
  fields.uri = "/a\r\nFAKE 200\x1b[2J\\z\x7f";
  fields.user_agent = "tab\there";
  EXPECT_EQ("/a\\x0D\\x0AFAKE 200\\x1B[2J\\\\z\\x7F tab\\x09here",
            ExpandLogLine("$uri$ $useragent$", SampleTime(), fields));
  EXPECT_EQ("\\x00", EscapeLogText(std::string_view("\0", 1)));
  EXPECT_EQ("caf\xc3\xa9", EscapeLogText("caf\xc3\xa9"));  // UTF-8 passes unchanged
}

}  // namespace
}  // namespace vt
