#include "platform/mime_types.h"

#include <sstream>

#include "util/ascii.h"
#include "util/text.h"

namespace vt {
namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = AsciiToLower(c);
  return text;
}

// In the format of the system's database, so that it is read as that is.
constexpr const char* kWebTypes =
    "text/css css\n"
    "text/javascript mjs\n"
    "application/json json map\n"
    "application/xml xml\n"
    "image/svg+xml svg\n"
    "image/webp webp\n"
    "image/avif avif\n"
    "image/vnd.microsoft.icon ico\n"
    "font/woff woff\n"
    "font/woff2 woff2\n"
    "font/ttf ttf\n"
    "font/otf otf\n"
    "application/wasm wasm\n"
    "video/mp4 mp4 m4v\n"
    "video/webm webm\n"
    "audio/ogg ogg oga opus\n"
    "audio/flac flac\n"
    "audio/mp4 m4a\n"
    "text/csv csv\n"
    "text/markdown md\n"
    "application/gzip gz\n"
    "application/x-tar tar\n"
    "application/x-7z-compressed 7z\n"
    "application/epub+zip epub\n";

}  // namespace

std::string WebContentType(std::string_view ext) {
  static const TMimeTypeTable table = [] {
    TMimeTypeTable types;
    types.Parse(kWebTypes);
    return types;
  }();
  return table.Find(std::string(ext));
}

std::string WithTextCharset(const std::string& type) {
  for (const char* text_type : {"text/plain", "text/csv", "text/markdown"}) {
    if (TextEqualFolded(type, text_type)) return type + "; charset=utf-8";
  }
  return type;
}

void TMimeTypeTable::Parse(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t comment = line.find('#');
    if (comment != std::string::npos) line.erase(comment);
    std::istringstream words(line);
    std::string type, ext;
    if (!(words >> type) || type.find('/') == std::string::npos) continue;
    while (words >> ext) types_.emplace(Lower(ext), type);
  }
}

std::string TMimeTypeTable::Find(const std::string& ext) const {
  const std::string key = Lower(!ext.empty() && ext[0] == '.' ? ext.substr(1) : ext);
  if (key.empty()) return {};
  const auto found = types_.find(key);
  return found == types_.end() ? std::string() : found->second;
}

}  // namespace vt
