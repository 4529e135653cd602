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
#include <unordered_map>

namespace vt {

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
