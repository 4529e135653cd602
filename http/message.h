#pragma once

// HTTP messages: a start line, a header block and an optional body.
//
// AhttpMessage holds what requests and responses share: protocol and
// version, the header block, extra header lines (CustomLines) that
// PrepareHeader appends, and the body either as text or as a reader.
// ThttpRequest adds method, URI and connection preference; ThttpResponse
// adds status code, reason phrase and a byte range.
//
// The start line is cached text: GetStartLine recomposes it from the fields
// while StartLineValid is false (after a setter changed a start-line field),
// and SetStartLine parses it into the fields.
//
// Content-Type, Date and Content-Length, which nearly every answer carries
// at the end of its block, are first held as plain values (held lines) and
// written straight from them; they become fields the moment anyone is given
// the block to change (Header, GetHeader, ReleaseHeader), in the places they
// would have had, so that what the block holds and the bytes written are the
// same either way. Once the block was handed out, whoever holds it sees
// every field as it is set: no line is held until the block is replaced.
// The const Header() shows the block as it stands without changing the
// message; the held lines are read through GetContentType, HasContentLength
// and GetContentLength.
//
// One writer makes every head (AppendHead): the start line, the block's
// fields, the held lines, an answer's last lines and the empty line.
//
// Sending a response: Prepare (Date, custom lines, Content-Length or
// Content-Range, removal of body fields where the status allows no body),
// then WriteHeader and WriteContent. Receiving: SetHeaderText or a header
// read from a reader, then ReadContent.
//
// Ownership: a message owns its header block and custom line list, and its
// content reader when OwnsContentReader() is true. SetContentReader always
// takes ownership; only AssignPrototype (and so Duplicate) shares the
// prototype's reader without owning it, so such a copy must not outlive its
// prototype. The body readers ReadContent creates borrow the reader they read
// from (a connection's), which must outlive the message or its next
// ReadContent/SetContentReader.
//
// Messages are plain objects freed by whoever created them (the server frees
// its requests and responses); there is no owner component. A message is used
// by one thread at a time, and its events run synchronously on the thread
// that calls Prepare, WriteHeader or WriteContent.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/header.h"
#include "streams/reader.h"
#include "streams/writer.h"
#include "util/date_time.h"
#include "util/exception.h"
#include "util/maybe_owned.h"

namespace vt {

VT_EXCEPTION_CLASS(EhttpMessage, Exception);
VT_EXCEPTION_CLASS(EhttpRequest, EhttpMessage);
// AssignPrototype with a message of the other class.
VT_EXCEPTION_CLASS(EInvalidCast, Exception);

// A body whose framing cannot be accepted, raised by ReadContent before any
// of the body is read (or, for a chunked body read as text, when its
// framing breaks). StatusCode() is the answer a server gives: 400 for a
// Content-Length that is not a decimal number or disagrees with another
// Content-Length field ("Invalid Content-Length"), for a request with both
// Content-Length and Transfer-Encoding, with two Transfer-Encoding fields or
// with a coding list that is not exactly "chunked" but names no other
// coding, and for broken chunk framing (EChunkedContentFraming's text); 413
// for a body above the caller's maximum ("Content too large"); 501 for a
// request whose Transfer-Encoding names a coding other than chunked
// ("Unsupported Transfer-Encoding"). The server answers with that status
// and closes the connection.
class EhttpContent : public EhttpMessage {
 public:
  EhttpContent(int32_t statusCode, std::string message)
      : EhttpMessage(std::move(message)), status_code_(statusCode) {}

  int32_t StatusCode() const noexcept { return status_code_; }
  const char* ClassName() const noexcept override { return "EhttpContent"; }

 private:
  int32_t status_code_;
};

class AhttpMessage;
class ThttpRequest;

// A streamed response body whose reader failed part way: the answer is cut
// and the connection must end.
VT_EXCEPTION_CLASS(EStreamedContent, EhttpMessage);

// How the body that follows a message's header is delimited.
enum class TContentFraming {
  kNone,     // no body
  kSized,    // Content-Length bytes
  kChunked,  // the chunked transfer coding
  kToEnd,    // everything up to the end of the data
};

// Sender: the message.
using ThttpMessageEvent = std::function<void(AhttpMessage* sender)>;

// A header name that a message never holds as a value, so that a look-up in
// the block alone finds its field whenever there is one. It is made only
// from a constant, and a held name (Content-Type, Date, Content-Length) does
// not compile: the block alone would miss the line the message holds.
class TBlockName {
 public:
  // NOLINTNEXTLINE(google-explicit-constructor): written as a plain literal.
  consteval TBlockName(const char* name) : name_(name) {
    for (std::string_view held : {"content-type", "date", "content-length"}) {
      if (EqualFolded(name_, held)) throw "held as a value: ask the message, not its block";
    }
  }
  std::string_view View() const { return name_; }

 private:
  static consteval bool EqualFolded(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      const char c = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
      if (c != b[i]) return false;
    }
    return true;
  }

  std::string_view name_;
};

// The lines an answer's head ends with, after every field of its block and
// every held line: what the server adds last. Empty ones write nothing.
struct THeadLastLines {
  // -1 none, 0 "Connection: close", 1 "Connection: keep-alive".
  std::int8_t connection = -1;
  // The Server field's text before the server token; empty: no field.
  std::string_view server;
  const std::optional<int64_t>* last_modified = nullptr;
  std::string_view etag;
  const std::vector<std::string>* lines = nullptr;
};

// Splits a text into lines at CR LF, LF or CR; a line end at the very end
// adds no empty line, and an empty text gives no lines. The application
// gives a CGI program's header text to CustomLines this way.
std::vector<std::string> SplitTextLines(std::string_view text);

class AhttpMessage {
 public:
  AhttpMessage(const AhttpMessage&) = delete;
  AhttpMessage& operator=(const AhttpMessage&) = delete;
  // Releases the content reader, then frees the header and custom lines.
  virtual ~AhttpMessage();

  // --- Virtual operations, in their slot order ---

  // A new message of the same class with its defaults.
  virtual std::unique_ptr<AhttpMessage> CreateEmpty() const = 0;
  // Sets the start line from the fields.
  virtual void ComposeStartLine() = 0;
  // Sets the fields from the start line.
  virtual void ParseStartLine() = 0;
  // GetHeaderText, then GetContentText when HasContent.
  virtual std::string GetMessageText();
  // Splits at the first CR LF CR LF (all header text when there is none):
  // SetHeaderText with the first part, SetContentText with the rest.
  virtual void SetMessageText(std::string_view text);
  // Start line, CR LF, then the header block's text (or CR LF when there is
  // no block).
  virtual std::string GetHeaderText();
  // The first line goes to SetStartLine; the rest, when not empty, is parsed
  // into the header block (folded lines joined), else the block is dropped.
  virtual void SetHeaderText(std::string_view text);
  virtual std::string GetStartLine();
  virtual void SetStartLine(const std::string& line);
  virtual void SetMinorVersion(int32_t version);
  virtual void SetMajorVersion(int32_t version);
  virtual void SetProtocol(const std::string& protocol);
  // The header block, created empty when there is none.
  virtual THeader& GetHeader();
  // Frees the current block and takes `header` (which may be null).
  virtual void SetHeader(std::unique_ptr<THeader> header);
  // The custom line list, created empty when there is none.
  virtual std::vector<std::string>& GetCustomLines();
  // Copies the lines, or frees the list when `lines` is null.
  virtual void SetCustomLines(const std::vector<std::string>* lines);
  // The body as text. A body held by a reader that has not been read from
  // yet is read whole (ReadAllText) and kept as the text.
  virtual std::string GetContentText();
  // Releases the content reader and holds `text` as the body; ContentIsText
  // and HasContent become true exactly when the text is not empty.
  virtual void SetContentText(const std::string& text);
  // The content reader; one over the content text (owned) when there is
  // none.
  virtual AReaderEx* GetContentReader();
  // Releases the current reader and takes ownership of `reader`; a reader
  // sets HasContent. ContentIsText is left as it is.
  virtual void SetContentReader(std::unique_ptr<AReaderEx> reader);
  // The reader's size when there is a reader, else the text's length when
  // the body is text, else 0.
  virtual int64_t GetContentSize();
  // The Content-Length field's value (-1 when it is not a number) when the
  // field exists, else GetContentSize.
  virtual int64_t GetContentLength();
  virtual void SetContentLength(int64_t length);
  // Restores the defaults: Date field on, body on, HTTP/1.1.
  virtual void Init();
  // Sets a Date field (when AddDateField) in place of an existing one (a
  // held line when there is none), then appends every custom line with
  // THeader::AddFieldLine. Empty lines are
  // skipped: written into a header, one would end it early and turn the rest
  // of the header into body bytes.
  virtual void PrepareHeader();
  // Makes this message a copy of `prototype`: start line and its fields, a
  // duplicate of its header block and its held lines (the prototype is left
  // as it is), the body flags and text, its content reader (shared, not
  // owned), its custom lines. A null prototype raises EhttpMessage "No
  // prototype"; one of another class EInvalidCast.
  virtual void AssignPrototype(const AhttpMessage* prototype);
  // CreateEmpty, then AssignPrototype(this).
  virtual std::unique_ptr<AhttpMessage> Duplicate() const;
  // Reads the body that follows the header from `reader`, as the header
  // frames it:
  // - Transfer-Encoding "chunked": a chunked body (raw framing with
  //   rawChunks). A request must frame its body one way only: one
  //   Transfer-Encoding field of exactly "chunked" (any case) and no
  //   Content-Length beside it, else EhttpContent 400, or 501 when it names
  //   another coding, since its length cannot be known. Read as text, a
  //   chunked body whose framing breaks raises EhttpContent 400 too.
  // - Otherwise Content-Length: exactly that many bytes. Every Content-Length
  //   field must be a decimal number and all must agree, else EhttpContent
  //   400. 0 reads nothing.
  // - Otherwise, for a response only, a body with a Content-Type, or any
  //   body of a protocol other than HTTP, runs to the end of the data. A
  //   request without either field has no body (RFC 7230, 3.3.3).
  // With useReader the body becomes the content reader (a sized, chunked or
  // open-ended reader over `reader`, which it borrows) and is read later by
  // whoever takes it; otherwise it is read into the content text now, and
  // fewer bytes than a Content-Length announced raise EReader "Read error".
  // Memory grows only with bytes that arrived. maxSize (negative: no limit)
  // caps the body: a larger Content-Length, or a chunked or open-ended body
  // read as text that grows beyond it, raises EhttpContent 413. In reader
  // mode only a Content-Length is checked against it.
  virtual void ReadContent(AReaderEx& reader, bool useReader, bool rawChunks, int64_t maxSize = -1);
  // Writes GetHeaderText in one piece, then fires OnHeaderWritten.
  virtual void WriteHeader(AWriterEx& writer);
  // Without HasContent: -1 and nothing written. Otherwise the text, or the
  // content reader from its position copied in blocks of 2048 bytes (a
  // measured file up to its size: handed to a writer that sends file ranges
  // itself, else in blocks as large as it needs, up to 64 KiB); the number
  // of bytes written. Then fires OnContentWritten.
  virtual int64_t WriteContent(AWriterEx& writer);

  // --- Other operations ---

  // OnBeforePrepare, PrepareHeader, OnAfterPrepare.
  void Prepare();
  // Appends the text GetHeaderText makes to `out` (the server makes a
  // response header in a buffer that its connection keeps).
  void AppendHeaderText(std::string& out) { AppendHead(out, THeadLastLines()); }
  // Frees the content reader when owned; the message has no reader after.
  void ReleaseContentReader();
  // Hands the header block over (null when there is none); the message has
  // none after. A server keeps it for its next request.
  std::unique_ptr<THeader> ReleaseHeader() {
    MakeHeldFields();
    block_handed_out_ = false;
    return std::move(header_);
  }

  std::string GetContentType() const;
  // Sets the Content-Type field in place, or adds it: as a held line when
  // it goes last.
  void SetContentType(std::string_view type);
  // A Content-Length field is there (or a held line of it).
  bool HasContentLength() const;
  // The framing ReadContent follows (see there), checked without reading:
  // raises the same EhttpContent errors for a framing it refuses and for a
  // Content-Length above maxSize. `length` gets the Content-Length for
  // kSized (never 0: a length of 0 is kNone), else 0. Held lines become
  // fields first.
  TContentFraming GetContentFraming(int64_t maxSize, int64_t& length);
  // The Transfer-Encoding value up to its first ";", trimmed, lower-cased.
  std::string GetTransferEncoding() const;
  // "HTTP/1.1": protocol, "/", major, ".", minor.
  std::string GetVersionText() const;
  // The protocol is empty or exactly "HTTP".
  bool IsHTTP() const;
  // HTTP (or no protocol) at version 0.x or 1.0.
  bool IsHTTP10OrEarlier() const;
  // Exactly "HTTP" at version 1.1 or later; a line without version is not.
  bool IsHTTP11OrLater() const;
  // A Content-Type without Content-Length, Content-Range or chunked coding:
  // only closing the connection can end such a body.
  bool IsLengthUndetermined() const;

  // --- State ---

  const std::string& Protocol() const { return protocol_; }
  int32_t MajorVersion() const { return major_version_; }
  int32_t MinorVersion() const { return minor_version_; }
  bool StartLineValid() const { return start_line_valid_; }
  // The header block, or null when there is none, handed out: held lines
  // become fields first, and from now on every field goes into it.
  THeader* Header() {
    MakeHeldFields();
    if (header_) block_handed_out_ = true;
    return header_.get();
  }
  // The block as it stands, without the held lines (see the top).
  const THeader* Header() const { return header_.get(); }
  // The custom lines, or null when there are none.
  const std::vector<std::string>* CustomLines() const { return custom_lines_.get(); }
  bool ContentIsText() const { return content_is_text_; }
  // The content reader as it is (null when there is none).
  AReaderEx* ContentReader() const { return content_reader_.Get(); }
  bool OwnsContentReader() const { return content_reader_.Owns(); }

  // PrepareHeader adds a Date field.
  bool AddDateField = true;
  // The message carries a body; false suppresses it (a HEAD answer).
  bool HasContent = true;

  ThttpMessageEvent OnBeforePrepare;
  ThttpMessageEvent OnAfterPrepare;
  ThttpMessageEvent OnHeaderWritten;
  ThttpMessageEvent OnContentWritten;

 protected:
  AhttpMessage() = default;

  // Whether a body without Content-Length or chunked coding runs to the end
  // of the data. Requests never have such a body.
  virtual bool ContentMayRunToEnd() const { return true; }

  // The base size, which a response's range override does not change.
  int64_t WholeContentSize() { return AhttpMessage::GetContentSize(); }
  // The body text as held, without reading a content reader.
  const std::string& StoredContentText() const { return content_text_; }
  // Stores parsed start-line fields without touching StartLineValid.
  void StoreVersion(const std::string& protocol, int32_t major, int32_t minor) {
    protocol_ = protocol;
    major_version_ = major;
    minor_version_ = minor;
  }
  // The same, for a parse that writes the protocol name in place (most
  // lines name the one it holds already).
  void StoreVersion(int32_t major, int32_t minor) {
    major_version_ = major;
    minor_version_ = minor;
  }
  std::string& ProtocolInPlace() { return protocol_; }
  // The fields changed: GetStartLine composes the line again.
  void InvalidateStartLine() { start_line_valid_ = false; }
  // The block has a field `name` / its value (empty when there is none);
  // the held lines are never asked for.
  bool BlockHasField(TBlockName name) const { return header_ && header_->HasField(name.View()); }
  std::string BlockFieldValue(TBlockName name) const {
    return header_ ? header_->GetFieldValue(name.View()) : std::string();
  }
  // The one writer of a head: the start line, CR LF, the block's fields,
  // the held lines, `last`, and the empty line that ends the head.
  void AppendHead(std::string& out, const THeadLastLines& last);
  // SetHeader with a block nobody else holds (one this message had before
  // and emptied): held lines may follow its fields.
  void SetOwnHeader(std::unique_ptr<THeader> header);
  // Content-Length `length` as the only such field: in place of the first
  // one, the others deleted, or a held line when there is none.
  void SetContentLengthLine(int64_t length);
  // Back to the state of a message just made, with its header block and
  // custom lines gone, keeping what the strings hold in reserve.
  void ResetMessage();
  // ResetMessage, handing over the header block emptied (without its held
  // lines, which need not become fields first), or null when there is none.
  std::unique_ptr<THeader> TakeEmptiedBlock();

  std::string start_line_;

 private:
  // Held lines, in the order they are written: each set bit stands for a
  // field after every field of the block, in this order.
  enum : std::uint8_t { kHeldContentType = 1, kHeldDate = 2, kHeldContentLength = 4 };
  struct THeldLines {
    std::uint8_t set = 0;
    std::string content_type;
    TDateTime date = 0;
    int64_t content_length = 0;
  };
  // The line `line` can be held: no field of that name in the block and no
  // held line set that is written after it.
  bool HeldLineFits(std::uint8_t line, std::string_view name) const;
  // The held lines become fields at the end of the block.
  void MakeHeldFields() {
    if (held_.set != 0) MakeHeldFieldsNow();
  }
  void MakeHeldFieldsNow();

  bool start_line_valid_ = false;
  std::string protocol_ = "HTTP";
  int32_t major_version_ = 1;
  int32_t minor_version_ = 1;
  std::unique_ptr<THeader> header_;
  THeldLines held_;
  // The block was handed out (Header, GetHeader, SetHeader): no line is
  // held, so that whoever holds it sees each field when it is set.
  bool block_handed_out_ = false;
  std::unique_ptr<std::vector<std::string>> custom_lines_;
  bool content_is_text_ = false;
  std::string content_text_;
  // A prototype's reader is shared, not owned.
  TMaybeOwned<AReaderEx> content_reader_;
};

class ThttpRequest : public AhttpMessage {
 public:
  ThttpRequest();
  // SetStartLine, SetHeader, SetContentText in this order.
  ThttpRequest(const std::string& startLine, const std::string& contentText, std::unique_ptr<THeader> header);

  std::unique_ptr<AhttpMessage> CreateEmpty() const override;
  // Method, URI and version; with ProxyRequest an absolute URI made from the
  // URI, the host (Host field) and Port.
  void ComposeStartLine() override;
  // Method, decoded path (URI), query as sent and version; a target in
  // absolute form gives its path, and its host goes to TargetHost and
  // SetHost.
  void ParseStartLine() override;
  void Init() override;
  // The base steps; then EhttpRequest "Host must be set for HTTP/1.1
  // request." for an HTTP/1.1 request without host, Content-Length for a
  // text body, and the connection field for ConnectionMode 1 or 2.
  void PrepareHeader() override;
  void AssignPrototype(const AhttpMessage* prototype) override;
  // Becomes what ThttpRequest(startLine, "", nullptr) makes, keeping its
  // strings' memory: a server reads every request of a connection into the
  // same object. Nothing of the request before is left.
  void Reuse(const std::string& startLine);

  // The decoded path, then "?" and the query as sent when there is one:
  // the request target as people read it (the access log shows it).
  std::string GetPathAndQuery() const;
  // TargetHost, else the Host field's value, else the host of an absolute
  // URI set as URI.
  std::string GetHost() const;
  // "host:port": the Host field gets the host, Port the port when there is
  // one.
  void SetHost(std::string_view hostAndPort);
  std::string GetReferer() const;
  std::string GetAuthorization() const;
  std::string GetUserAgent() const;
  std::string GetCookie() const;
  // The decoded "user:password" of a Basic Authorization value, else empty.
  std::string GetBasicCredentials() const;
  // The first byte range of the Range field (ParseByteRange); false, and
  // both -1, when there is none that applies.
  bool GetRange(int64_t& start, int64_t& end) const;
  // Sets the field `name` to "keep-alive" or "close".
  void SetConnectionField(std::string_view name, bool keepAlive);

  std::string Port;
  std::string Method = "GET";
  // The path of the request target, stored decoded.
  std::string URI = "/";
  // The query of the request target as sent (still encoded), without its
  // "?"; empty when there is none.
  std::string Query;
  // The host (and port) of a request target in absolute form
  // ("http://host:port/path"); empty for any other target.
  std::string TargetHost;
  // 0 no preference, 1 keep-alive, 2 close.
  uint8_t ConnectionMode = 0;
  // The start line carries an absolute URI and the connection field is
  // "Proxy-Connection".
  bool ProxyRequest = false;

 protected:
  bool ContentMayRunToEnd() const override { return false; }
};

class ThttpResponse : public AhttpMessage {
 public:
  ThttpResponse();
  // Protocol and versions are stored as they are (the start line is composed
  // later); then SetHeader, SetContentText, SetStatusCode.
  ThttpResponse(int32_t statusCode, const std::string& protocol, int32_t majorVersion, int32_t minorVersion,
                const std::string& contentText, std::unique_ptr<THeader> header,
                const std::string& reasonPhrase);

  std::unique_ptr<AhttpMessage> CreateEmpty() const override;
  // Becomes what ThttpResponse(statusCode, "HTTP", 1, 1, "", nullptr,
  // reasonPhrase) makes, but keeps its header block (emptied) and the memory
  // of its strings and lists: a server answers every request of a
  // connection with the same object. Nothing of the answer before is left.
  void Reuse(int32_t statusCode, const std::string& reasonPhrase);
  void ComposeStartLine() override;
  void ParseStartLine() override;
  // With a range set, the length of the range of the whole body.
  int64_t GetContentSize() override;
  // The base steps, then the body fields:
  // - 1xx, 204, 304: every Content-Length and Transfer-Encoding field goes
  //   and HasContent becomes false.
  // - 206: Content-Range "bytes a-b/size" and Content-Length the range's
  //   length. A range that selects nothing turns the answer into 416
  //   "Requested Range Not Satisfiable" with Content-Range "bytes */size",
  //   an empty body and Content-Length 0. A body of unknown size cannot be
  //   cut: the answer becomes a 200 with the whole body.
  // - Others, unless chunked: Content-Length is the body's size, 0 for no
  //   body, so that a kept-alive client always knows where the body ends.
  // - A body streamed from a reader of unknown size (GetSize() -1): an
  //   HTTP/1.1 answer gets Transfer-Encoding "chunked" and WriteContent
  //   frames it; an older one gets no framing field, so the connection's
  //   close ends the body.
  // A generated Content-Length replaces the first such field in place and
  // removes any others.
  void PrepareHeader() override;
  void AssignPrototype(const AhttpMessage* prototype) override;
  // With a range set: exactly the range's bytes of the whole body, or 0 bytes
  // when it selects nothing; OnContentWritten does not fire. A streamed body
  // goes in large blocks, in chunk framing where PrepareHeader chose it: one
  // chunk for each Read of its reader, then the last chunk. A Read that gives fewer
  // bytes than asked says the source has no more at once: what is gathered
  // goes to the client (AWriter::Flush) before the next Read, so a program
  // that writes a line now and then is seen as it writes. A reader that
  // fails (raises) ends the answer without its last chunk, so no client
  // takes a cut body for a whole one, and raises EStreamedContent.
  // Otherwise the base version.
  int64_t WriteContent(AWriterEx& writer) override;

  // Stores the code; 1xx answers carry no Date field.
  void SetStatusCode(int32_t code);
  // Turns the answer into a 206 for the range start..end (-1 where missing),
  // with the standard reason phrase; PrepareHeader makes it a 416 when the
  // range selects nothing of the body.
  void SetRange(int64_t start, int64_t end);
  // "Server": text + " " + kHTTPServerToken, or the token alone, set as a new
  // field in place of an existing one.
  void SetServerField(std::string_view text);
  // For an HTTP request (or one without version): HTTP/1.0 to a 1.0 or older
  // request, else HTTP/1.1.
  void MatchRequestVersion(const ThttpRequest& request);
  // False for "Connection: close" (any case), and for an HTTP/1.0 answer
  // without a Connection field; true otherwise.
  bool GetKeepAlive() const;
  // "Connection": "keep-alive" or "close".
  void SetConnectionField(bool keepAlive);
  // The same for an answer about to go out through AppendFinalHeaderText: a
  // Connection field already there is set in place; otherwise the line is
  // written after the other fields, where SetConnectionField would append
  // it, without a field object (GetKeepAlive still tells it).
  void SetConnectionFieldForWriting(bool keepAlive);
  // Adds the fields that follow every other one: Last-Modified and ETag from
  // the validators (when set), then LastLines, each with
  // THeader::AddFieldLine. The server calls it once, after the Server field.
  void AddLastFields();
  // Appends the header text the answer has after SetServerField(serverText)
  // (only when serverText is not empty) and AddLastFields, as
  // AppendHeaderText would write it. Those lines are written (AppendHead)
  // after the others rather than made as fields first, so they do not join
  // the block; when it already holds a Server, Last-Modified or ETag field
  // that they would set in place, they are made as fields after all.
  void AppendFinalHeaderText(std::string& out, std::string_view serverText);
  // Appends `line` to LastLines in the memory of a line the object held
  // before Reuse, when it has one.
  void AddLastLine(std::string_view line);

  int32_t StatusCode = 0;
  // Empty: the standard phrase of the code.
  std::string ReasonPhrase;
  // The byte range to send, -1 where missing; both -1: the whole body.
  int64_t RangeStart = -1;
  int64_t RangeEnd = -1;
  // The validators of the body (RFC 9110 §8.8), set by whoever makes an
  // answer from a file: a strong entity tag, quotes included (empty: none),
  // and the modification time in seconds since the Unix epoch. An answer
  // with validators is subject to the request's conditions
  // (http/conditional.h).
  std::string ETag;
  std::optional<int64_t> LastModified;
  // Header lines written after every other field, those the server makes
  // (Date, Content-Length, Connection, Server) included, so that what an
  // application adds leaves those where they always are.
  std::vector<std::string> LastLines;

 private:
  // Lines of LastLines before Reuse, kept for AddLastLine.
  std::vector<std::string> spare_lines_;
  // SetConnectionFieldForWriting's line still to write: -1 none, 0 close,
  // 1 keep-alive.
  std::int8_t connection_to_write_ = -1;
  // PrepareHeader found a streamed body (a reader of unknown size), and
  // chose chunk framing for it.
  bool streamed_body_ = false;
  bool chunked_body_ = false;

  // A streamed body in large blocks, chunked or as it is.
  int64_t WriteStreamedContent(AWriterEx& writer);
};

// A response with the code, HTTP/1.1, the page as its body and the reason;
// then Content-Type "text/html" and a "Pragma: no-cache" field appended.
std::unique_ptr<ThttpResponse> CreateHTMLResponse(int32_t code, const std::string& reason,
                                                  const std::string& page);

}  // namespace vt
