#pragma once

// A table from file extensions to content types in the format of the
// system's MIME database, /etc/mime.types: one type a line followed by its
// extensions, "#" comment lines.
//
// Extensions are matched without regard to ASCII case (".HTML" finds what
// ".html" finds), as file types registered on the original platform were;
// when two lines claim an extension, the first one wins. Lookups take the
// extension with or without its leading dot.

#include <string>
#include <string_view>
#include <unordered_map>

namespace vt {

// The content types of today's web that a browser insists on (a stylesheet,
// a module, an SVG picture, a font, WebAssembly for compileStreaming, audio
// and video for their elements), known without the system's database, which
// a desktop may lack or hold empty. Matched as TMimeTypeTable::Find does
// (".svg", "SVG"); empty for any other extension.
std::string WebContentType(std::string_view ext);

// `type` as it goes out: plain text, CSV and Markdown with
// "; charset=utf-8", which a browser would otherwise guess (and get wrong
// for UTF-8); every other type, and one that names its parameters already,
// unchanged. HTML is left to its own <meta charset>.
std::string WithTextCharset(const std::string& type);

class TMimeTypeTable {
 public:
  // Adds the entries of `text` (the content of a mime.types file).
  void Parse(const std::string& text);

  // The content type of the extension, or empty.
  std::string Find(const std::string& ext) const;

 private:
  std::unordered_map<std::string, std::string> types_;  // lower-case extension without dot -> type
};

}  // namespace vt
