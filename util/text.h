#pragma once

// Small routines on byte strings used for parsing and formatting everywhere
// in the system.
//
// Conventions shared by every routine here:
// - A string is a byte string; one byte is one character and no character
//   set conversion ever happens.
// - Positions are 1-based; 0 means "not found".
// - Case-insensitive routines fold ASCII letters only (util/ascii.h): bytes
//   above 127 are their own case.
// - Three-way results are 0 (first smaller), 1 (equal), 2 (first greater),
//   and 3 where stated for "nothing to compare". Bytes compare unsigned.
// - Whitespace is the bytes 0 to 32 (ByteSet::Whitespace()).
// - Splits keep empty pieces: n delimiters give n + 1 pieces.
// - Routines ending in InPlace change the string passed by reference; all
//   others are pure and thread-safe.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "util/byte_set.h"

namespace vt {

class Exception;

// ---- Case and classification ----------------------------------------------

// True when s is not empty and every byte is "0" to "9".
bool IsAllDigits(std::string_view s);

// Change a-z to A-Z (A-Z to a-z); nothing else is touched.
void AsciiUpperInPlace(std::string& s);
void AsciiLowerInPlace(std::string& s);

// ---- Comparison -----------------------------------------------------------

// True when the n bytes at a and b are equal (true for n <= 0).
bool BytesEqual(const char* a, const char* b, int n);

// Three-way result of the n bytes after ASCII folding; 1 for n <= 0.
int CompareBufferFolded(const char* a, const char* b, int n);

// Three-way result of the n bytes, exact or after folding; 3 for n <= 0.
int CompareBytesExact(const char* a, const char* b, int n);
int CompareBytesFolded(const char* a, const char* b, int n);

// Equal lengths and equal after folding; two empty strings are equal.
bool TextEqualFolded(std::string_view a, std::string_view b);

// True when s holds sub starting at position pos. False when either is
// empty, pos is below 1 or sub does not fit.
bool TextAt(std::string_view sub, std::string_view s, int pos, bool case_sensitive);

// TextAt at the first or the last possible position; false for an empty
// prefix or suffix.
bool TextHasPrefix(std::string_view prefix, std::string_view s, bool case_sensitive);
bool TextHasSuffix(std::string_view suffix, std::string_view s, bool case_sensitive);

// True when the bytes at buffer begin with s. A NUL byte in the buffer ends
// the comparison as a mismatch, so buffer must either hold s.size() bytes or
// be NUL-terminated. False for an empty s.
bool BufferHasPrefix(const char* buffer, std::string_view s, bool case_sensitive);

// ---- Searching ------------------------------------------------------------
// A start below 1 counts as 1; every search gives 0 for an empty s or a start
// beyond its length.

// First position of ch at or after start.
int IndexOfByte(char ch, std::string_view s, int start = 1);

// First position of a member of set at or after start.
int IndexOfByteInSet(const ByteSet& set, std::string_view s, int start = 1);

// First position of a byte other than ch (not in set) at or after start.
int IndexOfOtherByte(char ch, std::string_view s, int start = 1);
int IndexOfByteNotInSet(const ByteSet& set, std::string_view s, int start = 1);

// Last position of a member of set, searching from the end down to start.
int LastIndexOfByteInSet(const ByteSet& set, std::string_view s, int start = 1);

// First position at or after start where find occurs; 0 when find is empty
// or longer than s. A NUL byte in s never matches (so a find holding NUL is
// never found).
int IndexOfText(std::string_view find, std::string_view s, int start, bool case_sensitive);

// ---- Copying and trimming -------------------------------------------------

// The bytes from..to inclusive. Empty when to is below from or below 1, or
// from is beyond the length; from below 1 counts as 1; to is clipped.
std::string TextRange(std::string_view s, int from, int to);

// The bytes from position from on: from <= 1 gives s, beyond the length empty.
std::string TextFrom(std::string_view s, int from);

// The first n bytes: n <= 0 gives empty, n >= length gives s.
std::string TextLeft(std::string_view s, int n);

// s without leading and trailing members of set.
std::string TrimSet(std::string_view s, const ByteSet& set);
void TrimSetLeftInPlace(std::string& s, const ByteSet& set);
void TrimSetRightInPlace(std::string& s, const ByteSet& set);
void TrimSetInPlace(std::string& s, const ByteSet& set);

// A string of the n bytes at buffer; empty for n <= 0.
std::string TextFromBuffer(const char* buffer, int n);

// s padded on the left with ch up to n bytes. A longer s is returned as it
// is, or with cut its first n bytes (empty for n <= 0).
std::string PadTextLeft(std::string_view s, char ch, int n, bool cut);

// ---- Splitting and joining ------------------------------------------------

// The pieces between occurrences of delimiter (case-sensitive, left to right,
// not overlapping). An empty delimiter gives s as the one piece; an empty s
// gives one empty piece.
std::vector<std::string> SplitAtText(std::string_view s, std::string_view delimiter);

// The pieces between occurrences of ch (of any member of set). An empty s
// gives no pieces at all.
std::vector<std::string> SplitAtByte(std::string_view s, char ch);
std::vector<std::string> SplitAtByteSet(std::string_view s, const ByteSet& set);

// The pieces with ch between them; no pieces give the empty string.
std::string JoinWithByte(const std::vector<std::string>& pieces, char ch);

// The two sides of a cut. found tells whether the delimiter was there; when it
// was not, left is the whole text (with keep_when_missing) or empty, and right
// is empty.
struct TTextCut {
  std::string left;
  std::string right;
  bool found = false;
};

// Cut at the first occurrence of delimiter; right starts after the whole
// delimiter. An empty delimiter is never found.
TTextCut CutAtText(std::string_view s, std::string_view delimiter, bool case_sensitive,
                   bool keep_when_missing);

// Cut at the first byte ch (the first member of set); right starts after it.
TTextCut CutAtByte(std::string_view s, char ch, bool keep_when_missing);
TTextCut CutAtByteSet(std::string_view s, const ByteSet& set, bool keep_when_missing);

// The text before the first occurrence of delimiter; when it is missing, s
// with keep_when_missing, else empty.
std::string TextBeforeDelimiter(std::string_view s, std::string_view delimiter, bool keep_when_missing,
                                bool case_sensitive);

// The text after the first occurrence of delimiter (case-sensitive); empty
// when it is missing.
std::string TextAfterDelimiter(std::string_view s, std::string_view delimiter);

// The text after the first member of start_set up to (not including) the next
// member of end_set. Without a start member: empty, or from the first byte
// with from_start_when_missing. Without an end member: empty, or to the end
// with to_end_when_open.
std::string TextBetweenByteSets(std::string_view s, const ByteSet& start_set, const ByteSet& end_set,
                                bool from_start_when_missing, bool to_end_when_open);

// ---- Replacing and affixes ------------------------------------------------

// Every byte find (every member of set) becomes replace.
std::string ReplaceByte(char find, char replace, std::string_view s);
std::string ReplaceByteSet(const ByteSet& set, char replace, std::string_view s);

// Every occurrence of find, left to right and not overlapping, becomes
// replace; the result is not searched again. An empty find leaves s as it is.
std::string ReplaceText(std::string_view find, std::string_view replace, std::string_view s,
                        bool case_sensitive);

// s without prefix when it starts with it, else s.
std::string WithoutPrefix(std::string_view s, std::string_view prefix, bool case_sensitive);

// s with suffix appended unless it already ends with it; an empty suffix adds
// nothing.
std::string AppendSuffixIfMissing(std::string_view s, std::string_view suffix, bool case_sensitive);

// Remove the prefix (suffix) when s has it.
void DropPrefixInPlace(std::string& s, std::string_view prefix, bool case_sensitive);
void DropSuffixInPlace(std::string& s, std::string_view suffix, bool case_sensitive);

// ---- Numbers and encodings ------------------------------------------------

// The value of the hexadecimal digits of s, read from the right, four bits a
// byte, at most the last eight bytes. A byte that is not a hexadecimal digit
// counts as 0 but still takes its four bits. The result lies in
// 0..0xFFFFFFFF; it is returned as int64_t so that a chunk size of eight F's
// never turns negative in a caller's arithmetic.
int64_t HexTextToInt(std::string_view s);

// The decimal integer of s: an optional "+" or "-" and one or more digits,
// nothing else (no blanks). default_value when s is not such a number or does
// not fit.
int32_t TextToIntOr(std::string_view s, int32_t default_value);
int64_t TextToInt64Or(std::string_view s, int64_t default_value);

// The floating-point value of s, or default_value when s is not a number.
// Leading and trailing whitespace is allowed; the number itself is an
// optional sign, digits with an optional "." fraction (the decimal point is
// always "."), and an optional exponent. Infinities, NaN, hexadecimal forms
// and values out of range give default_value.
double TextToFloatOr(std::string_view s, double default_value);

// Base64 with the standard alphabet ("+" and "/"). Trailing "=" bytes are
// dropped, then every four characters give three bytes; the result has
// (length without padding) * 3 / 4 bytes, rounded down. A character outside
// the alphabet counts as 0.
std::string DecodeBase64Text(std::string_view s);

// A byte count for people: "500 bytes", "1.5 Kb", "2 Kb", "3 Mb" (long form,
// one decimal unless it is 0) or "500 b", "2 K", "3 M" (short form, rounded
// to whole units). Units step at 1024.
std::string ByteCountToText(bool short_form, int64_t size);

// ---- Other helpers --------------------------------------------------------

// when_true when condition holds, else when_false.
std::string ChooseText(bool condition, std::string_view when_true, std::string_view when_false);

// The exception's class name, or "nil" for none.
std::string ClassNameOfObject(const Exception* object);

}  // namespace vt
