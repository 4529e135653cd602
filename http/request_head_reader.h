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

#include <cstdint>
#include <memory>
#include <string>

#include "http/header.h"
#include "http/limits.h"
#include "sockets/socket_stream.h"
#include "tcpserver/server_client.h"

namespace vt {

class TRequestHeadReader {
 public:
  TRequestHeadReader(TSocketStream& stream, const ThttpServerLimits& limits, TTCPServerClient& client);

  // The request line, cut at MaxRequestLine bytes (the byte after the cut
  // is taken as its line end). Empty when the client closed in order
  // before a request, or sent an empty line.
  std::string ReadRequestLine();
  // The header lines up to the empty line that ends them.
  std::unique_ptr<THeader> ReadHeader();

 private:
  std::string ReadHeadLine(std::int32_t maxLength, bool cut);
  void SkipLineEnd();
  template <typename Ready>
  bool WaitForHead(Ready ready);

  TSocketStream& stream_;
  const ThttpServerLimits& limits_;
  TTCPServerClient& client_;
  bool started_ = false;  // the first byte of the request line is there
  Deadline deadline_{};   // the head's own time limit, once started
  std::int64_t bytes_ = 0;
};

}  // namespace vt
