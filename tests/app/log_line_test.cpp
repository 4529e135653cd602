#include "app/log_line.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <utility>

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
  fields.received = 20971520;
  return fields;
}

TEST(LogLine, DefaultTemplate) {
  const std::string expected = "06-12-2026 14:05:09 200 1536 GET /index.html";
  EXPECT_EQ(expected, ExpandLogLine("", SampleTime(), SampleFields()));
  EXPECT_EQ(expected, ExpandLogLine(kDefaultLogFormat, SampleTime(), SampleFields()));
}

// Every field of the date and time keeps its width and place, whatever
// digits it has.
TEST(LogLine, DatesAndTimesAtTheirWidths) {
  struct Case {
    int year, month, day, hour, minute, second;
    const char* expected;
  } cases[] = {
      {2026, 12, 6, 14, 5, 9, "06-12-2026 14:05:09"},    {1999, 1, 31, 0, 0, 0, "31-01-1999 00:00:00"},
      {2000, 10, 10, 10, 10, 10, "10-10-2000 10:10:10"}, {999, 7, 4, 23, 59, 59, "04-07-0999 23:59:59"},
      {1, 1, 1, 1, 2, 3, "01-01-0001 01:02:03"},         {9999, 12, 31, 9, 8, 7, "31-12-9999 09:08:07"},
  };
  for (const Case& c : cases) {
    const TDateTime time = EncodeDate(c.year, c.month, c.day) + EncodeTime(c.hour, c.minute, c.second, 0);
    EXPECT_EQ(c.expected, ExpandLogLine("$date$ $time$", time, SampleFields())) << c.expected;
  }
}

// A thread keeps its template with the date and time of the second put in,
// from line to line: each line in turn changes one thing, and shows it.
TEST(LogLine, EachLineShowsItsOwnSecondAndTemplate) {
  struct Step {
    const char* format;
    TDateTimeParts now;  // year, month, day, hour, minute, second
    const char* expected;
  };
  const Step steps[] = {
      {"$date$ $time$ $response$", {2026, 12, 6, 14, 5, 9}, "06-12-2026 14:05:09 200"},
      {"$date$ $time$ $response$", {2026, 12, 6, 14, 5, 9}, "06-12-2026 14:05:09 200"},
      {"$date$ $time$ $response$", {2026, 12, 6, 14, 5, 10}, "06-12-2026 14:05:10 200"},
      {"$date$ $time$ $response$", {2026, 12, 6, 14, 6, 10}, "06-12-2026 14:06:10 200"},
      {"$date$ $time$ $response$", {2026, 12, 6, 15, 6, 10}, "06-12-2026 15:06:10 200"},
      {"$date$ $time$ $response$", {2026, 12, 7, 15, 6, 10}, "07-12-2026 15:06:10 200"},
      {"$date$ $time$ $response$", {2026, 11, 7, 15, 6, 10}, "07-11-2026 15:06:10 200"},
      {"$date$ $time$ $response$", {2027, 11, 7, 15, 6, 10}, "07-11-2027 15:06:10 200"},
      {"[$time$] $uri$ on $date$", {2027, 11, 7, 15, 6, 10}, "[15:06:10] /index.html on 07-11-2027"},
      {"$uri$ $size$", {2027, 11, 7, 15, 6, 10}, "/index.html 1536"},
      {"$uri$ $size$", {2028, 1, 1, 0, 0, 0}, "/index.html 1536"},
      {"$response$ received $received$", {2028, 1, 1, 0, 0, 0}, "200 received 20971520"},
      {"$time$", {2028, 1, 1, 0, 0, 0}, "00:00:00"},
      {"$date$ $time$ $response$", {2026, 12, 6, 14, 5, 9}, "06-12-2026 14:05:09 200"},
  };
  for (const Step& step : steps) {
    std::string line = "kept:";
    AppendLogLine(line, step.format, step.now, SampleFields());
    EXPECT_EQ(std::string("kept:") + step.expected, line) << step.format;
  }
}

TEST(LogLine, CustomTemplatesKeepWhatIsNoVariable) {
  const TLogLineFields fields = SampleFields();
  EXPECT_EQ("[$DATE$] $uri /index.html /index.html ref=http://example.test/ ua=curl/7.88.1",
            ExpandLogLine("[$DATE$] $uri $uri$ $uri$ ref=$referer$ ua=$useragent$", SampleTime(), fields));
  // A query follows the path after "?", escaped the same way.
  TLogLineFields with_query = fields;
  with_query.query = "a=1\x1b";
  EXPECT_EQ("/index.html?a=1\\x1B|", ExpandLogLine("$uri$|", SampleTime(), with_query));
  TLogLineFields empty;
  EXPECT_EQ("0 0 | |",
            ExpandLogLine("$response$ $size$ $method$|$referer$ $useragent$|", SampleTime(), empty));
  TLogLineFields with_address = SampleFields();
  with_address.address = "127.0.0.1";
  EXPECT_EQ("127.0.0.1 - GET /index.html 200 $Address$",
            ExpandLogLine("$address$ - $method$ $uri$ $response$ $Address$", SampleTime(), with_address));
  EXPECT_EQ(" ", ExpandLogLine("$address$ $uri$", SampleTime(), empty)) << "no address: empty";
}

// Values are put in once and never searched again: a request cannot make
// its own line grow (a URI of "$referer$"s with a Referer of "$useragent$"s
// once made a line of gigabytes), nor bring in values it was not given.
TEST(LogLine, ValuesAreNeverExpandedAgain) {
  struct Case {
    const char* format;
    const char* uri;
    const char* referer;
    const char* method;
    const char* expected;
  } cases[] = {
      {"$uri$", "/a$referer$b", "R", "GET", "/a$referer$b"},
      {"$uri$ $referer$", "/x$referer$", "R$useragent$", "GET", "/x$referer$ R$useragent$"},
      {"$method$$uri$", "date$", "R", "$", "$date$"},
      // Text of the template and a value never form a variable together.
      {"$re$method$onse$", "/", "R", "sp", "$response$"},
      {"$method$ $uri$", "/", "R", "$uri$", "$uri$ /"},
  };
  for (const Case& c : cases) {
    TLogLineFields fields = SampleFields();
    fields.uri = c.uri;
    fields.referer = c.referer;
    fields.method = c.method;
    EXPECT_EQ(c.expected, ExpandLogLine(c.format, SampleTime(), fields)) << c.format;
  }

  TLogLineFields hostile = SampleFields();
  std::string uri;
  std::string referer;
  const std::string user_agent(20000, 'u');
  for (int i = 0; i < 2000; ++i) uri += "$referer$";
  for (int i = 0; i < 2000; ++i) referer += "$useragent$";
  hostile.uri = uri;
  hostile.referer = referer;
  hostile.user_agent = user_agent;
  const std::string format = "$uri$ $referer$ $useragent$";
  const std::size_t bound =
      format.size() + hostile.uri.size() + hostile.referer.size() + hostile.user_agent.size();
  EXPECT_EQ(uri + " " + referer + " " + user_agent, ExpandLogLine(format, SampleTime(), hostile));
  EXPECT_LE(ExpandLogLine(format, SampleTime(), hostile).size(), bound);
}

// A value is looked up only for a template that puts it somewhere: as the
// expansion finds the variables, not as a search of the text would.
TEST(LogLine, TemplatesTellWhichValuesTheyUse) {
  const struct {
    const char* format;
    bool referer;
    bool user_agent;
  } cases[] = {
      {"", false, false},          {"$referer$", true, false},      {"$useragent$ $referer$", true, true},
      {"$referer", false, false},  {"$uri$referer$", false, false},  // the "$" after uri belongs to $uri$
      {"$REFERER$", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.referer, LogLineUses(c.format, TLogVariable::kReferer)) << c.format;
    EXPECT_EQ(c.user_agent, LogLineUses(c.format, TLogVariable::kUserAgent)) << c.format;
  }
}

// For values without a "$", whatever the template, the line is the one
// replacing the variables in their order makes (as long as no match of that
// replacing spans a value).
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
                             "$date$time$",
                             "$time$date$",
                             "x$referer$useragent$response$y",
                             "no variables",
                             "$",
                             "\x01$uri$"};
  TLogLineFields plain = SampleFields();
  TLogLineFields letters = SampleFields();
  letters.method = "sp";
  letters.uri = "/a%20b";
  for (const char* format : templates) {
    for (const TLogLineFields* fields : {&plain, &letters}) {
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

// The line is written into room made for the longest it can be: each value
// here takes the most its length allows (every byte escaped to four,
// numbers at their longest), on a line that starts empty, so that room too
// small shows in the sanitizer builds.
TEST(LogLine, ValuesAtTheirLongestFitTheRoomMadeForThem) {
  const std::string worst = "\x01\x7f\xe2\x80\xa8";  // a control, DEL and U+2028
  const std::string escaped = "\\x01\\x7F\\xE2\\x80\\xA8";
  TLogLineFields fields;
  fields.method = fields.uri = fields.query = fields.referer = fields.user_agent = fields.address = worst;
  fields.size = INT64_MIN;
  fields.response = INT_MIN;
  const std::string size = "-9223372036854775808";
  const std::string response = "-2147483648";
  const std::pair<const char*, std::string> cases[] = {
      {"$method$", escaped},
      {"$uri$", escaped + "?" + escaped},
      {"$referer$", escaped},
      {"$useragent$", escaped},
      {"$address$", escaped},
      {"$size$", size},
      {"$response$", response},
      {"$date$ $method$$uri$$size$$response$$referer$$useragent$$address$",
       "06-12-2026 " + escaped + escaped + "?" + escaped + size + response + escaped + escaped + escaped},
  };
  for (const auto& [format, expected] : cases) {
    std::string line;
    AppendLogLine(line, format, DecodeDateTime(SampleTime()), fields);
    EXPECT_EQ(expected, line) << format;
  }
}

TEST(LogLine, RequestTextNeverBreaksTheLine) {
  TLogLineFields fields = SampleFields();
  fields.uri = "/a\r\nFAKE 200\x1b[2J\\z\x7f";
  fields.user_agent = "tab\there";
  EXPECT_EQ("/a\\x0D\\x0AFAKE 200\\x1B[2J\\\\z\\x7F tab\\x09here",
            ExpandLogLine("$uri$ $useragent$", SampleTime(), fields));

  // What ends a line or acts on a terminal in UTF-8 text, and what does not.
  const std::pair<std::string, std::string> cases[] = {
      {std::string("\0", 1), "\\x00"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
      {"\xe2\x80\x94", "\xe2\x80\x94"},  // an em dash holds 0x80 and 0x94
      {"a\xc2\x85"
       "b",
       "a\\xC2\\x85b"},  // U+0085, next line
      {"\xc2\x9b"
       "2J",
       "\\xC2\\x9B2J"},                                                    // U+009B, the C1 CSI
      {"\xc2\xa0", "\xc2\xa0"},                                            // U+00A0 is no control
      {"x\xe2\x80\xa8y\xe2\x80\xa9", "x\\xE2\\x80\\xA8y\\xE2\\x80\\xA9"},  // U+2028, U+2029
      {"\x85\x9b\x80\x9f", "\\x85\\x9B\\x80\\x9F"},                        // raw C1 bytes
      {"caf\xe9 \xa0\xff", "caf\xe9 \xa0\xff"},                            // Latin-1 text is kept
      {"\xc0\x85", "\xc0\\x85"},                                           // an overlong form is no sequence
      {"\xe2\x80", "\xe2\\x80"},                                           // a sequence cut short
      {"\xed\xa0\x80", "\xed\xa0\\x80"},                                   // a surrogate
  };
  for (const auto& [text, escaped] : cases) EXPECT_EQ(escaped, EscapeLogText(text)) << escaped;
}

}  // namespace
}  // namespace vt
