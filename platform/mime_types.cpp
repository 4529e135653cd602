#include "platform/mime_types.h"

#include <sstream>

#include "util/ascii.h"

namespace vt {
namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = AsciiToLower(c);
  return text;
}

}  // namespace

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
