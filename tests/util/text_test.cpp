#include "util/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "util/exception.h"

namespace vt {
namespace {

using Pieces = std::vector<std::string>;

TEST(TextCompare, ThreeWayResultsFoldOnlyAsciiAndCompareUnsigned) {
  EXPECT_EQ(1, CompareBytesExact("abc", "abc", 3));
  EXPECT_EQ(0, CompareBytesExact("abb", "abc", 3));
  EXPECT_EQ(2, CompareBytesExact("b", "a", 1));
  EXPECT_EQ(2, CompareBytesExact("\xe9", "a", 1));  // bytes above 127 are greater, not negative
  EXPECT_EQ(1, CompareBytesFolded("HeLLo", "hello", 5));
  // Folding is to lower case: "_" (0x5F) lies between "Z" and "a".
  EXPECT_EQ(0, CompareBytesFolded("_", "A", 1));
  EXPECT_EQ(0, CompareBytesFolded("\xc9", "\xe9", 1));  // É and é are different bytes
  EXPECT_EQ(3, CompareBytesExact("a", "b", 0));
  EXPECT_EQ(3, CompareBytesFolded("a", "b", -1));
  EXPECT_EQ(1, CompareBufferFolded("a", "b", 0));

  EXPECT_TRUE(TextEqualFolded("GET", "get"));
  EXPECT_TRUE(TextEqualFolded("", ""));
  EXPECT_FALSE(TextEqualFolded("\xc9", "\xe9"));
  EXPECT_FALSE(TextEqualFolded("GET", "GETS"));
}

TEST(TextCompare, TextAtPrefixSuffixAndBufferPrefix) {
  EXPECT_TRUE(TextAt("lo", "hello", 4, true));
  EXPECT_FALSE(TextAt("lo", "hello", 5, true));  // would run past the end
  EXPECT_FALSE(TextAt("he", "hello", 0, true));
  EXPECT_FALSE(TextAt("", "hello", 1, true));
  EXPECT_TRUE(TextHasPrefix("HTTP/", "http/1.1", false));
  EXPECT_FALSE(TextHasPrefix("HTTP/", "http/1.1", true));
  EXPECT_FALSE(TextHasPrefix("", "x", true));
  EXPECT_TRUE(TextHasSuffix(".EXE", "cgi.exe", false));
  EXPECT_FALSE(TextHasSuffix("long suffix", "short", true));
  EXPECT_FALSE(TextHasSuffix("", "x", true));

  EXPECT_TRUE(BufferHasPrefix("Content-Type: x", "content-type", false));
  EXPECT_FALSE(BufferHasPrefix("Cont", "Content", true));  // the NUL after "Cont" is a mismatch
  const char with_nul[] = {'a', '\0', 'b'};
  EXPECT_FALSE(BufferHasPrefix(with_nul, std::string_view("a\0b", 3), true));
  EXPECT_FALSE(BufferHasPrefix("abc", "", true));
}

TEST(TextSearch, BoundsAndEndOfData) {
  // A header terminator that is not complete yet must not be found.
  EXPECT_EQ(0, IndexOfText("\r\n\r\n", "Host: x\r\n\r", 1, true));
  EXPECT_EQ(8, IndexOfText("\r\n\r\n", "Host: x\r\n\r\n", 1, true));
  EXPECT_EQ(3, IndexOfText("LLO", "hello", 1, false));
  EXPECT_EQ(0, IndexOfText("LLO", "hello", 1, true));
  EXPECT_EQ(0, IndexOfText("lo", "hello", 5, true));   // from the last byte, "lo" does not fit
  EXPECT_EQ(4, IndexOfText("lo", "hello", -3, true));  // a start below 1 counts as 1
  EXPECT_EQ(0, IndexOfText("o", "hello", 6, true));    // start beyond the length
  EXPECT_EQ(0, IndexOfText("", "hello", 1, true));
  EXPECT_EQ(0, IndexOfText("hello!", "hello", 1, true));
  EXPECT_EQ(0, IndexOfText(std::string_view("a\0", 2), std::string_view("a\0", 2), 1, true));

  EXPECT_EQ(5, IndexOfByte('o', "hello", 5));
  EXPECT_EQ(0, IndexOfByte('h', "hello", 2));
  EXPECT_EQ(0, IndexOfByte('h', "", 1));
  EXPECT_EQ(3, IndexOfByteInSet(ByteSet(";,"), "ab,c;", 1));
  EXPECT_EQ(5, IndexOfByteInSet(ByteSet(";,"), "ab,c;", 4));
  EXPECT_EQ(4, IndexOfOtherByte(' ', "   x", 1));
  EXPECT_EQ(0, IndexOfOtherByte(' ', "   ", 1));
  EXPECT_EQ(3, IndexOfByteNotInSet(ByteSet::Whitespace(), "\t x ", 1));

  EXPECT_EQ(4, LastIndexOfByteInSet(ByteSet("/\\"), "a/b\\c", 1));
  EXPECT_EQ(4, LastIndexOfByteInSet(ByteSet("/\\"), "a/b\\c", 4));
  EXPECT_EQ(0, LastIndexOfByteInSet(ByteSet("/\\"), "a/b\\c", 5));  // down to start only
  EXPECT_EQ(2, LastIndexOfByteInSet(ByteSet("/"), "a/bc", 0));
}

TEST(TextCopy, RangesPaddingAndTrims) {
  EXPECT_EQ("ab", TextRange("abc", 0, 2));
  EXPECT_EQ("bc", TextRange("abc", 2, 9));
  EXPECT_EQ("", TextRange("abc", 3, 2));
  EXPECT_EQ("", TextRange("abc", 4, 9));
  EXPECT_EQ("", TextRange("abc", -2, 0));
  EXPECT_EQ("c", TextRange("abc", 3, 3));
  EXPECT_EQ("abc", TextFrom("abc", -1));
  EXPECT_EQ("", TextFrom("abc", 4));

  EXPECT_EQ("07", PadTextLeft("7", '0', 2, false));
  EXPECT_EQ("123", PadTextLeft("123", '0', 2, false));
  EXPECT_EQ("12", PadTextLeft("123", '0', 2, true));
  EXPECT_EQ("", PadTextLeft("123", '0', 0, true));
  EXPECT_EQ("12", PadTextLeft("12", '0', 2, true));

  EXPECT_EQ("a b", TrimSet("\t a b \r\n", ByteSet::Whitespace()));
  EXPECT_EQ("", TrimSet(" \x01 ", ByteSet::Whitespace()));
  std::string s = "--x-y--";
  TrimSetInPlace(s, ByteSet("-"));
  EXPECT_EQ("x-y", s);
}

TEST(TextSplit, KeepsEmptyPieces) {
  EXPECT_EQ((Pieces{"1", "2", "3", "4"}), SplitAtByte("1.2.3.4", '.'));
  EXPECT_EQ((Pieces{"", "a", ""}), SplitAtByte(".a.", '.'));
  EXPECT_EQ((Pieces{"a", "", "b"}), SplitAtByte("a,,b", ','));
  EXPECT_EQ(Pieces{}, SplitAtByte("", '.'));
  EXPECT_EQ((Pieces{"a", "", "b", ""}), SplitAtByteSet("a \tb ", ByteSet(" \t")));
  EXPECT_EQ(Pieces{}, SplitAtByteSet("", ByteSet(" ")));

  EXPECT_EQ((Pieces{"a", "b", ""}), SplitAtText("a\r\nb\r\n", "\r\n"));
  EXPECT_EQ((Pieces{"", "a"}), SplitAtText("aaa", "aa"));  // not overlapping
  EXPECT_EQ(Pieces{""}, SplitAtText("", ","));
  EXPECT_EQ(Pieces{"a,b"}, SplitAtText("a,b", ""));
  EXPECT_EQ((Pieces{"x", "Y"}), SplitAtText("xABY", "AB"));
  EXPECT_EQ(Pieces{"xabY"}, SplitAtText("xabY", "AB"));  // case-sensitive

  EXPECT_EQ("a,,b", JoinWithByte(Pieces{"a", "", "b"}, ','));
  EXPECT_EQ("", JoinWithByte(Pieces{}, ','));
  EXPECT_EQ("", JoinWithByte(Pieces{""}, ','));
}

TEST(TextSplit, CutsAndDelimitedParts) {
  const TTextCut cgi = CutAtText("Content-Type: text/plain\r\n\r\nbody\r\n\r\nmore", "\r\n\r\n", true, false);
  EXPECT_TRUE(cgi.found);
  EXPECT_EQ("Content-Type: text/plain", cgi.left);
  EXPECT_EQ("body\r\n\r\nmore", cgi.right);

  const TTextCut missing = CutAtText("no blank line\r\n", "\r\n\r\n", true, false);
  EXPECT_FALSE(missing.found);
  EXPECT_EQ("", missing.left);
  EXPECT_EQ("", missing.right);
  const TTextCut kept = CutAtText("abc", "x", true, true);
  EXPECT_FALSE(kept.found);
  EXPECT_EQ("abc", kept.left);
  EXPECT_EQ("", CutAtText("key", "", true, false).left);  // an empty delimiter is never found

  const TTextCut folded = CutAtText("Basic xyz", "BASIC ", false, false);
  EXPECT_TRUE(folded.found);
  EXPECT_EQ("", folded.left);
  EXPECT_EQ("xyz", folded.right);

  const TTextCut at_end = CutAtByte("name=", '=', false);
  EXPECT_TRUE(at_end.found);
  EXPECT_EQ("name", at_end.left);
  EXPECT_EQ("", at_end.right);
  const TTextCut by_set = CutAtByteSet("a;b,c", ByteSet(",;"), false);
  EXPECT_EQ("a", by_set.left);
  EXPECT_EQ("b,c", by_set.right);
  EXPECT_EQ("x y", CutAtByteSet("x y", ByteSet(":"), true).left);

  EXPECT_EQ("text/html", TextBeforeDelimiter("text/html; charset=x", ";", false, true));
  EXPECT_EQ("", TextBeforeDelimiter("text/html", ";", false, true));
  EXPECT_EQ("text/html", TextBeforeDelimiter("text/html", ";", true, true));
  EXPECT_EQ("a", TextBeforeDelimiter("aXb", "x", false, false));
  EXPECT_EQ(" charset=x", TextAfterDelimiter("text/html; charset=x", ";"));
  EXPECT_EQ("", TextAfterDelimiter("aXb", "x"));

  const ByteSet quote("\"");
  EXPECT_EQ("in", TextBetweenByteSets("a \"in\" b", quote, quote, false, false));
  EXPECT_EQ("", TextBetweenByteSets("a \"open", quote, quote, false, false));
  EXPECT_EQ("open", TextBetweenByteSets("a \"open", quote, quote, false, true));
  EXPECT_EQ("", TextBetweenByteSets("plain\"x", ByteSet("<"), quote, false, true));
  EXPECT_EQ("plain", TextBetweenByteSets("plain\"x", ByteSet("<"), quote, true, true));
  EXPECT_EQ("", TextBetweenByteSets("ends with\"", quote, quote, false, true));
}

TEST(TextReplace, OccurrencesAreReplacedOnceLeftToRight) {
  EXPECT_EQ("aaaaaa", ReplaceText("a", "aa", "aaa", true));  // the result is not searched again
  EXPECT_EQ("xa", ReplaceText("aa", "x", "aaa", true));      // not overlapping
  EXPECT_EQ("1-2-3", ReplaceText("<SEP>", "-", "1<sep>2<Sep>3", false));
  EXPECT_EQ("1<sep>2", ReplaceText("<SEP>", "-", "1<sep>2", true));
  EXPECT_EQ("abc", ReplaceText("", "x", "abc", true));
  EXPECT_EQ("", ReplaceText("abc", "", "abcabc", true));
  EXPECT_EQ("$x$", ReplaceText("$remote$", "x", "$$remote$$", true));

  EXPECT_EQ("path", WithoutPrefix("/path", "/", true));
  EXPECT_EQ("/path", WithoutPrefix("/path", "x", true));
  EXPECT_EQ("dir/", AppendSuffixIfMissing("dir", "/", true));
  EXPECT_EQ("dir/", AppendSuffixIfMissing("dir/", "/", true));
  EXPECT_EQ("/", AppendSuffixIfMissing("", "/", true));
  EXPECT_EQ("dir", AppendSuffixIfMissing("dir", "", true));
  EXPECT_EQ("a.HTM", AppendSuffixIfMissing("a.HTM", ".htm", false));
  std::string s = "Bearer token";
  DropPrefixInPlace(s, "bearer ", false);
  EXPECT_EQ("token", s);
  s = "file.EXE";
  DropSuffixInPlace(s, ".exe", true);
  EXPECT_EQ("file.EXE", s);
  DropSuffixInPlace(s, ".exe", false);
  EXPECT_EQ("file", s);
}

TEST(TextNumbers, HexadecimalUsesTheLastEightBytes) {
  struct Case {
    const char* text;
    int64_t value;
  };
  const Case cases[] = {
      {"", 0},
      {"1a", 26},
      {"1A", 26},
      {"ffffffff", 0xFFFFFFFF},  // stays positive
      {"123456789", 0x23456789},
      {"FFFFFFFFF", 0xFFFFFFFF},
      {"1g", 0x10},  // a non-digit counts as 0 but keeps its place
      {"1 2", 0x102},
  };
  for (const Case& c : cases) EXPECT_EQ(c.value, HexTextToInt(c.text)) << c.text;
}

TEST(TextNumbers, DecimalAndFloatingPoint) {
  EXPECT_EQ(42, TextToIntOr("42", -1));
  EXPECT_EQ(-7, TextToIntOr("-7", 0));
  EXPECT_EQ(7, TextToIntOr("+7", 0));
  EXPECT_EQ(-1, TextToIntOr(" 7", -1));
  EXPECT_EQ(-1, TextToIntOr("7x", -1));
  EXPECT_EQ(-1, TextToIntOr("+-7", -1));
  EXPECT_EQ(-1, TextToIntOr("", -1));
  EXPECT_EQ(-1, TextToIntOr("2147483648", -1));
  EXPECT_EQ(int64_t{2147483648}, TextToInt64Or("2147483648", -1));
  EXPECT_EQ(-1, TextToInt64Or("99999999999999999999", -1));

  struct Case {
    const char* text;
    double value;
  };
  const Case cases[] = {
      {"1.1", 1.1},    {" 2.5 ", 2.5}, {"-0.5", -0.5},  {"+3", 3.0},        {".5", 0.5},   {"5.", 5.0},
      {"1e3", 1000.0}, {"1,5", -1.0},  {"", -1.0},      {".", -1.0},        {"inf", -1.0}, {"nan", -1.0},
      {"0x10", -1.0},  {"1e", -1.0},   {"1e999", -1.0}, {"HTTP/1.1", -1.0},
  };
  for (const Case& c : cases) EXPECT_DOUBLE_EQ(c.value, TextToFloatOr(c.text, -1.0)) << c.text;
}

TEST(TextNumbers, Base64Decoding) {
  struct Case {
    const char* text;
    std::string decoded;
  };
  const Case cases[] = {
      {"", ""},
      {"====", ""},
      {"dXNlcjpwYXNz", "user:pass"},
      {"YQ==", "a"},
      {"YWI=", "ab"},
      {"YQ", "a"},
      {"YWJj", "abc"},
      {"+/+/", "\xfb\xff\xbf"},
      {"A*==", std::string(1, '\0')},  // a character outside the alphabet counts as 0
  };
  for (const Case& c : cases) EXPECT_EQ(c.decoded, DecodeBase64Text(c.text)) << c.text;
}

TEST(TextNumbers, ByteCountText) {
  struct Case {
    bool short_form;
    int64_t size;
    const char* text;
  };
  const Case cases[] = {
      {false, 0, "0 bytes"},
      {false, 500, "500 bytes"},
      {false, 1023, "1023 bytes"},
      {false, 1024, "1 Kb"},
      {false, 1536, "1.5 Kb"},
      {false, 2048, "2 Kb"},
      {false, 1280, "1.3 Kb"},  // 1.25: halves round up
      {false, 1048575, "1024 Kb"},
      {false, 1048576, "1 Mb"},
      {false, int64_t{5} << 30, "5 Gb"},
      {false, (int64_t{3} << 40) + (int64_t{1} << 39), "3.5 Tb"},
      {false, int64_t{1} << 50, "1024 Tb"},
      {true, 500, "500 b"},
      {true, 1536, "2 K"},
      {true, 1400, "1 K"},
      {true, 2560, "3 K"},
      {true, int64_t{3} << 20, "3 M"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.text, ByteCountToText(c.short_form, c.size)) << c.size;
}

TEST(TextHelpers, ClassNameOfObject) {
  const EConvertError error("x");
  EXPECT_EQ("EConvertError", ClassNameOfObject(&error));
  EXPECT_EQ("nil", ClassNameOfObject(nullptr));
  EXPECT_EQ("yes", ChooseText(true, "yes", "no"));
}

}  // namespace
}  // namespace vt
