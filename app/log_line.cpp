#include "app/log_line.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <iterator>
#include <vector>

#include "util/text.h"

namespace vt {
namespace {

// `value` in decimal with at least `digits` digits, zeros in front (a
// negative number's sign counts as one of them, as padding the text would).
void AppendPadded(std::string& out, std::int64_t value, int digits) {
  if (digits == 2 && value >= 0 && value < 100) {
    out += static_cast<char>('0' + value / 10);
    out += static_cast<char>('0' + value % 10);
    return;
  }
  char text[24];
  const auto n = static_cast<int>(std::to_chars(text, text + sizeof text, value).ptr - text);
  if (n < digits) out.append(static_cast<std::size_t>(digits - n), '0');
  out.append(text, static_cast<std::size_t>(n));
}

// "aa-bb-cc" (with `separator`) for three numbers of two digits, and when
// `d` is not negative "aa-bb-ccdd" (a four-digit year), in one append; false
// (nothing appended) when a number has more digits or is negative. What
// AppendPadded writes for them, a piece at a time.
bool AppendTwoDigitGroups(std::string& out, int a, int b, int c, int d, char separator) {
  const auto fits = [](int n) { return n >= 0 && n <= 99; };
  if (!fits(a) || !fits(b) || !fits(c) || !(d < 0 || fits(d))) return false;
  const auto tens = [](int n) { return static_cast<char>('0' + n / 10); };
  const auto ones = [](int n) { return static_cast<char>('0' + n % 10); };
  const char text[10] = {tens(a),
                         ones(a),
                         separator,
                         tens(b),
                         ones(b),
                         separator,
                         tens(c),
                         ones(c),
                         d < 0 ? '\0' : tens(d),
                         d < 0 ? '\0' : ones(d)};
  out.append(text, d < 0 ? 8 : 10);
  return true;
}

char* WriteHexByte(char* to, unsigned char byte) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  *to++ = '\\';
  *to++ = 'x';
  *to++ = kHex[byte >> 4];
  *to++ = kHex[byte & 15];
  return to;
}

char* CopyText(char* to, std::string_view text) {
  std::memcpy(to, text.data(), text.size());
  return to + text.size();
}

// The most bytes escaping makes of one byte ("\xHH").
constexpr std::size_t kMaxEscapedByte = 4;
// The most characters of a 64-bit number in decimal, its sign included.
constexpr std::size_t kMaxNumberText = 20;

// The length of the well-formed UTF-8 sequence (RFC 3629: no overlong
// forms, no surrogates, nothing above U+10FFFF) that starts `text` with a
// byte of 0x80 or above, and its code point; 0 when there is none.
std::size_t Utf8Sequence(std::string_view text, char32_t& code_point) {
  const auto lead = static_cast<unsigned char>(text[0]);
  std::size_t length = 0;
  char32_t smallest = 0;
  if (lead >= 0xC0 && lead < 0xE0) {
    length = 2, smallest = 0x80, code_point = lead & 0x1F;
  } else if (lead >= 0xE0 && lead < 0xF0) {
    length = 3, smallest = 0x800, code_point = lead & 0x0F;
  } else if (lead >= 0xF0 && lead < 0xF5) {
    length = 4, smallest = 0x10000, code_point = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[i]);
    if ((next & 0xC0) != 0x80) return 0;
    code_point = (code_point << 6) | (next & 0x3F);
  }
  if (code_point < smallest || code_point > 0x10FFFF || (code_point >= 0xD800 && code_point <= 0xDFFF))
    return 0;
  return length;
}

}  // namespace

std::string EscapeLogText(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  AppendEscapedLogText(result, text);
  return result;
}

namespace {

// Writes `text` escaped at `to`, which has room for kMaxEscapedByte bytes
// for each byte of it; returns the end of what it wrote.
char* WriteEscapedLogText(char* to, std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    // A run of printable ASCII other than "\\" goes as it is, at once.
    std::size_t plain = at;
    while (plain < text.size()) {
      const auto c = static_cast<unsigned char>(text[plain]);
      if (c < 32 || c >= 127 || c == '\\') break;
      ++plain;
    }
    if (plain > at) {
      to = CopyText(to, text.substr(at, plain - at));
      at = plain;
      continue;
    }
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte < 0x80) {
      if (byte < 32 || byte == 127) {
        to = WriteHexByte(to, byte);
      } else if (byte == '\\') {
        *to++ = '\\';
        *to++ = '\\';
      } else {
        *to++ = static_cast<char>(byte);
      }
      ++at;
      continue;
    }
    char32_t code_point = 0;
    const std::size_t length = Utf8Sequence(text.substr(at), code_point);
    if (length == 0) {
      // Not UTF-8 (Latin-1 text, say): only a C1 control byte is marked.
      if (byte <= 0x9F) {
        to = WriteHexByte(to, byte);
      } else {
        *to++ = static_cast<char>(byte);
      }
      ++at;
      continue;
    }
    const bool breaks = code_point <= 0x9F || code_point == 0x2028 || code_point == 0x2029;
    for (std::size_t i = 0; i < length; ++i) {
      if (breaks) {
        to = WriteHexByte(to, static_cast<unsigned char>(text[at + i]));
      } else {
        *to++ = text[at + i];
      }
    }
    at += length;
  }
  return to;
}

}  // namespace

void AppendEscapedLogText(std::string& result, std::string_view text) {
  const std::size_t start = result.size();
  result.resize(start + kMaxEscapedByte * text.size());
  char* const end = WriteEscapedLogText(result.data() + start, text);
  result.resize(static_cast<std::size_t>(end - result.data()));
}

namespace {

// The variables, in the order in which overlapping ones are found.
constexpr std::string_view kVariables[] = {"$date$",    "$time$",    "$method$",    "$size$",
                                           "$uri$",     "$referer$", "$useragent$", "$response$",
                                           "$address$", "$received$"};
constexpr int kVariableCount = static_cast<int>(std::size(kVariables));
static_assert(static_cast<int>(TLogVariable::kReceived) == kVariableCount - 1 &&
              static_cast<int>(TLogVariable::kReferer) == 5);

// Appends the date (`index` 0) or the time (1) of `t`.
void AppendTimeValue(std::string& out, int index, const TDateTimeParts& t) {
  switch (index) {
    case 0:
      // The year as its century and the rest.
      if (t.year >= 0 && t.year <= 9999 &&
          AppendTwoDigitGroups(out, t.day, t.month, t.year / 100, t.year % 100, '-'))
        return;
      AppendPadded(out, t.day, 2);
      out += '-';
      AppendPadded(out, t.month, 2);
      out += '-';
      AppendPadded(out, t.year, 4);
      return;
    case 1:
      if (AppendTwoDigitGroups(out, t.hour, t.minute, t.second, -1, ':')) return;
      AppendPadded(out, t.hour, 2);
      out += ':';
      AppendPadded(out, t.minute, 2);
      out += ':';
      AppendPadded(out, t.second, 2);
      return;
    default:
      return;
  }
}

// The most bytes the value of variable `index` of a request takes.
std::size_t RequestValueBound(int index, const TLogLineFields& fields) {
  switch (index) {
    case 2:
      return kMaxEscapedByte * fields.method.size();
    case 4:
      return kMaxEscapedByte * (fields.uri.size() + fields.query.size()) + 1;
    case 5:
      return kMaxEscapedByte * fields.referer.size();
    case 6:
      return kMaxEscapedByte * fields.user_agent.size();
    case 8:
      return kMaxEscapedByte * fields.address.size();
    default:
      return kMaxNumberText;  // $size$, $response$, $received$
  }
}

// Writes the value of variable `index` (not the date or time) of a request
// at `to`, which has room for RequestValueBound; returns its end.
char* WriteRequestValue(char* to, int index, const TLogLineFields& fields) {
  switch (index) {
    case 2:
      return WriteEscapedLogText(to, fields.method);
    case 3:
      return std::to_chars(to, to + kMaxNumberText, fields.size).ptr;
    case 4:
      to = WriteEscapedLogText(to, fields.uri);
      if (fields.query.empty()) return to;
      *to++ = '?';
      return WriteEscapedLogText(to, fields.query);
    case 5:
      return WriteEscapedLogText(to, fields.referer);
    case 6:
      return WriteEscapedLogText(to, fields.user_agent);
    case 7:
      return std::to_chars(to, to + kMaxNumberText, fields.response).ptr;
    case 9:
      return std::to_chars(to, to + kMaxNumberText, fields.received).ptr;
    default:
      return WriteEscapedLogText(to, fields.address);
  }
}

// A template taken apart into its texts and the variables between them. Each
// variable in turn is looked for in the texts that are left (left to right,
// continuing after each match), so a match never spans a variable found
// before it. Values are put in only afterwards, and never searched.
struct TCompiledTemplate {
  std::string format;
  std::vector<std::string> texts;  // texts[i] comes before slots[i]; one more text than slots
  std::vector<int> slots;
  std::uint32_t variables = 0;   // 1 << slot for each slot
  std::uint64_t generation = 0;  // counts the compilations of the thread
};

void CompileTemplate(std::string_view format, TCompiledTemplate& compiled) {
  ++compiled.generation;
  compiled.format = std::string(format);
  compiled.texts.assign(1, std::string(format));
  compiled.slots.clear();
  for (int variable = 0; variable < kVariableCount; ++variable) {
    const std::string_view name = kVariables[variable];
    std::vector<std::string> texts;
    std::vector<int> slots;
    for (std::size_t piece = 0; piece < compiled.texts.size(); ++piece) {
      std::string_view text = compiled.texts[piece];
      for (std::size_t found; (found = text.find(name)) != std::string_view::npos;) {
        texts.emplace_back(text.substr(0, found));
        slots.push_back(variable);
        text.remove_prefix(found + name.size());
      }
      texts.emplace_back(text);
      if (piece < compiled.slots.size()) slots.push_back(compiled.slots[piece]);
    }
    compiled.texts = std::move(texts);
    compiled.slots = std::move(slots);
  }
  compiled.variables = 0;
  for (const int slot : compiled.slots) compiled.variables |= 1u << slot;
}

// The template of the calling thread's last line, taken apart once: the
// setting changes rarely, and every line of a worker uses it.
const TCompiledTemplate& CompiledTemplate(std::string_view format) {
  thread_local TCompiledTemplate compiled;
  thread_local bool ready = false;
  if (!ready || compiled.format != format) {
    ready = false;
    CompileTemplate(format, compiled);
    ready = true;
  }
  return compiled;
}

}  // namespace

bool LogLineUses(std::string_view log_format, TLogVariable variable) {
  return (LogLineVariables(log_format) >> static_cast<int>(variable) & 1u) != 0;
}

std::uint32_t LogLineVariables(std::string_view log_format) {
  const std::string_view format = log_format.empty() ? std::string_view(kDefaultLogFormat) : log_format;
  return CompiledTemplate(format).variables;
}

std::string ExpandLogLine(std::string_view log_format, TDateTime now, const TLogLineFields& fields) {
  std::string line;
  AppendLogLine(line, log_format, DecodeDateTime(now), fields);
  return line;
}

namespace {

constexpr int kDateSlot = static_cast<int>(TLogVariable::kDate);
constexpr int kTimeSlot = static_cast<int>(TLogVariable::kTime);

bool SameSecond(const TDateTimeParts& a, const TDateTimeParts& b) {
  return a.second == b.second && a.minute == b.minute && a.hour == b.hour && a.day == b.day &&
         a.month == b.month && a.year == b.year;
}

// The calling thread's template with the date and time of one second filled
// in: what is left are runs of fixed text between the values of the request.
// A worker's lines mostly come many to the second, so the digits of the
// date and time are written once a second, not once a line.
struct TTimedTemplate {
  std::uint64_t generation = 0;  // of the compiled template it was made from
  bool uses_time = false;
  TDateTimeParts when;
  std::vector<std::string> runs;  // runs[i] comes before values[i]; one more run than values
  std::vector<int> values;        // the slots of the request's values
  std::size_t runs_length = 0;    // of all runs together
};

const TTimedTemplate& TimedTemplate(const TCompiledTemplate& compiled, const TDateTimeParts& now) {
  thread_local TTimedTemplate timed;
  if (timed.generation == compiled.generation && (!timed.uses_time || SameSecond(timed.when, now)))
    return timed;
  timed.generation = 0;  // until it is whole
  timed.uses_time = (compiled.variables & ((1u << kDateSlot) | (1u << kTimeSlot))) != 0;
  timed.when = now;
  timed.runs.assign(1, compiled.texts[0]);
  timed.values.clear();
  for (std::size_t i = 0; i < compiled.slots.size(); ++i) {
    const int slot = compiled.slots[i];
    if (slot == kDateSlot || slot == kTimeSlot) {
      AppendTimeValue(timed.runs.back(), slot, now);
    } else {
      timed.values.push_back(slot);
      timed.runs.emplace_back();
    }
    timed.runs.back() += compiled.texts[i + 1];
  }
  timed.runs_length = 0;
  for (const std::string& run : timed.runs) timed.runs_length += run.size();
  timed.generation = compiled.generation;
  return timed;
}

}  // namespace

void AppendLogLine(std::string& out, std::string_view log_format, const TDateTimeParts& now,
                   const TLogLineFields& fields) {
  const std::string_view format = log_format.empty() ? std::string_view(kDefaultLogFormat) : log_format;
  const TTimedTemplate& timed = TimedTemplate(CompiledTemplate(format), now);
  // Room for the longest line these values can make, then written in place
  // and cut to what it took: one growth of the string, not one per piece.
  std::size_t bound = timed.runs_length;
  for (const int slot : timed.values) bound += RequestValueBound(slot, fields);
  const std::size_t start = out.size();
  out.resize(start + bound);
  char* to = CopyText(out.data() + start, timed.runs[0]);
  for (std::size_t i = 0; i < timed.values.size(); ++i) {
    to = WriteRequestValue(to, timed.values[i], fields);
    to = CopyText(to, timed.runs[i + 1]);
  }
  out.resize(static_cast<std::size_t>(to - out.data()));
}

}  // namespace vt
