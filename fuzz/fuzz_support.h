#pragma once

// Shared by the fuzz targets: checking a property, and cutting an input into
// the fields a target needs.
//
// A broken property aborts, which libFuzzer records as a crash and saves the
// input that caused it. An exception that escapes a target also aborts (it
// reaches std::terminate): each target catches only the exceptions its entry
// point is documented to raise.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace vt::fuzz {

[[noreturn]] inline void Fail(const char* file, int line, const char* what) {
  std::fprintf(stderr, "%s:%d: property does not hold: %s\n", file, line, what);
  std::abort();
}

#define VT_FUZZ_CHECK(condition) ((condition) ? (void)0 : ::vt::fuzz::Fail(__FILE__, __LINE__, #condition))

inline std::string_view AsText(const std::uint8_t* data, std::size_t size) {
  return std::string_view(reinterpret_cast<const char*>(data), size);
}

// The input's first byte as a small number (0 when there is none), and the
// input without it.
inline std::uint8_t TakeByte(std::string_view& text) {
  if (text.empty()) return 0;
  const auto value = static_cast<std::uint8_t>(text.front());
  text.remove_prefix(1);
  return value;
}

// Bytes per read for a short-reading test reader, from the input's first
// byte: 1 to 16, or 0 (no limit).
inline std::int32_t TakeReadSize(std::string_view& text) {
  const std::uint8_t value = TakeByte(text);
  return (value & 16) ? 0 : (value & 15) + 1;
}

// A size bound from the input's first byte: -1 (none) for 0, else the byte
// times `step`.
inline std::int64_t TakeBound(std::string_view& text, std::int64_t step) {
  const std::uint8_t value = TakeByte(text);
  return value == 0 ? -1 : value * step;
}

// Cuts `text` at every `separator` into exactly `count` fields: missing
// fields are empty, and the last field takes the rest, separators included.
inline std::vector<std::string> SplitFields(std::string_view text, char separator, std::size_t count) {
  std::vector<std::string> fields;
  while (fields.size() + 1 < count) {
    const std::size_t cut = text.find(separator);
    if (cut == std::string_view::npos) break;
    fields.emplace_back(text.substr(0, cut));
    text.remove_prefix(cut + 1);
  }
  fields.emplace_back(text);
  fields.resize(count);
  return fields;
}

// True when a byte of `text` is a control byte (0 to 31, or 127).
inline bool HasControlByte(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 32 || byte == 127) return true;
  }
  return false;
}

}  // namespace vt::fuzz
