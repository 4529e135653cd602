#pragma once

// TRequestHeadReader: reads one request head (the request line, then the
// header lines) from a connection, within the bounds of ThttpServerLimits.
//
// The head is read straight from the connection's buffer, a line at a time:
// a line is taken once its end is there, so a head is never re-read. While
// it waits for the request line the client is marked idle (it may be closed
// to make way for a new connection, TTCPServerClient::SetIdle); the head's
// own time limit runs from its first byte, and the server's TimeOut bounds
// every silence. A head past a size or time limit raises EhttpContent with
// the status that refuses it; a connection that ends or fails raises
// "Read error" (EReader).
//
// Threads: the client's worker, which owns the connection. One reader per
// request head.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "http/header.h"
#include "http/limits.h"
#include "sockets/socket_stream.h"
#include "tcpserver/server_client.h"

namespace vt {

// Whether `line` (a line of a request head without its line end) is free of
// the bytes no such line may hold: the controls 0 to 31 other than HTAB, and
// DEL (127). Bytes 128 to 255 pass (obs-text in field values). Read as a
// blank by one reader and as part of a value by another, such a byte could
// make a proxy in front frame the request differently from this server.
bool IsCleanHeadLine(std::string_view line) noexcept;

// A header line of a request is "name: value": the name a token (RFC 9110,
// 5.1: letters, digits and !#$%&'*+-.^_`|~), not empty, ended by the colon;
// the value may hold HTAB, visible bytes and 128 to 255; no line begins with
// a blank (the obsolete folding of a field over several lines). Read here one
// way and by a proxy another, any other line could hide a field from the
// proxy: each raises the 400 refusal (EhttpContent). Returns where the colon
// is.
std::size_t CheckRequestFieldLine(std::string_view line);

// A request line is "method SP target SP HTTP/d.d": the method and the
// target without blanks, tabs or control bytes, one SP between them, and
// the version as written (the protocol name is case-sensitive, RFC 9112
// 2.3). A line of a method and a target alone passes (an HTTP/0.9 request;
// it has no header). Any other line raises the 400 refusal; a version whose
// major number is not 1 raises the 505 refusal. Returns the minor version,
// -1 for no version.
int CheckRequestLine(std::string_view line);

// The length (line end not counted) of the usual line at the front of
// `bytes`, which the reader takes in one step: all there, ended by CR LF,
// no other CR or LF, no byte IsCleanHeadLine refuses (and no tab in a
// request line), at most `maxLength` long. npos for any other line, which
// is read the careful way, its limits, waits and refusals included.
std::size_t UsualHeadLineLength(std::string_view bytes, std::int64_t maxLength, bool requestLine);

class TRequestHeadReader {
 public:
  TRequestHeadReader(TSocketStream& stream, const ThttpServerLimits& limits, TTCPServerClient& client);

  // The request line, into `line` (whose room is kept from request to
  // request); one longer than MaxRequestLine raises the 414 refusal, one that
  // CheckRequestLine refuses its refusal. A few empty lines before it are
  // passed over (a client may end a body with one more CR LF, RFC 9112 2.2).
  // Empty when the client closed in order before a request, or sent more
  // empty lines than that.
  void ReadRequestLine(std::string& line);
  // The header lines up to the empty line that ends them. Lines end in LF
  // or CR LF; a bare CR, a line CheckRequestFieldLine refuses, a second Host
  // field, or no Host field in an HTTP/1.1 request raise the 400 refusal.
  std::unique_ptr<THeader> ReadHeader();
  // The same, appending the fields to `into` (a block kept from request to
  // request); on an error it holds the fields read so far.
  void ReadHeader(THeader& into);

 private:
  // One wait for a request and its first line (empty: see ReadRequestLine).
  void ReadRequestLineOnce(std::string& line);
  // One line of the head, its bytes checked (IsCleanHeadLine).
  void ReadHeadLine(std::string& line, std::int32_t maxLength, bool requestLine);
  // The same, unchecked; true when it was taken the usual way, whose bytes
  // are checked as it is found (UsualHeadLineLength).
  bool ReadHeadLineBytes(std::string& line, std::int32_t maxLength, bool requestLine);
  // The header lines that are there already, all usual ones (see
  // UsualHeadLineLength), added to `into` in place and passed in one step; true
  // once the empty line that ends the header was among them. Stops at the
  // first line that is not all there or not usual: the careful way reads
  // that one.
  bool TakeUsualFieldLines(THeader& into, std::int32_t& lines, int& hosts);
  // Checks one header line and adds it to `into`, counting its Host fields.
  void AddFieldLine(THeader& into, std::string_view line, std::int32_t& lines, int& hosts);
  // Takes `count` bytes that are there into `line`.
  void TakeBytes(std::string& line, std::int32_t count);
  void SkipLineEnd();
  template <typename Ready>
  bool WaitForHead(Ready ready);

  TSocketStream& stream_;
  const ThttpServerLimits& limits_;
  TTCPServerClient& client_;
  bool started_ = false;  // the first byte of the request line is there
  Deadline deadline_{};   // the head's own time limit, once started
  Deadline woke_at_{};    // the clock as WaitForHead last woke with its bytes there; {}: it did not wait
  std::int64_t bytes_ = 0;
  bool needs_host_ = false;  // the request line said HTTP/1.1 or later
};

}  // namespace vt
