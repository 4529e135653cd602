// A folder listing's names: whatever bytes a file name holds,
// - its link is percent-encoded ASCII that decodes back to those bytes;
// - its shown form is valid UTF-8 without control bytes or markup
//   characters, and "&" only begins a character reference;
// - its JSON string is valid UTF-8 with every quote, backslash and control
//   byte escaped;
// - its row and its JSON row hold no byte of it unescaped that could end
//   an attribute or a string.
//
// Input: a byte that picks the entry's kind and time, then the name; a 0xFF
// byte, when there is one, separates the folder's path from the name.

#include <string>
#include <string_view>

#include "app/folder_listing.h"
#include "fuzz/fuzz_support.h"

using namespace vt;

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsValidUTF8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = lead < 0x80                    ? 1
                         : lead >= 0xC2 && lead <= 0xDF ? 2
                         : lead >= 0xE0 && lead <= 0xEF ? 3
                         : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                        : 0;
    if (length == 0 || i + length > text.size()) return false;
    std::uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = code << 6 | (next & 0x3F);
    }
    const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

bool HasControlByte(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input = fuzz::AsText(data, size);
  const std::uint8_t choice = fuzz::TakeByte(input);
  std::string_view folder = "/";
  const std::size_t split = input.find('\xff');
  std::string path;
  if (split != std::string_view::npos) {
    // A folder's path as the mapping gives it: "/" first and last.
    path = "/";
    path += input.substr(0, split);
    path += '/';
    folder = path;
    input.remove_prefix(split + 1);
  }
  const std::string_view name = input;

  std::string link;
  AppendEncodedPath(link, name);
  std::string decoded;
  for (std::size_t i = 0; i < link.size(); ++i) {
    const char c = link[i];
    VT_FUZZ_CHECK((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                  c == '.' || c == '_' || c == '~' || c == '/' || c == '%');
    if (c != '%') {
      decoded += c;
      continue;
    }
    VT_FUZZ_CHECK(i + 2 < link.size() && HexDigit(link[i + 1]) >= 0 && HexDigit(link[i + 2]) >= 0);
    decoded += static_cast<char>(HexDigit(link[i + 1]) * 16 + HexDigit(link[i + 2]));
    i += 2;
  }
  VT_FUZZ_CHECK(decoded == name);

  std::string shown;
  AppendDisplayName(shown, name);
  VT_FUZZ_CHECK(IsValidUTF8(shown));
  VT_FUZZ_CHECK(!HasControlByte(shown));
  VT_FUZZ_CHECK(shown.find_first_of("<>\"'") == std::string::npos);
  for (std::size_t at = 0; (at = shown.find('&', at)) != std::string::npos; ++at) {
    const std::string_view rest = std::string_view(shown).substr(at);
    VT_FUZZ_CHECK(rest.starts_with("&amp;") || rest.starts_with("&lt;") || rest.starts_with("&gt;") ||
                  rest.starts_with("&quot;") || rest.starts_with("&#39;"));
  }
  // Valid UTF-8 without controls or markup is shown as it is.
  if (IsValidUTF8(name) && !HasControlByte(name) && name.find_first_of("<>\"'&") == std::string_view::npos)
    VT_FUZZ_CHECK(shown == name);

  std::string json;
  AppendJSONString(json, name);
  VT_FUZZ_CHECK(json.size() >= 2 && json.front() == '"' && json.back() == '"');
  VT_FUZZ_CHECK(IsValidUTF8(json));
  VT_FUZZ_CHECK(!HasControlByte(json));
  for (std::size_t i = 1; i + 1 < json.size(); ++i) {
    if (json[i] == '\\') {
      VT_FUZZ_CHECK(i + 2 < json.size() &&
                    std::string_view("\"\\u").find(json[i + 1]) != std::string_view::npos);
      ++i;
    } else {
      VT_FUZZ_CHECK(json[i] != '"');
    }
  }

  TListingEntry entry;
  entry.name = name;
  entry.folder = (choice & 1) != 0;
  entry.size = static_cast<std::int64_t>(choice) * 7919 * static_cast<std::int64_t>(size);
  entry.modified_s = static_cast<std::int64_t>(choice) * 86400 * 200;
  const TListingPage page{folder, {}, {}};
  std::string row;
  AppendListingRow(row, page, entry);
  // Twelve quotes: six attributes, none of them cut short by the name.
  VT_FUZZ_CHECK(std::count(row.begin(), row.end(), '"') == 12);
  VT_FUZZ_CHECK(IsValidUTF8(row));
  std::string json_row;
  AppendListingJSONRow(json_row, page, entry, true);
  VT_FUZZ_CHECK(IsValidUTF8(json_row));
  VT_FUZZ_CHECK(!HasControlByte(std::string_view(json_row).substr(1)));
  return 0;
}
