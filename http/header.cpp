#include "http/header.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <typeinfo>
#include <vector>

#include "http/http_text.h"
#include "util/ascii.h"
#include "util/text.h"
#include "util/thread_block_pool.h"

namespace vt {

using detail::Trimmed;

namespace {

const std::string kCRLF = "\r\n";

// A file answer has 9 fields, a browser's request about as many.
constexpr std::size_t kUsualFieldCount = 12;
// What a cleared block keeps for its next fields: as many as a usual header
// has, and only fields whose memory is that of a usual line, so that a peer's
// one long field is not kept for the life of a connection.
constexpr std::size_t kSpareFields = 16;
constexpr std::size_t kSpareFieldBytes = 256;

// The current second's text of a Date field in `date_time`, made once per
// second and thread: every response carries it. The text depends on the
// value only through its second (rounded to the millisecond first, as
// decoding does).
const std::string& DateText(TDateTime date_time, std::string& scratch) {
  std::int64_t second = 0;
  if (!TDateField::SecondOf(date_time, second)) {
    scratch = DateTimeToHTTPText(date_time, true);
    return scratch;
  }
  thread_local std::int64_t cached_second = INT64_MIN;
  thread_local std::string cached_text;
  if (second != cached_second) {
    cached_text = DateTimeToHTTPText(date_time, true);
    cached_second = second;
  }
  return cached_text;
}

// Whether the field is a THeaderField itself (no other class). Told by the
// address of its class's type information: a second copy of it (a library
// of its own) only makes a plain field take the general way.
bool IsPlainField(const AHeaderField& field) { return &typeid(field) == &typeid(THeaderField); }

}  // namespace

// ---------------------------------------------------------------------------
// AHeaderField

int64_t AHeaderField::GetAsInteger() const { return TextToInt64Or(Trimmed(GetValue()), -1); }

void AHeaderField::SetAsInteger(int64_t value) { SetValue(std::to_string(value)); }

double AHeaderField::GetAsFloat() const { return TextToFloatOr(GetValue(), -1.0); }

void AHeaderField::SetAsFloat(double value) {
  // The shortest general form: 1.5 stays "1.5", 2.0 becomes "2".
  char text[32];
  std::snprintf(text, sizeof text, "%.15g", value);
  SetValue(text);
}

std::string AHeaderField::GetAsString() const { return Trimmed(GetName()) + ": " + Trimmed(GetValue()); }

void AHeaderField::SetAsString(const std::string& line) {
  const TTextCut cut = CutAtByte(line, ':', true);
  if (!cut.found) {
    SetName(line);
    SetValue(std::string());
    return;
  }
  SetName(Trimmed(cut.left));
  SetValue(Trimmed(cut.right));
}

void AHeaderField::PrepareField() {}

bool AHeaderField::HasName(std::string_view trimmedName) const {
  return TextEqualFolded(GetName(), trimmedName);
}

void AHeaderField::AppendLine(std::string& out) const { out += GetAsString(); }

// ---------------------------------------------------------------------------
// Concrete fields

THeaderField::THeaderField(std::string name, std::string value)
    : name_(std::move(name)), value_(std::move(value)) {
  SetNameKey(KeyOfName(detail::TrimmedView(name_)));
}

void THeaderField::SetName(const std::string& name) {
  name_ = name;
  SetNameKey(KeyOfName(detail::TrimmedView(name_)));
}

void THeaderField::Assign(std::string_view name, std::string_view value) {
  // Cleared and appended: the texts come from elsewhere, and this way
  // costs less than an assignment that allows for overlap.
  name_.clear();
  name_.append(name);
  value_.clear();
  value_.append(value);
  SetNameKey(KeyOfName(detail::TrimmedView(name_)));
}

// The fields a thread freed, kept for the next request's header. Date
// fields take blocks of the same size (see below).
using TFieldBlocks = TThreadBlockPool<sizeof(THeaderField), 32>;

void* THeaderField::operator new(std::size_t size) {
  return size == sizeof(THeaderField) ? TFieldBlocks::Allocate() : ::operator new(size);
}

void THeaderField::operator delete(void* field, std::size_t size) noexcept {
  if (size == sizeof(THeaderField)) {
    TFieldBlocks::Free(field);
  } else {
    ::operator delete(field);
  }
}

// A Date field takes a block of a THeaderField's size, so that the blocks
// of both go round in one pool.
static_assert(sizeof(TDateField) <= sizeof(THeaderField) && alignof(TDateField) <= alignof(THeaderField));

void* TDateField::operator new(std::size_t size) {
  return size == sizeof(TDateField) ? TFieldBlocks::Allocate() : ::operator new(size);
}

void TDateField::operator delete(void* field, std::size_t size) noexcept {
  if (size == sizeof(TDateField)) {
    TFieldBlocks::Free(field);
  } else {
    ::operator delete(field);
  }
}

std::unique_ptr<AHeaderField> THeaderField::Duplicate() const {
  return std::make_unique<THeaderField>(name_, value_);
}

bool THeaderField::HasName(std::string_view trimmedName) const {
  // Most names asked for differ in length: no call for those. Most names
  // that match are spelled alike: a plain comparison settles those.
  return name_.size() == trimmedName.size() &&
         (std::memcmp(name_.data(), trimmedName.data(), name_.size()) == 0 ||
          AsciiEqualFolded(name_.data(), trimmedName.data(), name_.size()));
}

int64_t THeaderField::GetAsInteger() const { return TextToInt64Or(detail::TrimmedView(value_), -1); }

void THeaderField::AppendLine(std::string& out) const {
  out += detail::TrimmedView(name_);
  out += ": ";
  out += detail::TrimmedView(value_);
}

TInvalidField::TInvalidField(std::string line) : line_(std::move(line)) { SetNameKey(KeyOfName({})); }

std::unique_ptr<AHeaderField> TInvalidField::Duplicate() const {
  return std::make_unique<TInvalidField>(line_);
}

TDateField::TDateField() : TDateField(NowUTC()) {}

TDateField::TDateField(TDateTime gmt) : date_time_(gmt) { SetNameKey(KeyOfName("Date")); }

std::string TDateField::GetValue() const {
  std::string scratch;
  return DateText(date_time_, scratch);
}

bool TDateField::HasName(std::string_view trimmedName) const {
  return trimmedName.size() == 4 && AsciiEqualFolded("Date", trimmedName.data(), 4);
}

void TDateField::AppendLine(std::string& out) const {
  std::string scratch;
  out += "Date: ";
  out += DateText(date_time_, scratch);
}

bool TDateField::SecondOf(TDateTime gmt, std::int64_t& second) {
  if (!std::isfinite(gmt) || std::fabs(gmt) > 1e7) return false;
  const std::int64_t ms = std::llround(gmt * 86400000.0);
  second = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
  return true;
}

void TDateField::AppendLineOf(std::string& out, TDateTime gmt) {
  std::string scratch;
  out += "Date: ";
  out += DateText(gmt, scratch);
  out += kCRLF;
}

void TDateField::SetValue(const std::string& value) { date_time_ = ParseHTTPDateTime(value); }

std::unique_ptr<AHeaderField> TDateField::Duplicate() const {
  return std::make_unique<TDateField>(date_time_);
}

// ---------------------------------------------------------------------------
// THeader

THeader::THeader(AReaderEx& reader, bool lineMode, int32_t maxSize) {
  ReadFromReader(reader, lineMode, maxSize);
}

THeader::~THeader() {
  while (!fields_.empty()) fields_.pop_back();
}

std::string THeader::GetAsString() const {
  std::string text;
  AppendTo(text);
  return text;
}

void THeader::AppendTo(std::string& out) const {
  AppendFieldsTo(out);
  out += kCRLF;
}

void THeader::AppendFieldsTo(std::string& out) const {
  for (const auto& field : fields_) {
    if (IsPlainField(*field)) {
      // The plain field's own line, written without a call of its own.
      const auto& plain = static_cast<const THeaderField&>(*field);
      detail::AppendHeaderLine(out, detail::TrimmedView(plain.name_), detail::TrimmedView(plain.value_));
      continue;
    }
    field->AppendLine(out);
    out += kCRLF;
  }
}

void THeader::SetAsString(std::string_view text) {
  std::string name;
  std::string value;
  const auto addPending = [&] {
    if (!name.empty()) AddField(name, value);
    name.clear();
    value.clear();
  };
  for (const std::string& line : SplitAtText(text, kCRLF)) {
    const TTextCut cut = CutAtByte(line, ':', false);
    if (cut.found) {
      addPending();
      name = Trimmed(cut.left);
      value = Trimmed(cut.right);
    } else if (!name.empty() && !line.empty() && detail::IsHttpWhitespace(line.front())) {
      // A folded line: its leading blanks stay, as the separator.
      value += line;
    } else {
      addPending();
      if (!line.empty()) AppendField(std::make_unique<TInvalidField>(line));
    }
  }
  addPending();
}

std::unique_ptr<THeader> THeader::Duplicate() const {
  auto copy = std::make_unique<THeader>();
  for (const auto& field : fields_) copy->AppendField(field->Duplicate());
  return copy;
}

void THeader::ReadFromReader(AReaderEx& reader, bool lineMode, int32_t maxSize) {
  if (lineMode) {
    // An empty block (a bare CR LF) is the first empty line, so it needs no
    // search of its own here.
    for (;;) {
      const std::string line = reader.ReadLine(maxSize, true);
      if (line.empty()) return;
      AddFieldLine(line);
    }
  }
  const int64_t firstLineEnd = reader.FindText(kCRLF, maxSize, true);
  if (firstLineEnd == 0) {
    // ReadText rather than Skip: a lone CR at the very end counts as a hit
    // of the search, and skipping past the end would fail.
    reader.ReadText(2);
    return;
  }
  const int64_t blockEnd = reader.FindText("\r\n\r\n", maxSize, true);
  if (blockEnd < 0) return;
  SetAsString(reader.ReadText(static_cast<int32_t>(blockEnd)));
  reader.ReadText(4);
}

void THeader::PrepareFields() {
  for (const auto& field : fields_) field->PrepareField();
}

std::vector<std::string> THeader::GetFieldNames() const {
  std::vector<std::string> names;
  names.reserve(fields_.size());
  for (const auto& field : fields_) names.push_back(field->GetName());
  return names;
}

void THeader::Clear() {
  while (!fields_.empty()) {
    std::unique_ptr<AHeaderField> field = std::move(fields_.back());
    fields_.pop_back();
    if (spare_.size() >= kSpareFields || !IsPlainField(*field)) continue;
    auto* plain = static_cast<THeaderField*>(field.get());
    if (plain->name_.capacity() + plain->value_.capacity() > kSpareFieldBytes) continue;
    field.release();
    spare_.emplace_back(plain);
  }
}

std::unique_ptr<THeaderField> THeader::NewField(std::string_view name, std::string_view value) {
  if (spare_.empty()) return std::make_unique<THeaderField>(std::string(name), std::string(value));
  std::unique_ptr<THeaderField> field = std::move(spare_.back());
  spare_.pop_back();
  field->Assign(name, value);
  return field;
}

int THeader::AddField(std::string_view name, std::string_view value) {
  return AppendField(NewField(name, value));
}

void THeader::AddFieldLine(const std::string& line) {
  // Name and value are cut from the line as views: each is copied once,
  // into the field.
  const std::string_view text(line);
  if (const std::size_t colon = text.find(':'); colon != std::string_view::npos) {
    AppendField(
        NewField(detail::TrimmedView(text.substr(0, colon)), detail::TrimmedView(text.substr(colon + 1))));
  } else {
    AppendField(std::make_unique<TInvalidField>(line));
  }
}

int THeader::AppendField(std::unique_ptr<AHeaderField> field) {
  // Room for a usual header at once, rather than growing through 1, 2, 4
  // and 8 fields.
  if (fields_.capacity() == 0) fields_.reserve(kUsualFieldCount);
  fields_.push_back(std::move(field));
  return Count() - 1;
}

int THeader::IndexOfTrimmed(std::string_view trimmed, std::uint32_t key) const {
  for (size_t i = 0; i < fields_.size(); ++i) {
    if (fields_[i]->MatchesName(trimmed, key)) return static_cast<int>(i);
  }
  return -1;
}

void THeader::SetFieldValue(std::string_view name, const std::string& value) {
  if (AHeaderField* field = GetField(name)) {
    field->SetValue(value);
  } else {
    AddField(name, value);
  }
}

void THeader::SetFieldValue(std::string_view name, std::string_view value) {
  if (AHeaderField* field = GetField(name)) {
    if (IsPlainField(*field)) {
      // Into the memory the value has.
      static_cast<THeaderField*>(field)->value_.assign(value);
    } else {
      field->SetValue(std::string(value));
    }
  } else {
    AddField(name, value);
  }
}

void THeader::SetField(std::string_view name, std::unique_ptr<AHeaderField> field) {
  // The same test as TextEqualFolded(GetName(), name), without the copy.
  if (field && !field->HasName(name)) field->SetName(std::string(name));
  const int index = IndexOf(name);
  if (index >= 0) {
    if (field) {
      ReplaceField(index, std::move(field));
    } else {
      DeleteField(index);
    }
  } else if (field) {
    AppendField(std::move(field));
  }
}

bool THeader::DeleteFields(std::string_view name) {
  const std::string_view trimmed = detail::TrimmedView(name);
  const std::uint32_t key = AHeaderField::KeyOfName(trimmed);
  return std::erase_if(fields_, [&](const auto& field) { return field->MatchesName(trimmed, key); }) > 0;
}

void THeader::ReplaceField(int index, std::unique_ptr<AHeaderField> field) {
  fields_.at(static_cast<size_t>(index)) = std::move(field);
}

void THeader::DeleteField(int index) {
  fields_.at(static_cast<size_t>(index)).reset();
  fields_.erase(fields_.begin() + index);
}

}  // namespace vt
