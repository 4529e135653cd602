#pragma once

// A request body that the application reads itself, as it arrives, rather
// than one the server reads whole into memory before the application sees
// the request (an upload, or a program's standard input).
//
// The application asks for it from the request's head (see
// AhttpServerClient::StreamRequestBody); the server then sets a
// ThttpRequestBodyReader as the request's content reader instead of reading
// the body. The reader keeps every rule the server keeps for a body it reads
// itself:
// - the framing: exactly Content-Length bytes, or the chunked coding read
//   strictly (http/content_readers.h); the chunked reader is made at the
//   first read, so a handler can start its work before any body byte came;
// - the size: a chunked body that grows past the byte limit raises
//   EhttpContent 413 (a larger Content-Length is refused before the handler
//   runs); broken chunk framing EhttpContent 400;
// - the time: the whole body must be in by its deadline (the server's
//   RequestBodyTime from the end of the head): each read waits no later
//   than it, and a body that stops short past it raises EhttpContent 408.
//   A body that stops short before (the client went away, or fell silent
//   for the connection's time-out) raises EReader "Request body cut short".
// A raised EhttpContent that reaches the server is answered as the server
// answers a refused body (its status and the close) when no answer went
// out yet.
//
// Read blocks until bytes come (it is the connection's own worker thread);
// a caller that must not block asks the connection how much is buffered
// first and reads no more than that.
//
// Ownership and threads: it borrows the connection's reader and read
// deadline, which outlive the request; one thread (the connection's worker).

#include <cstdint>
#include <functional>
#include <memory>

#include "http/message.h"
#include "platform/event_queue.h"
#include "streams/reader.h"

namespace vt {

class ThttpRequestBodyReader : public AReaderEx {
 public:
  // `framing` and `length` as GetContentFraming gave them (kSized or
  // kChunked); `maxBytes`: the most body bytes taken; `deadline`: when the
  // body must be in; `readDeadline`: the connection's bound on its reads,
  // set to `deadline` while a read waits and cleared after (null: none).
  ThttpRequestBodyReader(AReaderEx& source, TContentFraming framing, int64_t length, int64_t maxBytes,
                         Deadline deadline, Deadline* readDeadline);
  ~ThttpRequestBodyReader() override;

  // The body bytes delivered so far.
  int64_t GetPosition() override { return position_; }
  // Only the current position; anything else raises EReader.
  void SetPosition(int64_t position) override;
  // Content-Length for a sized body; for a chunked one its size once it
  // has been read whole, else -1.
  int64_t GetSize() override;
  // Up to `count` body bytes, waiting for at least one; 0 at the end. Raises
  // as the top says.
  int32_t Read(char* buffer, int32_t count) override;
  // The whole body has been delivered.
  bool AtEnd() override { return at_end_; }

  // Called once, when the whole body has been delivered.
  std::function<void()> OnEnd;

 private:
  // The body ended short: 408 past the deadline, else a read error.
  [[noreturn]] void RaiseCutShort();
  void Finish();

  AReaderEx& source_;
  TContentFraming framing_;
  int64_t length_;
  int64_t max_bytes_;
  Deadline deadline_;
  Deadline* read_deadline_;
  // The chunk decoder, made at the first read.
  std::unique_ptr<AReaderEx> chunked_;
  int64_t position_ = 0;
  bool at_end_ = false;
};

}  // namespace vt
