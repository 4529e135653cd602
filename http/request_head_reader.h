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

// A header line of a request is "name: value" with no blank or control byte
// (0 to 32) in the name, and no line begins with a blank (the obsolete
// folding of a field over several lines). Read here one way and by a proxy
// in front another, either would let a request hide a field from the proxy:
// both raise the 400 refusal (EhttpContent). A line without a colon passes
// (it is kept as an invalid field that names nothing). Returns where the
// colon is (npos: none).
std::size_t CheckRequestFieldLine(std::string_view line);

class TRequestHeadReader {
 public:
  TRequestHeadReader(TSocketStream& stream, const ThttpServerLimits& limits, TTCPServerClient& client);

  // The request line, into `line` (whose room is kept from request to
  // request); one longer than MaxRequestLine raises the 414 refusal. Empty
  // when the client closed in order before a request, or sent an empty line.
  void ReadRequestLine(std::string& line);
  // The header lines up to the empty line that ends them. Lines end in LF
  // or CR LF; a bare CR, a folded line, a blank in a field name or a second
  // Host field raise the 400 refusal.
  std::unique_ptr<THeader> ReadHeader();
  // The same, appending the fields to `into` (a block kept from request to
  // request); on an error it holds the fields read so far.
  void ReadHeader(THeader& into);

 private:
  void ReadHeadLine(std::string& line, std::int32_t maxLength, bool requestLine);
  // The header lines that are there already, all usual ones (see
  // UsualLineLength), added to `into` in place and passed in one step; true
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
};

}  // namespace vt
