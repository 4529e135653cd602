#include "app/log_line.h"

#include <iterator>
#include <vector>

#include "util/text.h"

namespace vt {
namespace {

std::string TwoDigits(int value) { return PadTextLeft(std::to_string(value), '0', 2, false); }

void AppendHexByte(std::string& out, unsigned char byte) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out += "\\x";
  out += kHex[byte >> 4];
  out += kHex[byte & 15];
}

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
  if (code_point < smallest || code_point > 0x10FFFF || (code_point >= 0xD800 && code_point <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

std::string EscapeLogText(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte < 0x80) {
      if (byte < 32 || byte == 127) {
        AppendHexByte(result, byte);
      } else if (byte == '\\') {
        result += "\\\\";
      } else {
        result += static_cast<char>(byte);
      }
      ++at;
      continue;
    }
    char32_t code_point = 0;
    const std::size_t length = Utf8Sequence(text.substr(at), code_point);
    if (length == 0) {
      // Not UTF-8 (Latin-1 text, say): only a C1 control byte is marked.
      if (byte <= 0x9F) {
        AppendHexByte(result, byte);
      } else {
        result += static_cast<char>(byte);
      }
      ++at;
      continue;
    }
    const bool breaks = code_point <= 0x9F || code_point == 0x2028 || code_point == 0x2029;
    for (std::size_t i = 0; i < length; ++i) {
      if (breaks) {
        AppendHexByte(result, static_cast<unsigned char>(text[at + i]));
      } else {
        result += text[at + i];
      }
    }
    at += length;
  }
  return result;
}

namespace {

// The variables, in the order in which overlapping ones are found.
constexpr std::string_view kVariables[] = {"$date$",    "$time$",      "$method$",   "$size$",   "$uri$",
                                           "$referer$", "$useragent$", "$response$", "$address$"};
constexpr int kVariableCount = static_cast<int>(std::size(kVariables));

// The value of variable `index` for one request.
std::string VariableValue(int index, const TDateTimeParts& t, const TLogLineFields& fields) {
  switch (index) {
    case 0:
      return TwoDigits(t.day) + "-" + TwoDigits(t.month) + "-" +
             PadTextLeft(std::to_string(t.year), '0', 4, false);
    case 1:
      return TwoDigits(t.hour) + ":" + TwoDigits(t.minute) + ":" + TwoDigits(t.second);
    case 2:
      return EscapeLogText(fields.method);
    case 3:
      return std::to_string(fields.size);
    case 4:
      return EscapeLogText(fields.uri);
    case 5:
      return EscapeLogText(fields.referer);
    case 6:
      return EscapeLogText(fields.user_agent);
    case 7:
      return std::to_string(fields.response);
    default:
      return fields.address ? fields.address() : std::string();
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
};

void CompileTemplate(std::string_view format, TCompiledTemplate& compiled) {
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

std::string ExpandLogLine(std::string_view log_format, TDateTime now, const TLogLineFields& fields) {
  const TDateTimeParts t = DecodeDateTime(now);
  const std::string_view format = log_format.empty() ? std::string_view(kDefaultLogFormat) : log_format;
  const TCompiledTemplate& compiled = CompiledTemplate(format);

  std::string values[kVariableCount];
  bool computed[kVariableCount] = {};
  std::size_t size = 0;
  for (const std::string& text : compiled.texts) size += text.size();
  for (const int slot : compiled.slots) {
    if (!computed[slot]) {
      computed[slot] = true;
      values[slot] = VariableValue(slot, t, fields);
    }
    size += values[slot].size();
  }
  std::string line;
  line.reserve(size);
  line += compiled.texts[0];
  for (std::size_t i = 0; i < compiled.slots.size(); ++i) {
    line += values[compiled.slots[i]];
    line += compiled.texts[i + 1];
  }
  return line;
}

}  // namespace vt
