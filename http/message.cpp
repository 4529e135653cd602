#include "http/message.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <memory>
#include <typeinfo>

#include "http/content_readers.h"
#include "http/http_text.h"
#include "http/protocol.h"
#include "http/url.h"
#include "streams/stream.h"
#include "util/text.h"

namespace vt {

using detail::Trimmed;

namespace {

// The dynamic type of a reader, asked of a reference so that no call sits
// inside the typeid operand.
const std::type_info& TypeOf(const AReaderEx& reader) { return typeid(reader); }

constexpr std::string_view kCRLF = "\r\n";
constexpr std::string_view kHTTP = "HTTP";

// Equal texts: the lengths first, then the bytes. A string compared with a
// view goes through compare(), a call the keep-alive path pays for on
// every answer.
bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

// Whether a protocol name is HTTP: a length and four bytes, no call.
bool IsHTTPName(std::string_view protocol) {
  return protocol.size() == 4 && std::memcmp(protocol.data(), "HTTP", 4) == 0;
}

constexpr int32_t kBlockSize = 2048;
// Piece size of body reads into text; the text grows piece by piece.
constexpr int32_t kBodyPiece = 64 * 1024;

// Sets the first field `name` to `value` (or appends it) and deletes any
// later field of that name, so that a generated length is the only one.
void SetOnlyField(THeader& header, std::string_view name, std::string_view value) {
  const int first = header.IndexOf(name);
  if (first < 0) {
    // Then there is no other.
    header.AddField(name, value);
    return;
  }
  header.Fields(first)->SetValue(std::string(value));
  const std::uint32_t key = AHeaderField::KeyOfName(name);
  for (int i = header.Count() - 1; i > first; --i) {
    if (header.Fields(i)->MatchesName(name, key)) header.DeleteField(i);
  }
}

// The length all Content-Length fields announce. Each must be a decimal
// number that fits, and they must agree: any other length would frame the
// body at a place the sender did not mean.
int64_t DeclaredContentLength(const THeader& header) {
  int64_t length = -1;
  static const std::uint32_t kKey = AHeaderField::KeyOfName("Content-Length");
  for (int i = 0; i < header.Count(); ++i) {
    const AHeaderField* field = header.Fields(i);
    if (!field->MatchesName("Content-Length", kKey)) continue;
    const std::string value = Trimmed(field->GetValue());
    const int64_t n = IsAllDigits(value) ? TextToInt64Or(value, -1) : -1;
    if (n < 0 || (length >= 0 && n != length)) throw EhttpContent(400, "Invalid Content-Length");
    length = n;
  }
  return length;
}

int CountFields(const THeader& header, std::string_view name) {
  const std::uint32_t key = AHeaderField::KeyOfName(name);
  int count = 0;
  for (int i = 0; i < header.Count(); ++i) {
    if (header.Fields(i)->MatchesName(name, key)) ++count;
  }
  return count;
}

// A request's body must be framed one way only, so that every reader of the
// same bytes (a proxy in front of this server, then this server) finds its
// end at the same place; a request framed any other way is refused before
// its body is read, and the connection ends with the refusal (RFC 9112,
// 6.1 and 6.3). Transfer-Encoding: one field, whose coding list is exactly
// "chunked" (in any case), and no Content-Length beside it. A list that
// names a coding this server does not decode: 501; any other mix: 400.
void CheckRequestFraming(const THeader& header) {
  const int codings = CountFields(header, "Transfer-Encoding");
  if (codings == 0) return;
  if (codings > 1) throw EhttpContent(400, "More than one Transfer-Encoding field");
  if (header.HasField("Content-Length")) throw EhttpContent(400, "Both Content-Length and Transfer-Encoding");
  const std::string value = detail::TrimmedLower(header.GetFieldValue("Transfer-Encoding"));
  if (value == "chunked") return;
  for (const std::string& element : SplitAtText(value, ",")) {
    const std::string coding = Trimmed(TextBeforeDelimiter(element, ";", true, true));
    if (!coding.empty() && coding != "chunked") throw EhttpContent(501, "Unsupported Transfer-Encoding");
  }
  throw EhttpContent(400, "Invalid Transfer-Encoding");
}

// Exactly `count` bytes, read in pieces so that memory follows what arrived;
// EReader "Read error" when the data ends first.
std::string ReadCountedText(AReaderEx& reader, int64_t count) {
  std::string text;
  while (static_cast<int64_t>(text.size()) < count) {
    const int64_t left = count - static_cast<int64_t>(text.size());
    const std::string piece = reader.ReadText(static_cast<int32_t>(std::min<int64_t>(left, kBodyPiece)));
    if (piece.empty()) RaiseReadError();
    text += piece;
  }
  return text;
}

// Everything up to the reader's end, at most maxSize bytes (negative: no
// limit).
std::string ReadTextToEnd(AReaderEx& reader, int64_t maxSize) {
  std::string text;
  char block[kBlockSize];
  while (!reader.AtEnd()) {
    const int32_t n = reader.Read(block, kBlockSize);
    if (n <= 0) {
      // A connection may learn of its end only by trying to read.
      if (reader.AtEnd()) break;
      RaiseReadError();
    }
    if (maxSize >= 0 && static_cast<int64_t>(text.size()) + n > maxSize) {
      throw EhttpContent(413, "Content too large");
    }
    text.append(block, static_cast<size_t>(n));
  }
  return text;
}

// Copies exactly `count` bytes from the reader's position in blocks.
int64_t CopyCount(AReaderEx& reader, AWriterEx& writer, int64_t count) {
  char block[kBlockSize];
  int64_t done = 0;
  while (done < count) {
    const int32_t n = reader.Read(block, static_cast<int32_t>(std::min<int64_t>(count - done, kBlockSize)));
    if (n <= 0) RaiseReadError();
    writer.WriteExact(block, n);
    done += n;
  }
  return done;
}

// Bytes of a measured file are copied in blocks of up to this size: a small
// file in one read.
constexpr int64_t kFileBlockSize = 64 * 1024;

// Writes `count` bytes from the reader's position. A measured file goes to
// a writer that sends file ranges itself as far as that writer takes it;
// the rest is copied, a measured file in blocks as large as it needs.
int64_t WriteReaderBytes(AReaderEx& reader, AWriterEx& writer, int64_t count) {
  auto* file = dynamic_cast<TFileReader*>(&reader);
  if (!file || !file->Measured()) return CopyCount(reader, writer, count);
  int64_t done = 0;
  if (auto* sender = dynamic_cast<IFileRangeWriter*>(&writer)) {
    const int64_t start = file->GetPosition();
    done = sender->WriteFileRange(file->Handle(), start, count);
    file->SetPosition(start + done);
  }
  if (done >= count) return done;
  const auto block_size = static_cast<int32_t>(std::clamp<int64_t>(count - done, 1, kFileBlockSize));
  const std::unique_ptr<char[]> block(new char[static_cast<size_t>(block_size)]);
  while (done < count) {
    const int32_t n =
        reader.Read(block.get(), static_cast<int32_t>(std::min<int64_t>(count - done, block_size)));
    if (n <= 0) RaiseReadError();
    writer.WriteExact(block.get(), n);
    done += n;
  }
  return done;
}

// Answers in a row mostly share everything but their block's fields: the
// status line, the held lines (their date in the same second) and the last
// lines. Each thread keeps the text of its last head's parts beside what
// they were made of, and makes a part again only when one of those differs.
struct THeadCache {
  // The status line of an HTTP answer.
  int32_t code = -1;
  int32_t major = -1;
  int32_t minor = -1;
  std::string reason;
  std::string status_line;
  // Everything after the block's fields, the empty line included.
  bool made = false;
  std::uint8_t held = 0;
  std::string content_type;
  std::int64_t second = 0;
  std::int64_t content_length = 0;
  std::int8_t connection = -1;
  std::string server;
  std::optional<int64_t> modified;
  std::string etag;
  std::vector<std::string> lines;
  std::string tail;
};

THeadCache& LastHead() {
  thread_local THeadCache cache;
  return cache;
}

void AppendContentLengthLine(std::string& out, int64_t length) {
  out += std::string_view("Content-Length: ");
  char digits[24];
  const char* end = std::to_chars(digits, digits + sizeof digits, length).ptr;
  out.append(digits, static_cast<std::size_t>(end - digits));
  out += kCRLF;
}

// The lines after the block's fields, each as its field would write itself
// (name, ": ", the value trimmed), and the empty line.
void AppendTail(std::string& out, std::uint8_t held, std::string_view contentType, TDateTime date,
                int64_t contentLength, const THeadLastLines& last) {
  enum : std::uint8_t { kType = 1, kDate = 2, kLength = 4 };  // as AhttpMessage holds them
  if (held & kType) detail::AppendHeaderLine(out, "Content-Type", detail::TrimmedView(contentType));
  if (held & kDate) TDateField::AppendLineOf(out, date);
  if (held & kLength) AppendContentLengthLine(out, contentLength);
  if (last.connection >= 0)
    out += last.connection == 1 ? std::string_view("Connection: keep-alive\r\n")
                                : std::string_view("Connection: close\r\n");
  if (!last.server.empty()) {
    std::string value;
    value.reserve(last.server.size() + 1 + kHTTPServerToken.size());
    value += last.server;
    value += ' ';
    value += kHTTPServerToken;
    detail::AppendHeaderLine(out, "Server", detail::TrimmedView(value));
  }
  if (last.last_modified && *last.last_modified) {
    out += std::string_view("Last-Modified: ");
    AppendHTTPDate(out, **last.last_modified);
    out += kCRLF;
  }
  if (!last.etag.empty()) detail::AppendHeaderLine(out, "ETag", detail::TrimmedView(last.etag));
  if (last.lines) {
    for (const std::string& line : *last.lines) {
      if (line.empty()) continue;
      const std::string_view view(line);
      if (const std::size_t colon = view.find(':'); colon != std::string_view::npos) {
        detail::AppendHeaderLine(out, detail::TrimmedView(view.substr(0, colon)),
                                 detail::TrimmedView(view.substr(colon + 1)));
      } else {
        out += line;
        out += kCRLF;
      }
    }
  }
  out += kCRLF;
}

void Fire(const ThttpMessageEvent& event, AhttpMessage* sender) {
  if (event) event(sender);
}

}  // namespace

std::vector<std::string> SplitTextLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      lines.emplace_back(text.substr(start));
      break;
    }
    lines.emplace_back(text.substr(start, end - start));
    start = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
  }
  return lines;
}

// ---------------------------------------------------------------------------
// AhttpMessage

AhttpMessage::~AhttpMessage() { ReleaseContentReader(); }

std::string AhttpMessage::GetMessageText() {
  std::string text = GetHeaderText();
  if (HasContent) text += GetContentText();
  return text;
}

void AhttpMessage::SetMessageText(std::string_view text) {
  const TTextCut cut = CutAtText(text, "\r\n\r\n", true, true);
  SetHeaderText(cut.left);
  SetContentText(cut.right);
}

std::string AhttpMessage::GetHeaderText() {
  std::string text;
  AppendHeaderText(text);
  return text;
}

void AhttpMessage::AppendHead(std::string& out, const THeadLastLines& last) {
  if (!start_line_valid_) ComposeStartLine();
  out += start_line_;
  out += kCRLF;
  if (header_) header_->AppendFieldsTo(out);
  const std::uint8_t held = held_.set;
  std::int64_t second = 0;
  if ((held & kHeldDate) && !TDateField::SecondOf(held_.date, second)) {
    // No usual date: its text is made each time, and not kept.
    AppendTail(out, held, held_.content_type, held_.date, held_.content_length, last);
    return;
  }
  static const std::vector<std::string> kNoLines;
  const std::vector<std::string>& lines = last.lines ? *last.lines : kNoLines;
  const std::optional<int64_t> modified = last.last_modified ? *last.last_modified : std::nullopt;
  THeadCache& cache = LastHead();
  const auto differs = [&](std::uint8_t line, bool same) { return (held & line) && !same; };
  if (!cache.made || cache.held != held ||
      differs(kHeldContentType, cache.content_type == held_.content_type) ||
      differs(kHeldDate, cache.second == second) ||
      differs(kHeldContentLength, cache.content_length == held_.content_length) ||
      cache.connection != last.connection || !SameText(cache.server, last.server) ||
      cache.modified != modified || !SameText(cache.etag, last.etag) || cache.lines != lines) {
    cache.made = false;
    cache.tail.clear();
    AppendTail(cache.tail, held, held_.content_type, held_.date, held_.content_length, last);
    cache.held = held;
    cache.content_type = held_.content_type;
    cache.second = second;
    cache.content_length = held_.content_length;
    cache.connection = last.connection;
    cache.server.assign(last.server);
    cache.modified = modified;
    cache.etag.assign(last.etag);
    cache.lines = lines;
    cache.made = true;
  }
  out += cache.tail;
}

bool AhttpMessage::HeldLineFits(std::uint8_t line, std::string_view name) const {
  const auto later = static_cast<std::uint8_t>(~((line << 1) - 1));
  return !block_handed_out_ && (held_.set & later) == 0 && (!header_ || !header_->HasField(name));
}

void AhttpMessage::MakeHeldFieldsNow() {
  const std::uint8_t lines = held_.set;
  held_.set = 0;
  if (!header_) header_ = std::make_unique<THeader>();
  // As the setters would have added them.
  if (lines & kHeldContentType) header_->AddField("Content-Type", held_.content_type);
  if (lines & kHeldDate) header_->AppendField(std::make_unique<TDateField>(held_.date));
  if (lines & kHeldContentLength) {
    char digits[24];
    const char* end = std::to_chars(digits, digits + sizeof digits, held_.content_length).ptr;
    header_->AddField("Content-Length", std::string_view(digits, static_cast<std::size_t>(end - digits)));
  }
}

void AhttpMessage::SetHeaderText(std::string_view text) {
  const TTextCut cut = CutAtText(text, kCRLF, true, true);
  SetStartLine(cut.left);
  if (cut.right.empty()) {
    SetHeader(nullptr);
  } else {
    GetHeader().SetAsString(cut.right);
  }
}

std::string AhttpMessage::GetStartLine() {
  // The flag stays false, so the line follows the fields until it is set.
  if (!start_line_valid_) ComposeStartLine();
  return start_line_;
}

void AhttpMessage::SetStartLine(const std::string& line) {
  start_line_ = line;
  start_line_valid_ = true;
  ParseStartLine();
}

void AhttpMessage::SetMinorVersion(int32_t version) {
  minor_version_ = version;
  start_line_valid_ = false;
}

void AhttpMessage::SetMajorVersion(int32_t version) {
  major_version_ = version;
  start_line_valid_ = false;
}

void AhttpMessage::SetProtocol(const std::string& protocol) {
  protocol_ = protocol;
  start_line_valid_ = false;
}

THeader& AhttpMessage::GetHeader() {
  MakeHeldFields();
  if (!header_) header_ = std::make_unique<THeader>();
  block_handed_out_ = true;
  return *header_;
}

void AhttpMessage::SetHeader(std::unique_ptr<THeader> header) {
  SetOwnHeader(std::move(header));
  // The caller may keep a pointer to it.
  block_handed_out_ = header_ != nullptr;
}

void AhttpMessage::SetOwnHeader(std::unique_ptr<THeader> header) {
  // The held lines were part of the block that goes.
  held_.set = 0;
  block_handed_out_ = false;
  header_ = std::move(header);
}

std::vector<std::string>& AhttpMessage::GetCustomLines() {
  if (!custom_lines_) custom_lines_ = std::make_unique<std::vector<std::string>>();
  return *custom_lines_;
}

void AhttpMessage::SetCustomLines(const std::vector<std::string>* lines) {
  if (lines == custom_lines_.get()) return;
  if (lines) {
    GetCustomLines() = *lines;
  } else {
    custom_lines_.reset();
  }
}

std::string AhttpMessage::GetContentText() {
  if (!content_is_text_ && content_reader_ && content_reader_->GetPosition() == 0) {
    content_text_ = content_reader_->ReadAllText();
    content_is_text_ = true;
  }
  return content_text_;
}

void AhttpMessage::SetContentText(const std::string& text) {
  ReleaseContentReader();
  content_text_ = text;
  content_is_text_ = !text.empty();
  HasContent = !text.empty();
}

void AhttpMessage::ReleaseContentReader() { content_reader_.Reset(); }

AReaderEx* AhttpMessage::GetContentReader() {
  if (!content_reader_) content_reader_.Own(std::make_unique<TStringReader>(content_text_));
  return content_reader_;
}

void AhttpMessage::SetContentReader(std::unique_ptr<AReaderEx> reader) {
  content_reader_.Own(std::move(reader));
  if (content_reader_) HasContent = true;
}

int64_t AhttpMessage::GetContentSize() {
  if (content_reader_) return content_reader_->GetSize();
  if (content_is_text_) return static_cast<int64_t>(content_text_.size());
  return 0;
}

int64_t AhttpMessage::GetContentLength() {
  // The length written a moment ago is known without reading it back.
  if (held_.set & kHeldContentLength) return held_.content_length;
  if (header_) {
    if (const AHeaderField* field = header_->GetField("Content-Length")) return field->GetAsInteger();
  }
  return GetContentSize();
}

void AhttpMessage::SetContentLength(int64_t length) {
  GetHeader().SetFieldValue("Content-Length", std::to_string(length));
}

void AhttpMessage::Init() {
  AddDateField = true;
  HasContent = true;
  major_version_ = 1;
  minor_version_ = 1;
  // Most messages say HTTP already: no copy for those.
  if (!IsHTTPName(protocol_)) protocol_ = kHTTP;
}

std::unique_ptr<THeader> AhttpMessage::TakeEmptiedBlock() {
  // Emptied: its held lines need not become fields first.
  held_.set = 0;
  std::unique_ptr<THeader> header = std::move(header_);
  if (header) header->Clear();
  ResetMessage();
  return header;
}

void AhttpMessage::ResetMessage() {
  // Field by field rather than by assignment from a message just made:
  // that costs the keep-alive path a tenth of its instructions.
  ReleaseContentReader();
  start_line_.clear();
  start_line_valid_ = false;
  held_.set = 0;
  block_handed_out_ = false;
  header_.reset();
  custom_lines_.reset();
  content_is_text_ = false;
  // A body can be large: its memory is not kept. Most answers had none, and
  // an emptied string has nothing to give back.
  if (content_text_.capacity() > std::string().capacity()) {
    std::string().swap(content_text_);
  } else {
    content_text_.clear();
  }
  OnBeforePrepare = nullptr;
  OnAfterPrepare = nullptr;
  OnHeaderWritten = nullptr;
  OnContentWritten = nullptr;
  AhttpMessage::Init();
}

void AhttpMessage::PrepareHeader() {
  if (AddDateField) {
    if (HeldLineFits(kHeldDate, "Date")) {
      held_.date = NowUTC();
      held_.set |= kHeldDate;
    } else {
      GetHeader().SetField("Date", std::make_unique<TDateField>());
    }
  }
  if (custom_lines_) {
    for (const std::string& line : *custom_lines_) {
      if (!Trimmed(line).empty()) GetHeader().AddFieldLine(line);
    }
  }
}

void AhttpMessage::AssignPrototype(const AhttpMessage* prototype) {
  if (!prototype) throw EhttpMessage("No prototype");
  if (prototype == this) return;
  start_line_ = prototype->start_line_;
  start_line_valid_ = prototype->start_line_valid_;
  protocol_ = prototype->protocol_;
  major_version_ = prototype->major_version_;
  minor_version_ = prototype->minor_version_;
  // The held lines are copied as they are held, after the block's fields.
  SetOwnHeader(prototype->header_ ? prototype->header_->Duplicate() : nullptr);
  held_ = prototype->held_;
  AddDateField = prototype->AddDateField;
  content_is_text_ = prototype->content_is_text_;
  content_text_ = prototype->content_text_;
  HasContent = prototype->HasContent;
  content_reader_.Borrow(prototype->content_reader_);
  SetCustomLines(prototype->custom_lines_.get());
}

std::unique_ptr<AhttpMessage> AhttpMessage::Duplicate() const {
  std::unique_ptr<AhttpMessage> copy = CreateEmpty();
  copy->AssignPrototype(this);
  return copy;
}

TContentFraming AhttpMessage::GetContentFraming(int64_t maxSize, int64_t& length) {
  length = 0;
  MakeHeldFields();
  // A request without a field that frames a body has none: the usual GET.
  if (!ContentMayRunToEnd() &&
      (!header_ || (!header_->HasField("Transfer-Encoding") && !header_->HasField("Content-Length"))))
    return TContentFraming::kNone;
  if (!ContentMayRunToEnd() && header_) CheckRequestFraming(*header_);
  const std::string coding = GetTransferEncoding();
  if (coding == "chunked") return TContentFraming::kChunked;
  if (!coding.empty() && coding != "identity" && !ContentMayRunToEnd()) {
    throw EhttpContent(501, "Unsupported Transfer-Encoding");
  }
  if (header_ && header_->HasField("Content-Length")) {
    const int64_t declared = DeclaredContentLength(*header_);
    if (maxSize >= 0 && declared > maxSize) throw EhttpContent(413, "Content too large");
    if (declared == 0) return TContentFraming::kNone;
    length = declared;
    return TContentFraming::kSized;
  }
  const bool typed = header_ && header_->HasField("Content-Type");
  return (typed || !IsHTTP()) && ContentMayRunToEnd() ? TContentFraming::kToEnd : TContentFraming::kNone;
}

void AhttpMessage::ReadContent(AReaderEx& reader, bool useReader, bool rawChunks, int64_t maxSize) {
  int64_t length = 0;
  switch (GetContentFraming(maxSize, length)) {
    case TContentFraming::kNone:
      return;
    case TContentFraming::kChunked:
      try {
        auto chunked = std::make_unique<ThttpChunkedContentReader>(&reader, rawChunks);
        if (useReader) {
          SetContentReader(std::move(chunked));
        } else {
          SetContentText(ReadTextToEnd(*chunked, maxSize));
        }
      } catch (const EChunkedContentFraming& error) {
        // The peer's fault, answered as such; a connection that fails
        // stays a reader error.
        throw EhttpContent(400, error.Message());
      }
      return;
    case TContentFraming::kSized:
      if (useReader) {
        SetContentReader(std::make_unique<ThttpSizedContentReader>(&reader, false, length));
      } else {
        SetContentText(ReadCountedText(reader, length));
      }
      return;
    case TContentFraming::kToEnd:
      if (useReader) {
        SetContentReader(std::make_unique<TReaderProxy>(&reader, false, -1));
      } else {
        SetContentText(ReadTextToEnd(reader, maxSize));
      }
      return;
  }
}

void AhttpMessage::WriteHeader(AWriterEx& writer) {
  writer.WriteText(GetHeaderText());
  Fire(OnHeaderWritten, this);
}

int64_t AhttpMessage::WriteContent(AWriterEx& writer) {
  if (!HasContent) return -1;
  int64_t written = 0;
  // Which kind of reader it is: a plain file reader is told by its type
  // alone; a cast, which walks the class tree, only for the others.
  TFileReader* file = nullptr;
  TMemoryReader* memory = nullptr;
  // The last class found to be a memory reader is remembered per thread:
  // the same class again is one without a cast.
  thread_local const std::type_info* last_memory_class = nullptr;
  if (content_is_text_ || !content_reader_) {
    // nothing to tell
  } else if (const std::type_info& kind = TypeOf(*content_reader_.Get()); &kind == last_memory_class) {
    memory = static_cast<TMemoryReader*>(content_reader_.Get());
  } else if (&kind == &typeid(TFileReader)) {
    file = static_cast<TFileReader*>(content_reader_.Get());
  } else if (memory = dynamic_cast<TMemoryReader*>(content_reader_.Get()); !memory) {
    file = dynamic_cast<TFileReader*>(content_reader_.Get());
  } else {
    last_memory_class = &kind;
  }
  if (content_is_text_) {
    writer.WriteText(content_text_);
    written = static_cast<int64_t>(content_text_.size());
  } else if (file && file->Measured()) {
    written = WriteReaderBytes(*file, writer, std::max<int64_t>(file->GetSize() - file->GetPosition(), 0));
  } else if (memory) {
    // Bytes in memory go to the writer in place.
    const std::string_view bytes = memory->Unread();
    for (std::size_t done = 0; done < bytes.size();) {
      const auto n = static_cast<int32_t>(
          std::min<std::size_t>(bytes.size() - done, std::numeric_limits<int32_t>::max()));
      writer.WriteExact(bytes.data() + done, n);
      done += static_cast<std::size_t>(n);
    }
    memory->SetPosition(memory->GetSize());
    written = static_cast<int64_t>(bytes.size());
  } else if (content_reader_) {
    written = CopyReaderToWriter(content_reader_, &writer, kBlockSize);
  }
  Fire(OnContentWritten, this);
  return written;
}

void AhttpMessage::Prepare() {
  Fire(OnBeforePrepare, this);
  PrepareHeader();
  Fire(OnAfterPrepare, this);
}

std::string AhttpMessage::GetContentType() const {
  if (held_.set & kHeldContentType) return held_.content_type;
  return header_ ? header_->GetFieldValue("Content-Type") : std::string();
}

void AhttpMessage::SetContentType(std::string_view type) {
  if (HeldLineFits(kHeldContentType, "Content-Type")) {
    held_.content_type.assign(type);
    held_.set |= kHeldContentType;
  } else {
    GetHeader().SetFieldValue("Content-Type", type);
  }
}

void AhttpMessage::SetContentLengthLine(int64_t length) {
  if (HeldLineFits(kHeldContentLength, "Content-Length")) {
    held_.content_length = length;
    held_.set |= kHeldContentLength;
    return;
  }
  // Written on the stack: every answer with a body has it.
  char digits[24];
  const char* end = std::to_chars(digits, digits + sizeof digits, length).ptr;
  SetOnlyField(GetHeader(), "Content-Length",
               std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

bool AhttpMessage::HasContentLength() const {
  return (held_.set & kHeldContentLength) || (header_ && header_->HasField("Content-Length"));
}

std::string AhttpMessage::GetTransferEncoding() const {
  if (!header_ || !header_->HasField("Transfer-Encoding")) return std::string();
  return detail::TrimmedLower(
      TextBeforeDelimiter(header_->GetFieldValue("Transfer-Encoding"), ";", true, true));
}

std::string AhttpMessage::GetVersionText() const {
  return protocol_ + "/" + std::to_string(major_version_) + "." + std::to_string(minor_version_);
}

bool AhttpMessage::IsHTTP() const { return protocol_.empty() || IsHTTPName(protocol_); }

bool AhttpMessage::IsHTTP10OrEarlier() const {
  // The version first: most messages are 1.1, and need no look at the name.
  return (major_version_ == 0 || (major_version_ == 1 && minor_version_ < 1)) && IsHTTP();
}

bool AhttpMessage::IsHTTP11OrLater() const {
  return IsHTTPName(protocol_) && (major_version_ > 1 || (major_version_ == 1 && minor_version_ > 0));
}

bool AhttpMessage::IsLengthUndetermined() const {
  const bool typed = (held_.set & kHeldContentType) || (header_ && header_->HasField("Content-Type"));
  if (!typed || HasContentLength()) return false;
  return !(header_ && header_->HasField("Content-Range")) && GetTransferEncoding() != "chunked";
}

// ---------------------------------------------------------------------------
// ThttpRequest

ThttpRequest::ThttpRequest() { Init(); }

ThttpRequest::ThttpRequest(const std::string& startLine, const std::string& contentText,
                           std::unique_ptr<THeader> header) {
  Init();
  SetStartLine(startLine);
  SetHeader(std::move(header));
  SetContentText(contentText);
}

void ThttpRequest::Reuse(const std::string& startLine) {
  ResetMessage();
  Port.clear();
  ProxyRequest = false;
  // What Init sets besides: the method, target and version all come from
  // the line.
  ConnectionMode = 0;
  // As the constructor goes on: the line, no header (the line's own host
  // field goes too), an empty text body (ResetMessage has left no reader
  // and no text).
  SetStartLine(startLine);
  SetHeader(nullptr);
  HasContent = false;
}

std::unique_ptr<AhttpMessage> ThttpRequest::CreateEmpty() const { return std::make_unique<ThttpRequest>(); }

void ThttpRequest::ComposeStartLine() {
  std::string uri = URI;
  if (ProxyRequest) {
    std::string scheme;
    std::string host;
    std::string path;
    SplitURL(URI, scheme, host, path);
    AsciiLowerInPlace(scheme);
    if (scheme.empty()) scheme = "http";
    if (host.empty()) {
      host = GetHost();
      if (!Port.empty()) host += ":" + Port;
    }
    uri = ComposeURL(scheme, host, path);
  }
  if (!Query.empty()) uri += "?" + Query;
  start_line_ = ComposeRequestLine(Method, uri, Protocol(), MajorVersion(), MinorVersion());
}

void ThttpRequest::ParseStartLine() {
  int32_t major = 0;
  int32_t minor = 0;
  ParseRequestLine(start_line_, Method, URI, Query, ProtocolInPlace(), major, minor, &TargetHost);
  StoreVersion(major, minor);
  // Only an absolute URI names the host; "//x/y" is a path.
  if (!TargetHost.empty()) SetHost(TargetHost);
}

void ThttpRequest::Init() {
  AhttpMessage::Init();
  ConnectionMode = 0;
  Method = "GET";
  URI = "/";
  Query.clear();
  TargetHost.clear();
}

void ThttpRequest::PrepareHeader() {
  AhttpMessage::PrepareHeader();
  if (IsHTTP11OrLater() && GetHost().empty()) throw EhttpRequest("Host must be set for HTTP/1.1 request.");
  if (ContentIsText() && !StoredContentText().empty()) {
    SetContentLength(static_cast<int64_t>(StoredContentText().size()));
  }
  if (ConnectionMode == 1 || ConnectionMode == 2) {
    SetConnectionField(ProxyRequest ? "Proxy-Connection" : "Connection", ConnectionMode == 1);
  }
}

void ThttpRequest::AssignPrototype(const AhttpMessage* prototype) {
  const auto* request = dynamic_cast<const ThttpRequest*>(prototype);
  if (prototype && !request) throw EInvalidCast("Invalid cast");
  AhttpMessage::AssignPrototype(prototype);
  Method = request->Method;
  URI = request->URI;
  Query = request->Query;
  TargetHost = request->TargetHost;
  ConnectionMode = request->ConnectionMode;
  Port = request->Port;
  ProxyRequest = request->ProxyRequest;
}

std::string ThttpRequest::GetPathAndQuery() const { return Query.empty() ? URI : URI + "?" + Query; }

std::string ThttpRequest::GetHost() const {
  // A target in absolute form names the host itself; a Host field sent
  // beside it is ignored (RFC 9112 section 3.2.2).
  std::string host = TargetHost;
  if (host.empty() && Header()) host = Header()->GetFieldValue("Host");
  if (host.empty()) {
    std::string scheme;
    std::string path;
    SplitURL(URI, scheme, host, path);
  }
  return host;
}

void ThttpRequest::SetHost(std::string_view hostAndPort) {
  const TTextCut cut = CutAtByte(hostAndPort, ':', true);
  GetHeader().SetFieldValue("Host", Trimmed(cut.left));
  const std::string port = Trimmed(cut.right);
  if (!port.empty()) Port = port;
  // The start line may carry the host (a proxy request).
  InvalidateStartLine();
}

std::string ThttpRequest::GetReferer() const { return Header() ? Header()->GetFieldValue("Referer") : ""; }

std::string ThttpRequest::GetAuthorization() const {
  return Header() ? Header()->GetFieldValue("Authorization") : "";
}

std::string ThttpRequest::GetUserAgent() const {
  return Header() ? Header()->GetFieldValue("User-Agent") : "";
}

std::string ThttpRequest::GetCookie() const { return Header() ? Header()->GetFieldValue("Cookie") : ""; }

std::string ThttpRequest::GetBasicCredentials() const {
  const std::string authorization = GetAuthorization();
  if (!TextHasPrefix("basic ", authorization, false)) return std::string();
  return DecodeBase64Text(std::string_view(authorization).substr(6));
}

bool ThttpRequest::GetRange(int64_t& start, int64_t& end) const {
  start = -1;
  end = -1;
  if (!Header()) return false;
  const std::string range = Trimmed(Header()->GetFieldValue("Range"));
  return !range.empty() && ParseByteRange(range, start, end);
}

void ThttpRequest::SetConnectionField(std::string_view name, bool keepAlive) {
  GetHeader().SetFieldValue(name, keepAlive ? "keep-alive" : "close");
}

// ---------------------------------------------------------------------------
// ThttpResponse

ThttpResponse::ThttpResponse() { Init(); }

ThttpResponse::ThttpResponse(int32_t statusCode, const std::string& protocol, int32_t majorVersion,
                             int32_t minorVersion, const std::string& contentText,
                             std::unique_ptr<THeader> header, const std::string& reasonPhrase) {
  Init();
  StoreVersion(protocol, majorVersion, minorVersion);
  SetHeader(std::move(header));
  SetContentText(contentText);
  SetStatusCode(statusCode);
  ReasonPhrase = reasonPhrase;
}

void ThttpResponse::Reuse(int32_t statusCode, const std::string& reasonPhrase) {
  std::unique_ptr<THeader> header = TakeEmptiedBlock();
  StatusCode = 0;
  RangeStart = -1;
  RangeEnd = -1;
  connection_to_write_ = -1;
  streamed_body_ = false;
  chunked_body_ = false;
  ETag.clear();
  LastModified.reset();
  // A handful of usual lines keep their memory; a long one goes.
  constexpr std::size_t kSpareLines = 4;
  constexpr std::size_t kSpareLineBytes = 128;
  // Kept last line first: AddLastLine takes them from the back, so a line
  // added again finds its own text there.
  for (auto line = LastLines.rbegin(); line != LastLines.rend(); ++line) {
    if (spare_lines_.size() < kSpareLines && line->capacity() <= kSpareLineBytes)
      spare_lines_.push_back(std::move(*line));
  }
  LastLines.clear();
  // ResetMessage made it HTTP/1.1 with the defaults already, and let go of
  // the body: what an empty body text adds is no content.
  SetOwnHeader(std::move(header));
  HasContent = false;
  SetStatusCode(statusCode);
  // Mostly the phrase of the answer before.
  if (ReasonPhrase != reasonPhrase) ReasonPhrase = reasonPhrase;
}

std::unique_ptr<AhttpMessage> ThttpResponse::CreateEmpty() const { return std::make_unique<ThttpResponse>(); }

void ThttpResponse::ComposeStartLine() {
  if (!IsHTTPName(Protocol())) {
    start_line_ = ComposeStatusLine(StatusCode, ReasonPhrase, Protocol(), MajorVersion(), MinorVersion());
    return;
  }
  // An answer has the line of the one before it, most of the time.
  THeadCache& cache = LastHead();
  if (StatusCode != cache.code || MajorVersion() != cache.major || MinorVersion() != cache.minor ||
      ReasonPhrase != cache.reason) {
    cache.status_line =
        ComposeStatusLine(StatusCode, ReasonPhrase, Protocol(), MajorVersion(), MinorVersion());
    cache.code = StatusCode;
    cache.major = MajorVersion();
    cache.minor = MinorVersion();
    cache.reason = ReasonPhrase;
  }
  start_line_ = cache.status_line;
}

void ThttpResponse::ParseStartLine() {
  std::string protocol;
  int32_t major = 0;
  int32_t minor = 0;
  int32_t code = 0;
  ParseStatusLine(start_line_, protocol, major, minor, code, ReasonPhrase);
  StoreVersion(protocol, major, minor);
  SetStatusCode(code);
}

int64_t ThttpResponse::GetContentSize() {
  const int64_t size = WholeContentSize();
  if (size <= 0 || (RangeStart < 0 && RangeEnd < 0)) return size;
  int64_t start = 0;
  int64_t length = 0;
  ComputeByteRange(size, RangeStart, RangeEnd, start, length);
  return std::max<int64_t>(length, 0);
}

void ThttpResponse::PrepareHeader() {
  AhttpMessage::PrepareHeader();
  streamed_body_ = false;
  chunked_body_ = false;
  if (StatusCode / 100 == 1 || StatusCode == 204 || StatusCode == 304) {
    THeader& header = GetHeader();
    header.DeleteFields("Content-Length");
    header.DeleteFields("Transfer-Encoding");
    HasContent = false;
    return;
  }
  const int64_t size = HasContent ? WholeContentSize() : 0;
  if (StatusCode == 206 && size < 0) {
    // A body of unknown size cannot be cut; it goes whole.
    SetStatusCode(200);
    ReasonPhrase.clear();
    RangeStart = -1;
    RangeEnd = -1;
  }
  if (StatusCode == 206) {
    THeader& header = GetHeader();
    int64_t start = 0;
    int64_t length = 0;
    ComputeByteRange(size, RangeStart, RangeEnd, start, length);
    if (length > 0) {
      SetOnlyField(header, "Content-Range",
                   "bytes " + std::to_string(start) + "-" + std::to_string(start + length - 1) + "/" +
                       std::to_string(size));
      SetOnlyField(header, "Content-Length", std::to_string(length));
      return;
    }
    // Nothing of the body lies in the range.
    SetStatusCode(416);
    ReasonPhrase.clear();
    RangeStart = -1;
    RangeEnd = -1;
    SetContentText(std::string());
    SetOnlyField(header, "Content-Range", "bytes */" + std::to_string(size));
    SetOnlyField(header, "Content-Length", "0");
    return;
  }
  if (GetTransferEncoding() != "chunked" && size >= 0) SetContentLengthLine(size);
  // A streamed body: only its end tells its length.
  streamed_body_ = size < 0 && !HasContentLength() && GetTransferEncoding().empty();
  if (streamed_body_ && IsHTTP11OrLater()) {
    GetHeader().AddField("Transfer-Encoding", "chunked");
    chunked_body_ = true;
  }
}

void ThttpResponse::AssignPrototype(const AhttpMessage* prototype) {
  const auto* response = dynamic_cast<const ThttpResponse*>(prototype);
  if (prototype && !response) throw EInvalidCast("Invalid cast");
  AhttpMessage::AssignPrototype(prototype);
  StatusCode = response->StatusCode;
  ReasonPhrase = response->ReasonPhrase;
  RangeStart = response->RangeStart;
  RangeEnd = response->RangeEnd;
  ETag = response->ETag;
  LastModified = response->LastModified;
  LastLines = response->LastLines;
  connection_to_write_ = response->connection_to_write_;
  streamed_body_ = response->streamed_body_;
  chunked_body_ = response->chunked_body_;
}

int64_t ThttpResponse::WriteStreamedContent(AWriterEx& writer) {
  // A block per answer, not per thread: a streamed answer is rare beside
  // the files, and a thousand workers would each keep one.
  constexpr int32_t kChunkSize = 64 * 1024;
  const std::unique_ptr<char[]> block(new char[kChunkSize]);
  AReaderEx* reader = GetContentReader();
  int64_t written = 0;
  char size_line[24];
  for (;;) {
    int32_t n = 0;
    try {
      n = reader->Read(block.get(), kChunkSize);
    } catch (const std::exception& error) {
      throw EStreamedContent(std::string("Its content failed after ") + std::to_string(written) +
                             " bytes: " + error.what());
    }
    if (n <= 0) break;
    if (chunked_body_) {
      const int length = std::snprintf(size_line, sizeof size_line, "%x\r\n", static_cast<unsigned>(n));
      writer.WriteExact(size_line, length);
    }
    writer.WriteExact(block.get(), n);
    if (chunked_body_) writer.WriteExact("\r\n", 2);
    written += n;
    if (n < kChunkSize) writer.Flush();
  }
  if (chunked_body_) writer.WriteExact("0\r\n\r\n", 5);
  Fire(OnContentWritten, this);
  return written;
}

int64_t ThttpResponse::WriteContent(AWriterEx& writer) {
  if (streamed_body_ && HasContent) return WriteStreamedContent(writer);
  if (!HasContent || (RangeStart < 0 && RangeEnd < 0)) return AhttpMessage::WriteContent(writer);
  int64_t start = 0;
  int64_t length = 0;
  if (ContentIsText()) {
    // Written straight from the text, which a reader would copy first.
    const std::string& text = StoredContentText();
    ComputeByteRange(static_cast<int64_t>(text.size()), RangeStart, RangeEnd, start, length);
    if (length <= 0) return 0;
    for (int64_t done = 0; done < length;) {
      const int32_t n =
          static_cast<int32_t>(std::min<int64_t>(length - done, std::numeric_limits<int32_t>::max()));
      writer.WriteExact(text.data() + start + done, n);
      done += n;
    }
    return length;
  }
  AReaderEx* reader = GetContentReader();
  ComputeByteRange(reader->GetSize(), RangeStart, RangeEnd, start, length);
  if (length <= 0) return 0;
  reader->SetPosition(start);
  return WriteReaderBytes(*reader, writer, length);
}

void ThttpResponse::SetStatusCode(int32_t code) {
  StatusCode = code;
  AddDateField = code / 100 != 1;
}

void ThttpResponse::SetRange(int64_t start, int64_t end) {
  SetStatusCode(206);
  ReasonPhrase.clear();
  RangeStart = start;
  RangeEnd = end;
}

void ThttpResponse::SetServerField(std::string_view text) {
  std::string value;
  if (!text.empty()) {
    value += text;
    value += ' ';
  }
  value += kHTTPServerToken;
  THeader& header = GetHeader();
  if (const int index = header.IndexOf("Server"); index >= 0) {
    // A new field, named as written here, in place of the one there was.
    header.ReplaceField(index, std::make_unique<THeaderField>("Server", value));
  } else {
    header.AddField("Server", value);
  }
}

void ThttpResponse::MatchRequestVersion(const ThttpRequest& request) {
  if (!request.IsHTTP()) return;
  if (!IsHTTPName(Protocol())) SetProtocol("HTTP");
  SetMajorVersion(1);
  SetMinorVersion(request.IsHTTP10OrEarlier() ? 0 : 1);
}

bool ThttpResponse::GetKeepAlive() const {
  if (connection_to_write_ >= 0) return connection_to_write_ == 1;
  // Most answers have no Connection field yet.
  if (!BlockHasField("Connection")) return !IsHTTP10OrEarlier();
  const std::string connection = Trimmed(BlockFieldValue("Connection"));
  if (connection.empty() && IsHTTP10OrEarlier()) return false;
  return !TextEqualFolded(connection, "close");
}

void ThttpResponse::SetConnectionField(bool keepAlive) {
  connection_to_write_ = -1;
  GetHeader().SetFieldValue("Connection", keepAlive ? "keep-alive" : "close");
}

void ThttpResponse::SetConnectionFieldForWriting(bool keepAlive) {
  if (BlockHasField("Connection")) {
    SetConnectionField(keepAlive);
  } else {
    connection_to_write_ = keepAlive ? 1 : 0;
  }
}

void ThttpResponse::AddLastFields() {
  THeader& header = GetHeader();
  if (LastModified) {
    std::string date;
    AppendHTTPDate(date, *LastModified);
    header.SetFieldValue("Last-Modified", std::string_view(date));
  }
  if (!ETag.empty()) header.SetFieldValue("ETag", ETag);
  for (const std::string& line : LastLines) {
    // An empty line would end the header early.
    if (!line.empty()) header.AddFieldLine(line);
  }
}

void ThttpResponse::AppendFinalHeaderText(std::string& out, std::string_view serverText) {
  const bool server = !serverText.empty();
  if ((server && BlockHasField("Server")) || (LastModified && BlockHasField("Last-Modified")) ||
      (!ETag.empty() && BlockHasField("ETag"))) {
    // A field of the block is set in place: they are all made as fields, in
    // the order they would have had.
    if (connection_to_write_ >= 0) SetConnectionField(connection_to_write_ == 1);
    if (server) SetServerField(serverText);
    AddLastFields();
    AppendHeaderText(out);
    return;
  }
  THeadLastLines last;
  last.connection = connection_to_write_;
  last.server = serverText;
  last.last_modified = &LastModified;
  last.etag = ETag;
  last.lines = &LastLines;
  AppendHead(out, last);
}

void ThttpResponse::AddLastLine(std::string_view line) {
  if (spare_lines_.empty()) {
    LastLines.emplace_back(line);
    return;
  }
  LastLines.push_back(std::move(spare_lines_.back()));
  spare_lines_.pop_back();
  if (LastLines.back() != line) LastLines.back().assign(line);
}

std::unique_ptr<ThttpResponse> CreateHTMLResponse(int32_t code, const std::string& reason,
                                                  const std::string& page) {
  auto response = std::make_unique<ThttpResponse>(code, "HTTP", 1, 1, page, nullptr, reason);
  response->SetContentType("text/html");
  response->GetHeader().AddField("Pragma", "no-cache");
  return response;
}

}  // namespace vt
