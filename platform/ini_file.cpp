#include "platform/ini_file.h"

#include <cerrno>
#include <string_view>

#include "platform/atomic_file.h"
#include "platform/registry.h"
#include "util/ascii.h"

namespace vt {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && AsciiEqualFolded(a.data(), b.data(), a.size());
}

bool HasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

bool IsQuote(char c) { return c == '"' || c == '\''; }

bool QuotedPair(std::string_view text) {
  return text.size() >= 2 && IsQuote(text.front()) && text.front() == text.back();
}

// The value as stored: quoted when reading it back would otherwise change it.
std::string EncodeValue(const std::string& value) {
  if (!value.empty() && (IsBlank(value.front()) || IsBlank(value.back()) || QuotedPair(value))) {
    return '"' + value + '"';
  }
  return value;
}

std::string DecodeValue(std::string_view stored) {
  stored = Trim(stored);
  if (QuotedPair(stored)) stored = stored.substr(1, stored.size() - 2);
  return std::string(stored);
}

void CheckNames(const std::string& section, const std::string& ident) {
  const auto badly_trimmed = [](const std::string& name) {
    return name.empty() || IsBlank(name.front()) || IsBlank(name.back()) || HasLineBreak(name);
  };
  if (badly_trimmed(section) || section.find(']') != std::string::npos) {
    throw EIniFile("Invalid section name \"" + section + "\"");
  }
  if (badly_trimmed(ident) || ident.find('=') != std::string::npos || ident.front() == '[' ||
      ident.front() == ';' || ident.front() == '#') {
    throw EIniFile("Invalid key name \"" + ident + "\"");
  }
}

}  // namespace

// The file as a list of lines, each with its own line end, so that the lines
// no write touches go back out exactly as they came in.
class TIniFile::Document {
 public:
  explicit Document(std::string_view text) {
    while (!text.empty()) {
      const size_t newline = text.find('\n');
      Line line;
      if (newline == std::string_view::npos) {
        line.text = text;
        text = {};
      } else {
        line.text = text.substr(0, newline);
        line.eol = "\n";
        text.remove_prefix(newline + 1);
        if (!line.text.empty() && line.text.back() == '\r') {
          line.text.pop_back();
          line.eol = "\r\n";
        }
      }
      lines_.push_back(std::move(line));
    }
    for (const Line& line : lines_) {
      if (!line.eol.empty()) {
        eol_ = line.eol;  // new lines follow the file's own convention
        break;
      }
    }
  }

  std::string Text() const {
    std::string text;
    for (const Line& line : lines_) text += line.text + line.eol;
    return text;
  }

  bool HasSection(std::string_view section) const { return FindSection(section) != kNone; }

  // Finds the key and gives its raw value (the text after "=", untrimmed).
  bool Find(std::string_view section, std::string_view ident, std::string_view& raw) const {
    const size_t index = FindKey(section, ident);
    if (index == kNone) return false;
    Classify(index, nullptr, nullptr, &raw);
    return true;
  }

  void Set(const std::string& section, const std::string& ident, const std::string& stored) {
    const size_t header = FindSection(section);
    if (header == kNone) {
      TerminateLastLine();
      if (!lines_.empty() && !Trim(lines_.back().text).empty()) lines_.push_back({"", eol_});
      lines_.push_back({"[" + section + "]", eol_});
      lines_.push_back({ident + "=" + stored, eol_});
      return;
    }
    const size_t end = SectionEnd(header);
    size_t insert_at = header + 1;
    for (size_t i = header + 1; i < end; ++i) {
      std::string_view key;
      if (Classify(i, nullptr, &key, nullptr) != Kind::kKey) continue;
      if (SameName(key, ident)) {
        lines_[i].text = std::string(key) + "=" + stored;  // keeps the file's spelling of the name
        return;
      }
      insert_at = i + 1;
    }
    if (insert_at == lines_.size()) TerminateLastLine();
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insert_at), Line{ident + "=" + stored, eol_});
  }

  bool Remove(std::string_view section, std::string_view ident) {
    const size_t index = FindKey(section, ident);
    if (index == kNone) return false;
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(index));
    return true;
  }

 private:
  struct Line {
    std::string text;  // without its line end
    std::string eol;   // "\n", "\r\n", or empty on a last line without one
  };
  enum class Kind { kOther, kSection, kKey };
  static constexpr size_t kNone = static_cast<size_t>(-1);

  // What line `index` is, with the section name, or the key name and raw value.
  Kind Classify(size_t index, std::string_view* section, std::string_view* key, std::string_view* raw) const {
    std::string_view text = lines_[index].text;
    if (index == 0 && text.substr(0, kUtf8Bom.size()) == kUtf8Bom) text.remove_prefix(kUtf8Bom.size());
    text = Trim(text);
    if (text.empty() || text.front() == ';' || text.front() == '#') return Kind::kOther;
    if (text.front() == '[') {
      if (section) *section = Trim(text.substr(1, text.find(']') - 1));
      return Kind::kSection;
    }
    const size_t equals = text.find('=');
    if (equals == std::string_view::npos) return Kind::kOther;
    if (key) *key = Trim(text.substr(0, equals));
    if (raw) *raw = text.substr(equals + 1);
    return Kind::kKey;
  }

  size_t FindSection(std::string_view name) const {
    for (size_t i = 0; i < lines_.size(); ++i) {
      std::string_view found;
      if (Classify(i, &found, nullptr, nullptr) == Kind::kSection && SameName(found, name)) return i;
    }
    return kNone;
  }

  size_t SectionEnd(size_t header) const {
    size_t i = header + 1;
    while (i < lines_.size() && Classify(i, nullptr, nullptr, nullptr) != Kind::kSection) ++i;
    return i;
  }

  size_t FindKey(std::string_view section, std::string_view ident) const {
    const size_t header = FindSection(section);
    if (header == kNone) return kNone;
    const size_t end = SectionEnd(header);
    for (size_t i = header + 1; i < end; ++i) {
      std::string_view key;
      if (Classify(i, nullptr, &key, nullptr) == Kind::kKey && SameName(key, ident)) return i;
    }
    return kNone;
  }

  void TerminateLastLine() {
    if (!lines_.empty() && lines_.back().eol.empty()) lines_.back().eol = eol_;
  }

  std::vector<Line> lines_;
  std::string eol_ = "\n";
};

TIniFile::TIniFile(const std::string& file_name)
    : file_name_(file_name.find('/') == std::string::npos ? GetConfigDirectory() + file_name : file_name) {
  std::string content;
  const int error = ReadFileContent(file_name_, content);
  read_error_ = (error == ENOENT || error == ENOTDIR) ? 0 : error;
  document_ = std::make_unique<Document>(content);
}

TIniFile::~TIniFile() {
  if (!Modified()) return;
  try {
    UpdateFile();
  } catch (...) {
    // Nothing can be reported from here; see the class comment.
  }
}

std::string TIniFile::ReadString(const std::string& section, const std::string& ident,
                                 const std::string& def) const {
  std::string_view raw;
  return document_->Find(section, ident, raw) ? DecodeValue(raw) : def;
}

int32_t TIniFile::ReadInteger(const std::string& section, const std::string& ident, int32_t def) const {
  std::string_view raw;
  if (!document_->Find(section, ident, raw)) return def;
  int32_t value;
  return ParseInteger(DecodeValue(raw), value) ? value : def;
}

bool TIniFile::ReadBool(const std::string& section, const std::string& ident, bool def) const {
  return ReadInteger(section, ident, def ? 1 : 0) != 0;
}

bool TIniFile::SectionExists(const std::string& section) const { return document_->HasSection(section); }

bool TIniFile::ValueExists(const std::string& section, const std::string& ident) const {
  std::string_view raw;
  return document_->Find(section, ident, raw);
}

void TIniFile::WriteString(const std::string& section, const std::string& ident, const std::string& value) {
  CheckNames(section, ident);
  if (HasLineBreak(value)) throw EIniFile("Invalid value for key \"" + ident + "\": it holds a line break");
  const std::string stored = EncodeValue(value);
  document_->Set(section, ident, stored);
  pending_.push_back({false, section, ident, stored});
}

void TIniFile::WriteInteger(const std::string& section, const std::string& ident, int32_t value) {
  WriteString(section, ident, std::to_string(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& ident, bool value) {
  WriteString(section, ident, value ? "1" : "0");
}

bool TIniFile::DeleteKey(const std::string& section, const std::string& ident) {
  if (!document_->Remove(section, ident)) return false;
  pending_.push_back({true, section, ident, {}});
  return true;
}

void TIniFile::UpdateFile() {
  if (pending_.empty()) return;
  std::string content;
  int error = ReadFileContent(file_name_, content);
  if (error == ENOENT || error == ENOTDIR) error = 0;
  if (error != 0) {
    read_error_ = error;
    throw EIniFile("Cannot read \"" + file_name_ + "\" (" + SystemErrorText(error) +
                   "); it is left as it is");
  }
  Document fresh(content);
  for (const Change& change : pending_) {
    if (change.remove) {
      fresh.Remove(change.section, change.ident);
    } else {
      fresh.Set(change.section, change.ident, change.value);
    }
  }
  const std::string text = fresh.Text();
  if (text != content || content.empty()) {
    try {
      WriteFileAtomically(file_name_, text);
    } catch (const EOSError& e) {
      throw EIniFile("Cannot save \"" + file_name_ + "\": " + e.Message());
    }
  }
  *document_ = std::move(fresh);
  pending_.clear();
  read_error_ = 0;
}

bool TIniFile::ParseInteger(const std::string& text, int32_t& value) {
  const auto digit = [](char c, int base) -> int {
    int d = -1;
    if (c >= '0' && c <= '9') d = c - '0';
    if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    return d < base ? d : -1;
  };
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    if (text.size() > 10) return false;
    uint32_t result = 0;
    for (size_t i = 2; i < text.size(); ++i) {
      const int d = digit(text[i], 16);
      if (d < 0) return false;
      result = result * 16 + static_cast<uint32_t>(d);
    }
    value = static_cast<int32_t>(result);
    return true;
  }
  size_t i = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) ++i;
  if (i == text.size()) return false;
  int64_t result = 0;
  for (; i < text.size(); ++i) {
    const int d = digit(text[i], 10);
    if (d < 0) return false;
    result = result * 10 + d;
    if (result > int64_t{INT32_MAX} + 1) return false;
  }
  if (negative) result = -result;
  if (result > INT32_MAX || result < INT32_MIN) return false;
  value = static_cast<int32_t>(result);
  return true;
}

}  // namespace vt
