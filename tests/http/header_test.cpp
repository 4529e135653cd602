#include "http/header.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/test_reader.h"

namespace vt {
namespace {

using test::TTestReader;
using Lines = std::vector<std::string>;

// Every field's GetAsString, in order.
Lines FieldLines(const THeader& header) {
  Lines lines;
  for (int i = 0; i < header.Count(); ++i) lines.push_back(header.Fields(i)->GetAsString());
  return lines;
}

const std::string kFolded = "Host: a\r\nX-Long: one\r\n two\r\nbad line";

TEST(HeaderBlock, BlockTextJoinsFoldedLinesAndKeepsInvalidOnes) {
  THeader header;
  header.SetAsString(kFolded);
  EXPECT_EQ((Lines{"Host: a", "X-Long: one two", "bad line"}), FieldLines(header));
  EXPECT_EQ("one two", header.GetFieldValue("x-long"));
  EXPECT_NE(nullptr, dynamic_cast<TInvalidField*>(header.Fields(2)));
  EXPECT_EQ((Lines{"Host", "X-Long", ""}), header.GetFieldNames());
  // Parsing appends to what is there; a folded line with a colon starts a
  // field of its own.
  header.SetAsString("Y: 1\r\n\tZ: 2\r\n");
  EXPECT_EQ((Lines{"Host: a", "X-Long: one two", "bad line", "Y: 1", "Z: 2"}), FieldLines(header));
}

TEST(HeaderBlock, LineModeKeepsFoldedLinesApartAndStopsAtTheEmptyLine) {
  const std::string data = kFolded + "\r\n\r\nNEXT";
  for (int32_t perRead : {0, 1}) {
    TTestReader reader(data, perRead);
    THeader header(reader, true, -1);
    EXPECT_EQ((Lines{"Host: a", "X-Long: one", " two", "bad line"}), FieldLines(header)) << perRead;
    EXPECT_EQ("NEXT", reader.ReadText(100));
  }
}

TEST(HeaderBlock, BlockModeReadsUpToTheSeparator) {
  TStringReader reader(kFolded + "\r\n\r\nBODY");
  THeader header(reader, false, -1);
  EXPECT_EQ(3, header.Count());
  EXPECT_EQ("BODY", reader.ReadText(100));

  // An empty block is a bare CR LF, in both modes.
  for (bool lineMode : {false, true}) {
    TStringReader empty("\r\nBODY");
    THeader none(empty, lineMode, -1);
    EXPECT_EQ(0, none.Count());
    EXPECT_EQ("BODY", empty.ReadText(100));
  }

  // Without a separator within reach nothing is read.
  TStringReader unfinished("A: 1\r\nB: 2\r\n");
  THeader partial(unfinished, false, 3);
  EXPECT_EQ(0, partial.Count());
  EXPECT_EQ(0, unfinished.GetPosition());
}

TEST(HeaderBlock, LookUpsIgnoreCaseAndBlanks) {
  THeader header;
  header.AddField("Content-Length", "12");
  header.AddField("Set-Cookie", "a=1");
  header.AddFieldLine("Set-Cookie:  b=2 ");
  header.AddFieldLine("no colon");
  EXPECT_EQ("12", header.GetFieldValue("content-length"));
  EXPECT_EQ(0, header.IndexOf("  CONTENT-LENGTH\t"));
  EXPECT_EQ(3, header.IndexOf(""));
  EXPECT_EQ(-1, header.IndexOf("Host"));
  EXPECT_EQ(nullptr, header.GetField("Host"));
  EXPECT_EQ("", header.GetFieldValue("Host"));
  EXPECT_EQ("a=1", header.GetFieldValue("set-cookie"));
  EXPECT_EQ("b=2", header.Fields(2)->GetValue());

  EXPECT_TRUE(header.DeleteFields("SET-COOKIE"));
  EXPECT_FALSE(header.DeleteFields("Set-Cookie"));
  EXPECT_EQ((Lines{"Content-Length: 12", "no colon"}), FieldLines(header));
}

// A block kept per connection is cleared between requests and its fields
// come back under other names and values: a look-up must find each field by
// the name it has now, never by one it had before, and names that share
// their length and first and last letters must still be told apart.
TEST(HeaderBlock, FieldsTakenAgainAfterClearAnswerToTheirNewNames) {
  THeader header;
  for (const char* line : {"Host: first.example", "X-Aa: 1", "Content-Length: 123456789",
                           "If-None-Match: \"t\"", "no colon", "Connection: keep-alive"})
    header.AddFieldLine(line);
  header.SetField("Date", std::make_unique<TDateField>(34700.5));
  header.Clear();
  EXPECT_EQ(0, header.Count());
  header.AddFieldLine("Range: bytes=1-2");
  header.AddField("X-Ba", "2");
  header.AddField("host", "b");
  header.AddFieldLine("X-Aa:3");
  const struct {
    const char* name;
    int index;
    const char* value;
  } lookups[] = {
      {"Range", 0, "bytes=1-2"}, {"x-ba", 1, "2"},
      {"HOST", 2, "b"},          {"X-Aa", 3, "3"},
      {"X-Ca", -1, ""},          {"Content-Length", -1, ""},
      {"If-None-Match", -1, ""}, {"Connection", -1, ""},
      {"Date", -1, ""},          {"", -1, ""},
  };
  for (const auto& l : lookups) {
    EXPECT_EQ(l.index, header.IndexOf(l.name)) << l.name;
    EXPECT_EQ(l.value, header.GetFieldValue(l.name)) << l.name;
  }
  EXPECT_EQ((Lines{"Range: bytes=1-2", "X-Ba: 2", "host: b", "X-Aa: 3"}), FieldLines(header));

  // Renamed in place, by name or by line: found under the new name only.
  header.Fields(1)->SetName("Accept");
  header.Fields(3)->SetAsString("Referer: r");
  EXPECT_EQ(1, header.IndexOf("accept"));
  EXPECT_EQ(3, header.IndexOf("referer"));
  EXPECT_EQ(-1, header.IndexOf("X-Ba"));
  EXPECT_EQ(-1, header.IndexOf("X-Aa"));
  EXPECT_TRUE(header.DeleteFields("ACCEPT"));
  EXPECT_EQ((Lines{"Range: bytes=1-2", "host: b", "Referer: r"}), FieldLines(header));
}

TEST(HeaderBlock, SetFieldReplacesInPlaceDeletesOrAppends) {
  THeader header;
  header.SetAsString("Host: a\r\ndate: x\r\nServer: s");
  const TDateTime when = 34700.5;  // Sun, 01 Jan 1995 12:00:00
  header.SetField("Date", std::make_unique<TDateField>(when));
  EXPECT_EQ((Lines{"Host: a", "Date: Sun, 01 Jan 1995 12:00:00 GMT", "Server: s"}), FieldLines(header));

  // A Date field parses the text it is given.
  header.SetFieldValue("DATE", "Mon, 02 Jan 1995 12:00:00 GMT");
  EXPECT_EQ(when + 1, static_cast<TDateField*>(header.Fields(1))->DateTime());

  // A field under another name is renamed; without a match it is appended.
  header.SetField("X-New", std::make_unique<THeaderField>("Other", "v"));
  EXPECT_EQ("X-New: v", header.Fields(3)->GetAsString());
  header.SetField("host", nullptr);
  header.SetField("Missing", nullptr);
  EXPECT_EQ((Lines{"Date", "Server", "X-New"}), header.GetFieldNames());
  header.SetFieldValue("Server", "t");
  header.SetFieldValue("Via", "u");
  EXPECT_EQ("t", header.Fields(1)->GetValue());
  EXPECT_EQ("Via: u", header.Fields(3)->GetAsString());
}

// The Date text is made once per second and reused; it must still be the
// text of each value, whatever came before it.
TEST(HeaderBlock, DateTextsFollowTheirSecond) {
  const TDateTime second = 1.0 / 86400;
  const TDateTime base = EncodeDate(2026, 12, 7) + EncodeTime(12, 0, 0, 0);
  for (const TDateTime value : {base, base + 0.4 * second, base + 0.9996 * second, base + second, base,
                                base - 0.0004 * second, base - 1.5 * second, -0.75 - 0.5 * second, -0.75}) {
    EXPECT_EQ(DateTimeToHTTPText(value, true), TDateField(value).GetValue());
  }
}

TEST(HeaderBlock, ComposesWithCRLFAndDuplicatesEveryKindOfField) {
  THeader header;
  EXPECT_EQ("\r\n", header.GetAsString());
  header.AddField(" A ", " 1 ");
  header.AddField("Empty", "");
  header.AddFieldLine("raw line ");
  header.AppendField(std::make_unique<TDateField>(34700.5));
  const std::string text = "A: 1\r\nEmpty: \r\nraw line \r\nDate: Sun, 01 Jan 1995 12:00:00 GMT\r\n\r\n";
  EXPECT_EQ(text, header.GetAsString());

  const std::unique_ptr<THeader> copy = header.Duplicate();
  header.Clear();
  EXPECT_EQ(text, copy->GetAsString());
  EXPECT_NE(nullptr, dynamic_cast<TInvalidField*>(copy->Fields(2)));
  EXPECT_NE(nullptr, dynamic_cast<TDateField*>(copy->Fields(3)));
}

TEST(HeaderField, NumbersAndLines) {
  THeaderField field("Content-Length", "12abc");
  EXPECT_EQ(-1, field.GetAsInteger());
  EXPECT_EQ(-1.0, field.GetAsFloat());
  field.SetValue(" 42 ");
  EXPECT_EQ(42, field.GetAsInteger());
  field.SetAsFloat(2.0);
  EXPECT_EQ("2", field.GetValue());

  field.SetAsString(" X : a:b ");
  EXPECT_EQ("X", field.GetName());
  EXPECT_EQ("a:b", field.GetValue());
  field.SetAsString(" no colon ");
  EXPECT_EQ(" no colon ", field.GetName());
  EXPECT_EQ("", field.GetValue());

  // Unrecognised dates give 0, which still formats.
  TDateField date;
  date.SetValue("yesterday");
  EXPECT_EQ(0.0, date.DateTime());
  EXPECT_EQ("Date: Sat, 30 Dec 1899 00:00:00 GMT", date.GetAsString());
}

}  // namespace
}  // namespace vt
