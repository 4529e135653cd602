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

struct TWebType {
  const char* ext;
  const char* type;
};

constexpr TWebType kWebTypes[] = {
    {".css", "text/css"},
    {".mjs", "text/javascript"},
    {".json", "application/json"},
    {".map", "application/json"},
    {".xml", "application/xml"},
    {".svg", "image/svg+xml"},
    {".webp", "image/webp"},
    {".avif", "image/avif"},
    {".ico", "image/vnd.microsoft.icon"},
    {".woff", "font/woff"},
    {".woff2", "font/woff2"},
    {".ttf", "font/ttf"},
    {".otf", "font/otf"},
    {".wasm", "application/wasm"},
    {".mp4", "video/mp4"},
    {".m4v", "video/mp4"},
    {".webm", "video/webm"},
    {".ogg", "audio/ogg"},
    {".oga", "audio/ogg"},
    {".opus", "audio/ogg"},
    {".flac", "audio/flac"},
    {".m4a", "audio/mp4"},
    {".csv", "text/csv"},
    {".md", "text/markdown"},
    {".gz", "application/gzip"},
    {".tar", "application/x-tar"},
    {".7z", "application/x-7z-compressed"},
    {".epub", "application/epub+zip"},
};

}  // namespace

std::string WebContentType(std::string_view ext) {
  for (const TWebType& row : kWebTypes) {
    if (TextEqualFolded(ext, row.ext)) return row.type;
  }
  return {};
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
