#pragma once

// Header fields and the header block of an HTTP message.
//
// A THeader is an ordered list of fields, each an AHeaderField: a plain
// name/value field (THeaderField), a Date field that keeps a time stamp and
// formats it when asked (TDateField), or a line that could not be split into
// name and value (TInvalidField), kept verbatim so that it is written back as
// it came.
//
// The block parses header text two ways: a whole block text, where lines that
// start with a blank or control byte continue the field before them
// (SetAsString), and line by line from a reader, where no lines are joined
// (ReadFromReader in line mode, as the server reads requests). It answers
// look-ups by name, comparing names without regard to ASCII case after
// trimming the bytes 0 to 32 from the name asked for, and writes itself back
// with CR LF line ends and the terminating empty line.
//
// Fields keep their insertion order in every operation; SetField and
// ReplaceField put the new field where the old one stood. Look-ups are linear
// scans (header blocks are small) that compare a small key of each name
// (its length and first and last letters) before the name itself.
//
// Ownership: the block owns its fields (std::unique_ptr) and frees them when
// they are removed or replaced, and when the block is destroyed (last field
// first). Pointers returned by Fields and GetField stay valid until that
// field is removed or replaced, or the block cleared. A block that is
// cleared keeps a few of its plain fields, memory and all, for the fields
// added next: a block kept per connection then fills without allocating.
//
// Threading: a block and its fields are used by one thread at a time.
// Nothing here raises errors of its own: reader errors from ReadFromReader
// and a calendar error from a Date field's SetValue propagate.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "streams/reader.h"
#include "util/date_time.h"

namespace vt {

class AHeaderField {
 public:
  AHeaderField() = default;
  AHeaderField(const AHeaderField&) = delete;
  AHeaderField& operator=(const AHeaderField&) = delete;
  virtual ~AHeaderField() = default;

  virtual std::string GetName() const = 0;
  virtual void SetName(const std::string& name) = 0;
  virtual std::string GetValue() const = 0;
  virtual void SetValue(const std::string& value) = 0;
  // The decimal value of GetValue (blanks around it allowed); -1 when it is
  // not a valid number.
  virtual int64_t GetAsInteger() const;
  virtual void SetAsInteger(int64_t value);
  // The value as a floating-point number; -1.0 when it is not a number.
  virtual double GetAsFloat() const;
  virtual void SetAsFloat(double value);
  // The header line without its line end: trimmed name, ": ", trimmed value.
  virtual std::string GetAsString() const;
  // Splits the line at its first ":" into name and value, both trimmed;
  // without a colon the whole line is the name and the value is empty.
  virtual void SetAsString(const std::string& line);
  // A new field of the same class with the same content.
  virtual std::unique_ptr<AHeaderField> Duplicate() const = 0;
  // A hook run by THeader::PrepareFields before a block is sent; does nothing
  // here.
  virtual void PrepareField();

  // Whether GetName equals `trimmedName` without regard to ASCII case (the
  // look-ups of THeader). The fields here answer without copying their name.
  virtual bool HasName(std::string_view trimmedName) const;
  // Appends GetAsString to `out`: how a block writes itself. The fields here
  // write without making the line first.
  virtual void AppendLine(std::string& out) const;

  // A key that two names equal without regard to ASCII case share: look-ups
  // ask HasName only of fields whose key matches the name asked for.
  static constexpr std::uint32_t KeyOfName(std::string_view trimmedName) noexcept {
    if (trimmedName.empty()) return 0;
    // Folded the way the names compare: ASCII letters only.
    const auto fold = [](char c) {
      const auto byte = static_cast<unsigned char>(c);
      return static_cast<std::uint32_t>(byte >= 'A' && byte <= 'Z' ? byte + ('a' - 'A') : byte);
    };
    const auto length = static_cast<std::uint32_t>(trimmedName.size() < 0xFFFF ? trimmedName.size() : 0xFFFF);
    return length | fold(trimmedName.front()) << 16 | fold(trimmedName.back()) << 24;
  }
  // The key of this field's name; kAnyNameKey when the field does not keep
  // it (then every look-up asks HasName).
  std::uint32_t NameKey() const noexcept { return name_key_; }
  static constexpr std::uint32_t kAnyNameKey = 0xFFFFFFFFu;
  // HasName(trimmedName), asked only when the keys allow a match; `key` is
  // KeyOfName(trimmedName).
  bool MatchesName(std::string_view trimmedName, std::uint32_t key) const {
    return (name_key_ == key || name_key_ == kAnyNameKey) && HasName(trimmedName);
  }

 protected:
  // Fields that keep their key set it whenever their name changes.
  void SetNameKey(std::uint32_t key) noexcept { name_key_ = key; }

 private:
  std::uint32_t name_key_ = kAnyNameKey;
};

class THeaderField : public AHeaderField {
 public:
  THeaderField(std::string name, std::string value);

  // Fields are made and freed by the dozen for every request: each thread
  // keeps a few freed ones for the next (not in sanitizer builds, which
  // should see every use after free).
  static void* operator new(std::size_t size);
  static void operator delete(void* field, std::size_t size) noexcept;

  std::string GetName() const override { return name_; }
  void SetName(const std::string& name) override;
  std::string GetValue() const override { return value_; }
  void SetValue(const std::string& value) override { value_ = value; }
  // As GetValue's, without the copy.
  int64_t GetAsInteger() const override;
  std::unique_ptr<AHeaderField> Duplicate() const override;
  bool HasName(std::string_view trimmedName) const override;
  void AppendLine(std::string& out) const override;

 private:
  friend class THeader;
  // Name and value copied into the memory the field already has.
  void Assign(std::string_view name, std::string_view value);

  std::string name_;
  std::string value_;
};

// A line without a colon. It has no name and no value; it is written back as
// the raw line.
class TInvalidField : public AHeaderField {
 public:
  explicit TInvalidField(std::string line);

  std::string GetName() const override { return std::string(); }
  void SetName(const std::string&) override {}
  std::string GetValue() const override { return std::string(); }
  void SetValue(const std::string&) override {}
  std::string GetAsString() const override { return line_; }
  void SetAsString(const std::string& line) override { line_ = line; }
  std::unique_ptr<AHeaderField> Duplicate() const override;
  bool HasName(std::string_view trimmedName) const override { return trimmedName.empty(); }
  void AppendLine(std::string& out) const override { out += line_; }

 private:
  std::string line_;
};

// The field "Date" holding a time stamp in GMT.
class TDateField : public AHeaderField {
 public:
  // The current time.
  TDateField();
  explicit TDateField(TDateTime gmt);

  // Every response has one: they share the freed fields THeaderField keeps.
  static void* operator new(std::size_t size);
  static void operator delete(void* field, std::size_t size) noexcept;

  std::string GetName() const override { return "Date"; }
  void SetName(const std::string&) override {}
  // The RFC 1123 text with the day name.
  std::string GetValue() const override;
  // Parses an HTTP date; 0 when the text is not recognised. A date that names
  // no calendar day raises EConvertError.
  void SetValue(const std::string& value) override;
  std::unique_ptr<AHeaderField> Duplicate() const override;
  bool HasName(std::string_view trimmedName) const override;
  void AppendLine(std::string& out) const override;
  // The line such a field holding `gmt` writes, CR LF included, without
  // making the field.
  static void AppendLineOf(std::string& out, TDateTime gmt);
  // The second whose text the field writes for `gmt`: values of one second
  // write the same text. False for a value that is no usual date (not
  // finite, or far from this era), whose text is made each time.
  static bool SecondOf(TDateTime gmt, std::int64_t& second);

  TDateTime DateTime() const { return date_time_; }
  void SetDateTime(TDateTime gmt) { date_time_ = gmt; }

 private:
  TDateTime date_time_;
};

class THeader {
 public:
  THeader() = default;
  // Reads a block at once: ReadFromReader(reader, lineMode, maxSize).
  THeader(AReaderEx& reader, bool lineMode, int32_t maxSize);
  THeader(const THeader&) = delete;
  THeader& operator=(const THeader&) = delete;
  virtual ~THeader();

  // Every field's line with CR LF, then one more CR LF (CR LF alone for an
  // empty block).
  virtual std::string GetAsString() const;
  // The same text appended to `out` (a response header is made in a buffer
  // that its connection keeps).
  void AppendTo(std::string& out) const;
  // The fields' lines alone, without the empty line that ends a block.
  void AppendFieldsTo(std::string& out) const;
  // Parses a block text and appends its fields to those already present.
  // Lines are split at CR LF; a line that starts with a byte 0 to 32 and
  // holds no colon continues the pending field (appended as it is, leading
  // blanks included); a line with a colon starts a field; any other non-empty
  // line becomes an invalid field.
  virtual void SetAsString(std::string_view text);
  // A new block holding duplicates of every field, in order.
  virtual std::unique_ptr<THeader> Duplicate() const;
  // Reads a header block that starts at the reader's position. A block that
  // is just CR LF is consumed and adds nothing. In line mode every line up to
  // the first empty one (or the end of the data) goes to AddFieldLine, lines
  // cut at maxSize bytes. Otherwise the block up to CR LF CR LF (searched at
  // most maxSize bytes ahead) is parsed by SetAsString and the separator
  // consumed; without a separator nothing is read. maxSize -1: no limit.
  virtual void ReadFromReader(AReaderEx& reader, bool lineMode, int32_t maxSize);
  // PrepareField of every field, in order.
  virtual void PrepareFields();
  // GetName of every field, in order (empty for invalid fields).
  virtual std::vector<std::string> GetFieldNames() const;
  // Deletes every field, last first.
  virtual void Clear();
  // Appends a THeaderField; names may repeat. Returns its index.
  virtual int AddField(std::string_view name, std::string_view value);
  // A line with a colon is split there (both sides trimmed) and added with
  // AddField; a line without one is appended as an invalid field.
  virtual void AddFieldLine(const std::string& line);

  int Count() const { return static_cast<int>(fields_.size()); }
  // The field at a 0-based index; the index must be valid.
  AHeaderField* Fields(int index) const { return fields_.at(static_cast<size_t>(index)).get(); }
  // Appends a field object; returns its index.
  int AppendField(std::unique_ptr<AHeaderField> field);

  // The index of the first field named `name`, else -1. An empty name
  // matches the first field without a name (an invalid field).
  // Inline, so that a name written in the program is trimmed and keyed
  // where it is written, once, by the compiler.
  int IndexOf(std::string_view name) const {
    const auto blank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
    while (!name.empty() && blank(name.front())) name.remove_prefix(1);
    while (!name.empty() && blank(name.back())) name.remove_suffix(1);
    return IndexOfTrimmed(name, AHeaderField::KeyOfName(name));
  }
  bool HasField(std::string_view name) const { return IndexOf(name) >= 0; }
  // The first field named `name`, or nullptr.
  AHeaderField* GetField(std::string_view name) const {
    const int index = IndexOf(name);
    return index >= 0 ? Fields(index) : nullptr;
  }
  // GetValue of the first field named `name`, else empty.
  std::string GetFieldValue(std::string_view name) const {
    const AHeaderField* field = GetField(name);
    return field ? field->GetValue() : std::string();
  }
  // SetValue on the first field named `name` (a Date field parses the text),
  // or AddField when there is none.
  void SetFieldValue(std::string_view name, const std::string& value);
  // The same for a value that need not be a string.
  void SetFieldValue(std::string_view name, std::string_view value);
  void SetFieldValue(std::string_view name, const char* value) {
    SetFieldValue(name, std::string_view(value));
  }
  // With a field: it is renamed to `name` when its own name differs, then
  // replaces the first field of that name in place, or is appended. Without
  // one (nullptr): the first field of that name is deleted.
  void SetField(std::string_view name, std::unique_ptr<AHeaderField> field);
  // Deletes every field named `name`; true when there was at least one.
  bool DeleteFields(std::string_view name);
  // Frees the field at `index` and stores `field` there.
  void ReplaceField(int index, std::unique_ptr<AHeaderField> field);
  // Frees the field at `index` and closes the gap.
  void DeleteField(int index);

 private:
  // IndexOf for a trimmed name and its key.
  int IndexOfTrimmed(std::string_view trimmed, std::uint32_t key) const;
  // A field for AddField: a kept one when there is one.
  std::unique_ptr<THeaderField> NewField(std::string_view name, std::string_view value);

  std::vector<std::unique_ptr<AHeaderField>> fields_;
  // Plain fields of the block before Clear, kept for NewField.
  std::vector<std::unique_ptr<THeaderField>> spare_;
};

}  // namespace vt
