#include "util/text.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

#include "util/ascii.h"
#include "util/exception.h"

namespace vt {
namespace {

constexpr std::size_t kNotFound = std::string_view::npos;

int Length(std::string_view s) { return static_cast<int>(s.size()); }

// The 0-based index where a search from the 1-based `start` begins, or
// kNotFound when s is empty or start lies beyond it.
std::size_t SearchOrigin(std::string_view s, int start) {
  if (start < 1) start = 1;
  if (s.empty() || start > Length(s)) return kNotFound;
  return static_cast<std::size_t>(start - 1);
}

int ToPosition(std::size_t index) { return index == kNotFound ? 0 : static_cast<int>(index) + 1; }

int CompareBytes(const char* a, const char* b, int n, bool fold) {
  for (int i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(fold ? AsciiToLower(a[i]) : a[i]);
    unsigned char y = static_cast<unsigned char>(fold ? AsciiToLower(b[i]) : b[i]);
    if (x != y) return x < y ? 0 : 2;
  }
  return 1;
}

bool EqualBytes(const char* a, const char* b, std::size_t n, bool case_sensitive) {
  return case_sensitive ? std::memcmp(a, b, n) == 0 : AsciiEqualFolded(a, b, n);
}

// The 0-based index of the first occurrence of find in s at or after `from`,
// with the rules of IndexOfText.
std::size_t FindText(std::string_view find, std::string_view s, std::size_t from, bool case_sensitive) {
  if (find.empty() || find.size() > s.size() || from > s.size() - find.size()) return kNotFound;
  // A NUL byte of s never matches, so a find holding NUL cannot occur.
  if (find.find('\0') != kNotFound) return kNotFound;
  if (case_sensitive) return s.find(find, from);
  const char first = AsciiToLower(find[0]);
  for (std::size_t i = from; i + find.size() <= s.size(); ++i) {
    if (AsciiToLower(s[i]) == first && AsciiEqualFolded(s.data() + i, find.data(), find.size())) return i;
  }
  return kNotFound;
}

TTextCut CutAt(std::string_view s, std::size_t index, std::size_t delimiter_size, bool keep_when_missing) {
  TTextCut cut;
  if (index == kNotFound) {
    if (keep_when_missing) cut.left = std::string(s);
    return cut;
  }
  cut.left = std::string(s.substr(0, index));
  cut.right = std::string(s.substr(index + delimiter_size));
  cut.found = true;
  return cut;
}

template <typename IsDelimiter>
std::vector<std::string> SplitAtBytes(std::string_view s, IsDelimiter is_delimiter) {
  std::vector<std::string> pieces;
  if (s.empty()) return pieces;
  std::size_t begin = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (is_delimiter(s[i])) {
      pieces.emplace_back(s.substr(begin, i - begin));
      begin = i + 1;
    }
  }
  pieces.emplace_back(s.substr(begin));
  return pieces;
}

template <typename Int>
Int ParseDecimal(std::string_view s, Int default_value) {
  if (!s.empty() && s.front() == '+') {
    s.remove_prefix(1);
    // "+-5" is not a number; from_chars would take the "-".
    if (!s.empty() && s.front() == '-') return default_value;
  }
  if (s.empty()) return default_value;
  Int value{};
  const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value, 10);
  if (error != std::errc() || end != s.data() + s.size()) return default_value;
  return value;
}

// Byte -> value of a Base64 digit; bytes outside the alphabet are 0.
constexpr std::array<unsigned char, 256> MakeBase64Values() {
  constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::array<unsigned char, 256> values{};
  for (std::size_t i = 0; i < alphabet.size(); ++i) {
    values[static_cast<unsigned char>(alphabet[i])] = static_cast<unsigned char>(i);
  }
  return values;
}

constexpr std::array<unsigned char, 256> kBase64Values = MakeBase64Values();

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

}  // namespace

// ---- Case and classification ----------------------------------------------

bool IsAllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

void AsciiUpperInPlace(std::string& s) {
  for (char& c : s) c = AsciiToUpper(c);
}

void AsciiLowerInPlace(std::string& s) {
  for (char& c : s) c = AsciiToLower(c);
}

// ---- Comparison -----------------------------------------------------------

bool BytesEqual(const char* a, const char* b, int n) {
  return n <= 0 || std::memcmp(a, b, static_cast<std::size_t>(n)) == 0;
}

int CompareBufferFolded(const char* a, const char* b, int n) { return CompareBytes(a, b, n, true); }

int CompareBytesExact(const char* a, const char* b, int n) {
  return n <= 0 ? 3 : CompareBytes(a, b, n, false);
}

int CompareBytesFolded(const char* a, const char* b, int n) {
  return n <= 0 ? 3 : CompareBytes(a, b, n, true);
}

bool TextEqualFolded(std::string_view a, std::string_view b) {
  return a.size() == b.size() && AsciiEqualFolded(a.data(), b.data(), a.size());
}

bool TextAt(std::string_view sub, std::string_view s, int pos, bool case_sensitive) {
  if (sub.empty() || s.empty() || pos < 1) return false;
  const std::size_t index = static_cast<std::size_t>(pos - 1);
  if (index > s.size() || sub.size() > s.size() - index) return false;
  return EqualBytes(s.data() + index, sub.data(), sub.size(), case_sensitive);
}

bool TextHasPrefix(std::string_view prefix, std::string_view s, bool case_sensitive) {
  return TextAt(prefix, s, 1, case_sensitive);
}

bool TextHasSuffix(std::string_view suffix, std::string_view s, bool case_sensitive) {
  return TextAt(suffix, s, Length(s) - Length(suffix) + 1, case_sensitive);
}

bool BufferHasPrefix(const char* buffer, std::string_view s, bool case_sensitive) {
  if (s.empty()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = buffer[i];
    if (c == '\0') return false;
    if (case_sensitive ? c != s[i] : AsciiToLower(c) != AsciiToLower(s[i])) return false;
  }
  return true;
}

// ---- Searching ------------------------------------------------------------

int IndexOfByte(char ch, std::string_view s, int start) {
  const std::size_t from = SearchOrigin(s, start);
  return from == kNotFound ? 0 : ToPosition(s.find(ch, from));
}

int IndexOfByteInSet(const ByteSet& set, std::string_view s, int start) {
  const std::size_t from = SearchOrigin(s, start);
  if (from == kNotFound) return 0;
  for (std::size_t i = from; i < s.size(); ++i) {
    if (set.Contains(s[i])) return ToPosition(i);
  }
  return 0;
}

int IndexOfOtherByte(char ch, std::string_view s, int start) {
  const std::size_t from = SearchOrigin(s, start);
  if (from == kNotFound) return 0;
  for (std::size_t i = from; i < s.size(); ++i) {
    if (s[i] != ch) return ToPosition(i);
  }
  return 0;
}

int IndexOfByteNotInSet(const ByteSet& set, std::string_view s, int start) {
  const std::size_t from = SearchOrigin(s, start);
  if (from == kNotFound) return 0;
  for (std::size_t i = from; i < s.size(); ++i) {
    if (!set.Contains(s[i])) return ToPosition(i);
  }
  return 0;
}

int LastIndexOfByteInSet(const ByteSet& set, std::string_view s, int start) {
  const std::size_t lowest = SearchOrigin(s, start);
  if (lowest == kNotFound) return 0;
  for (std::size_t i = s.size(); i > lowest; --i) {
    if (set.Contains(s[i - 1])) return ToPosition(i - 1);
  }
  return 0;
}

int IndexOfText(std::string_view find, std::string_view s, int start, bool case_sensitive) {
  const std::size_t from = SearchOrigin(s, start);
  return from == kNotFound ? 0 : ToPosition(FindText(find, s, from, case_sensitive));
}

// ---- Copying and trimming -------------------------------------------------

std::string TextRange(std::string_view s, int from, int to) {
  if (from < 1) from = 1;
  if (to < from || from > Length(s)) return std::string();
  if (to > Length(s)) to = Length(s);
  return std::string(s.substr(static_cast<std::size_t>(from - 1), static_cast<std::size_t>(to - from + 1)));
}

std::string TextFrom(std::string_view s, int from) {
  if (from <= 1) return std::string(s);
  if (from > Length(s)) return std::string();
  return std::string(s.substr(static_cast<std::size_t>(from - 1)));
}

std::string TextLeft(std::string_view s, int n) {
  if (n <= 0) return std::string();
  return std::string(s.substr(0, static_cast<std::size_t>(n)));
}

std::string TrimSet(std::string_view s, const ByteSet& set) {
  std::size_t begin = 0;
  std::size_t end = s.size();
  while (begin < end && set.Contains(s[begin])) ++begin;
  while (end > begin && set.Contains(s[end - 1])) --end;
  return std::string(s.substr(begin, end - begin));
}

void TrimSetLeftInPlace(std::string& s, const ByteSet& set) {
  std::size_t begin = 0;
  while (begin < s.size() && set.Contains(s[begin])) ++begin;
  if (begin > 0) s.erase(0, begin);
}

void TrimSetRightInPlace(std::string& s, const ByteSet& set) {
  std::size_t end = s.size();
  while (end > 0 && set.Contains(s[end - 1])) --end;
  s.resize(end);
}

void TrimSetInPlace(std::string& s, const ByteSet& set) {
  TrimSetRightInPlace(s, set);
  TrimSetLeftInPlace(s, set);
}

std::string TextFromBuffer(const char* buffer, int n) {
  if (n <= 0) return std::string();
  return std::string(buffer, static_cast<std::size_t>(n));
}

std::string PadTextLeft(std::string_view s, char ch, int n, bool cut) {
  if (Length(s) < n) {
    std::string result(static_cast<std::size_t>(n - Length(s)), ch);
    result.append(s);
    return result;
  }
  if (cut) return TextLeft(s, n);
  return std::string(s);
}

// ---- Splitting and joining ------------------------------------------------

std::vector<std::string> SplitAtText(std::string_view s, std::string_view delimiter) {
  std::vector<std::string> pieces;
  if (delimiter.empty()) {
    pieces.emplace_back(s);
    return pieces;
  }
  std::size_t begin = 0;
  for (std::size_t at = s.find(delimiter); at != kNotFound; at = s.find(delimiter, begin)) {
    pieces.emplace_back(s.substr(begin, at - begin));
    begin = at + delimiter.size();
  }
  pieces.emplace_back(s.substr(begin));
  return pieces;
}

std::vector<std::string> SplitAtByte(std::string_view s, char ch) {
  return SplitAtBytes(s, [ch](char c) { return c == ch; });
}

std::vector<std::string> SplitAtByteSet(std::string_view s, const ByteSet& set) {
  return SplitAtBytes(s, [&set](char c) { return set.Contains(c); });
}

std::string JoinWithByte(const std::vector<std::string>& pieces, char ch) {
  std::string result;
  if (pieces.empty()) return result;
  std::size_t size = pieces.size() - 1;
  for (const std::string& piece : pieces) size += piece.size();
  result.reserve(size);
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) result.push_back(ch);
    result.append(pieces[i]);
  }
  return result;
}

TTextCut CutAtText(std::string_view s, std::string_view delimiter, bool case_sensitive,
                   bool keep_when_missing) {
  return CutAt(s, FindText(delimiter, s, 0, case_sensitive), delimiter.size(), keep_when_missing);
}

TTextCut CutAtByte(std::string_view s, char ch, bool keep_when_missing) {
  return CutAt(s, s.find(ch), 1, keep_when_missing);
}

TTextCut CutAtByteSet(std::string_view s, const ByteSet& set, bool keep_when_missing) {
  const int position = IndexOfByteInSet(set, s, 1);
  return CutAt(s, position == 0 ? kNotFound : static_cast<std::size_t>(position - 1), 1, keep_when_missing);
}

std::string TextBeforeDelimiter(std::string_view s, std::string_view delimiter, bool keep_when_missing,
                                bool case_sensitive) {
  const std::size_t at = FindText(delimiter, s, 0, case_sensitive);
  if (at == kNotFound) return keep_when_missing ? std::string(s) : std::string();
  return std::string(s.substr(0, at));
}

std::string TextAfterDelimiter(std::string_view s, std::string_view delimiter) {
  const std::size_t at = FindText(delimiter, s, 0, true);
  if (at == kNotFound) return std::string();
  return std::string(s.substr(at + delimiter.size()));
}

std::string TextBetweenByteSets(std::string_view s, const ByteSet& start_set, const ByteSet& end_set,
                                bool from_start_when_missing, bool to_end_when_open) {
  const int start_position = IndexOfByteInSet(start_set, s, 1);
  if (start_position == 0 && !from_start_when_missing) return std::string();
  const int from = start_position + 1;
  const int end_position = IndexOfByteInSet(end_set, s, from);
  if (end_position == 0) return to_end_when_open ? TextFrom(s, from) : std::string();
  return TextRange(s, from, end_position - 1);
}

// ---- Replacing and affixes ------------------------------------------------

std::string ReplaceByte(char find, char replace, std::string_view s) {
  std::string result(s);
  for (char& c : result) {
    if (c == find) c = replace;
  }
  return result;
}

std::string ReplaceByteSet(const ByteSet& set, char replace, std::string_view s) {
  std::string result(s);
  for (char& c : result) {
    if (set.Contains(c)) c = replace;
  }
  return result;
}

std::string ReplaceText(std::string_view find, std::string_view replace, std::string_view s,
                        bool case_sensitive) {
  // Count first, so that the result is made in one allocation of its final
  // length: replacing in a large text must not reallocate once per match.
  std::size_t count = 0;
  for (std::size_t at = FindText(find, s, 0, case_sensitive); at != kNotFound;
       at = FindText(find, s, at + find.size(), case_sensitive)) {
    ++count;
  }
  if (count == 0) return std::string(s);

  std::string result;
  result.reserve(s.size() - count * find.size() + count * replace.size());
  std::size_t begin = 0;
  for (std::size_t at = FindText(find, s, 0, case_sensitive); at != kNotFound;
       at = FindText(find, s, begin, case_sensitive)) {
    result.append(s.substr(begin, at - begin));
    result.append(replace);
    begin = at + find.size();
  }
  result.append(s.substr(begin));
  return result;
}

std::string WithoutPrefix(std::string_view s, std::string_view prefix, bool case_sensitive) {
  if (TextHasPrefix(prefix, s, case_sensitive)) s.remove_prefix(prefix.size());
  return std::string(s);
}

std::string AppendSuffixIfMissing(std::string_view s, std::string_view suffix, bool case_sensitive) {
  std::string result(s);
  if (!suffix.empty() && !TextHasSuffix(suffix, s, case_sensitive)) result.append(suffix);
  return result;
}

void DropPrefixInPlace(std::string& s, std::string_view prefix, bool case_sensitive) {
  if (TextHasPrefix(prefix, s, case_sensitive)) s.erase(0, prefix.size());
}

void DropSuffixInPlace(std::string& s, std::string_view suffix, bool case_sensitive) {
  if (TextHasSuffix(suffix, s, case_sensitive)) s.resize(s.size() - suffix.size());
}

// ---- Numbers and encodings ------------------------------------------------

int64_t HexTextToInt(std::string_view s) {
  if (s.size() > 8) s.remove_prefix(s.size() - 8);
  int64_t value = 0;
  for (char c : s) value = value * 16 + HexDigitValue(c);
  return value;
}

int32_t TextToIntOr(std::string_view s, int32_t default_value) { return ParseDecimal(s, default_value); }

int64_t TextToInt64Or(std::string_view s, int64_t default_value) { return ParseDecimal(s, default_value); }

double TextToFloatOr(std::string_view s, double default_value) {
  const ByteSet whitespace = ByteSet::Whitespace();
  while (!s.empty() && whitespace.Contains(s.front())) s.remove_prefix(1);
  while (!s.empty() && whitespace.Contains(s.back())) s.remove_suffix(1);

  // Check the shape here: from_chars also takes "inf", "nan" and friends,
  // and no leading "+".
  std::string_view rest = s;
  const auto skip_sign = [&rest] {
    if (!rest.empty() && (rest.front() == '+' || rest.front() == '-')) rest.remove_prefix(1);
  };
  const auto skip_digits = [&rest] {
    std::size_t n = 0;
    while (n < rest.size() && rest[n] >= '0' && rest[n] <= '9') ++n;
    rest.remove_prefix(n);
    return n;
  };
  skip_sign();
  std::size_t digits = skip_digits();
  if (!rest.empty() && rest.front() == '.') {
    rest.remove_prefix(1);
    digits += skip_digits();
  }
  if (digits == 0) return default_value;
  if (!rest.empty() && (rest.front() == 'e' || rest.front() == 'E')) {
    rest.remove_prefix(1);
    skip_sign();
    if (skip_digits() == 0) return default_value;
  }
  if (!rest.empty()) return default_value;

  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  double value = 0;
  const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (error != std::errc() || end != s.data() + s.size() || !std::isfinite(value)) return default_value;
  return value;
}

std::string DecodeBase64Text(std::string_view s) {
  while (!s.empty() && s.back() == '=') s.remove_suffix(1);
  std::string result(s.size() * 3 / 4, '\0');
  std::size_t out = 0;
  for (std::size_t i = 0; i < s.size(); i += 4) {
    uint32_t group = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const unsigned char value = i + k < s.size() ? kBase64Values[static_cast<unsigned char>(s[i + k])] : 0;
      group = (group << 6) | value;
    }
    for (int shift = 16; shift >= 0 && out < result.size(); shift -= 8) {
      result[out++] = static_cast<char>((group >> shift) & 0xFF);
    }
  }
  return result;
}

std::string ByteCountToText(bool short_form, int64_t size) {
  if (size < 1024) return std::to_string(size) + (short_form ? " b" : " bytes");

  struct Unit {
    int64_t divisor;
    const char* short_name;
    const char* long_name;
  };
  static constexpr Unit kUnits[] = {
      {int64_t{1} << 10, "K", "Kb"},
      {int64_t{1} << 20, "M", "Mb"},
      {int64_t{1} << 30, "G", "Gb"},
      {int64_t{1} << 40, "T", "Tb"},
  };
  std::size_t u = 0;
  while (u + 1 < std::size(kUnits) && size >= kUnits[u + 1].divisor) ++u;
  const Unit& unit = kUnits[u];

  // Whole units in the short form, tenths in the long one, rounded to the
  // nearest (halves away from zero); a zero tenth is not shown.
  const double value = static_cast<double>(size) / static_cast<double>(unit.divisor);
  std::string text;
  if (short_form) {
    text = std::to_string(std::llround(value));
  } else {
    const long long tenths = std::llround(value * 10);
    text = std::to_string(tenths / 10);
    if (tenths % 10 != 0) text += "." + std::to_string(tenths % 10);
  }
  return text + " " + (short_form ? unit.short_name : unit.long_name);
}

// ---- Other helpers --------------------------------------------------------

std::string ChooseText(bool condition, std::string_view when_true, std::string_view when_false) {
  return std::string(condition ? when_true : when_false);
}

std::string ClassNameOfObject(const Exception* object) { return object ? object->ClassName() : "nil"; }

}  // namespace vt
