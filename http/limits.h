#pragma once

// The limits of the HTTP server: every bound that protects a connection's
// worker and the process's memory against what a peer sends, or fails to
// send, in one place.
//
// Past a size limit of the request head or body the server answers with the
// HTML error page and the status named below, then closes the connection.
// At no point has it held more of the request than the limit (the socket
// layer may hold one more read's worth, the size of the system's receive
// buffer, which it reads in one go).
//
// AhttpServer::Limits starts with these values; each client takes a copy
// when it is made, so a change reaches the connections accepted afterwards.

#include <cstdint>

namespace vt {

struct ThttpServerLimits {
  // The request line, without its line end. A longer one: 414 "Request-URI
  // Too Long". (Cutting it there would read its rest as a header line the
  // client never meant.) The number is part of the protocol this server has
  // always spoken, not a tuning value.
  int32_t MaxRequestLine = 4096;

  // One header line, without its line end. A longer one: 400 "Bad Request".
  // (A long cookie fits; a header line of this size is otherwise an attack.)
  int32_t MaxHeaderLine = 8192;

  // Header lines of one request. More: 400 "Bad Request".
  int32_t MaxHeaderLines = 100;

  // The whole request head: the request line, every header line and the
  // empty line that ends the head, line ends included. More: 400 "Bad
  // Request".
  int32_t MaxRequestHead = 65536;

  // A request body, which is read whole into memory before the application
  // sees the request. A larger Content-Length is refused before any of the
  // body is read, a chunked body as soon as it grows past the limit: 413
  // "Request Entity Too Large". Only CGI programs take a body (a form's
  // POST), so a limit for form posts is plenty.
  int64_t MaxRequestBody = 1024 * 1024;

  // Milliseconds from the first byte of a request line until its head must
  // be complete. A client that trickles the head, a byte now and then, would
  // otherwise hold a worker for as long as each byte comes within TimeOut:
  // it gets 408 "Request Timeout" instead. (Waits for the first byte, for
  // the next request on a kept-alive connection, and within the body are
  // bounded by the server's TimeOut of silence.)
  std::uint32_t RequestHeadTime = 30000;

  // Milliseconds from the end of a request's head until its body must be
  // complete: a client that trickles the body, a byte now and then, would
  // otherwise hold a worker for as long as each byte comes within TimeOut.
  // It gets 408 "Request Timeout" instead. A body of MaxRequestBody still
  // fits at 140 kbit/s.
  std::uint32_t RequestBodyTime = 60000;

  // The bounds below decide which connection gives way while the client
  // list is full (MaxClients) and a new connection waits for a place; they
  // never apply otherwise. The order is the give-way policy's
  // (tcpserver/give_way.h): connections idle longest first, after
  // ATCPServer::IdleGiveWayTime; then a request too slow; then an answer
  // its client has stopped taking; last, one of the host holding the most
  // places when the newcomer comes from another host, and never one whose
  // client is taking its answer.)

  // Bytes per second a request must average, from its first byte until its
  // body has been read, once it has run MinRequestRateGrace ms: a slower
  // one gives way. Trickled heads and bodies hold a place for their whole
  // time limit otherwise; a person's client, even on a slow line, sends a
  // head in one go and a form far faster.
  std::int32_t MinRequestRate = 500;
  std::int32_t MinRequestRateGrace = 2000;

  // Milliseconds a connection may take no byte of its answer (the system
  // takes nothing from its queue) before it gives way: a client that asks
  // for a large file and never reads would hold its place until TimeOut. A
  // throttled connection whose client reads at the set rate takes bytes
  // all the time, and never gives way for this. Progress is what the
  // client acknowledged, not whether the system's queue has room. While
  // the list is full and someone waits, 10 s without a byte taken is
  // enough (kFullListStallMs): a newcomer should not wait this long.
  std::int32_t SendStallTime = 30000;

  // Connections the server accepts and holds, unserved, while the list is
  // full, so that it knows where they come from (a connection left in the
  // system's queue has no known address): one address must not keep the
  // others out. Past it, the newest connection of the address with the
  // most held is closed; while every held one comes from another address,
  // newer connections wait in the system's queue. Each costs a descriptor.
  std::int32_t MaxWaitingConnections = 64;

  // Milliseconds the server goes on reading (and discarding) after it has
  // sent an answer and shut down its sending side on a connection it closes
  // while the client may still be sending: closing with unread input would
  // make the system reset the connection, which can destroy the answer
  // before the client has read it. Ends earlier when the client closes.
  std::uint32_t LingerTime = 2000;

  // Bytes of a response that may wait in the connection's send queue, beyond
  // what the system has taken, before the body copy waits for the client to
  // read. Without it a slow or throttled client would have the whole body
  // copied into memory at once.
  int32_t MaxQueuedSend = 256 * 1024;

  // The response is handed to the connection in pieces of up to this many
  // bytes (the header with the start of the body in the first), so that a
  // body costs one send per piece rather than one per copy block.
  int32_t SendBlock = 32 * 1024;
};

}  // namespace vt
