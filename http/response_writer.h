#pragma once

// TResponseWriter: the writer a response is sent through.
//
// It gathers the header and the body into pieces of SendBlock bytes before
// handing them to the connection, and after each piece waits while more than
// MaxQueuedSend bytes wait in the connection's send queue, so that a slow
// client never has a whole body copied into memory. Bytes still gathered
// when the writer goes away are dropped (Flush sends them). Its position
// counts the bytes it accepted.
//
// A file range larger than a piece leaves straight from the file
// (sendfile) while the connection is not throttled: after the gathered
// header, in the same segment, without passing through memory.
// A throttled connection gets the range copied through the queue, within
// its budget as every other byte.
//
// Threads: the thread that owns the connection (the client's worker).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "http/limits.h"
#include "sockets/socket_stream.h"
#include "streams/writer.h"
#include "tcpserver/server_client.h"

namespace vt {

// A response body that went on past its announced length.
VT_EXCEPTION_CLASS(EContentOverrun, EWriter);

class AhttpMessage;
class ThttpResponse;

class TResponseWriter : public AWriterEx, public IFileRangeWriter {
 public:
  // `client`, when given, is told while the writer waits for the peer to
  // take bytes (TTCPServerClient::MarkSendWait). `buffer` (optional) is
  // where the writer gathers: a connection keeps one from response to
  // response, so that its capacity is made once. It is emptied when the
  // writer goes away.
  TResponseWriter(TSocketStream& stream, const ThttpServerLimits& limits, TTCPServerClient* client = nullptr,
                  std::string* buffer = nullptr);
  ~TResponseWriter() override;
  TResponseWriter(const TResponseWriter&) = delete;
  TResponseWriter& operator=(const TResponseWriter&) = delete;

  int64_t GetPosition() override;
  void SetPosition(int64_t position) override;
  int64_t GetSize() override { return -1; }
  void SetSize(int64_t) override;

  // The writer takes no byte past `position`: one more raises
  // EContentOverrun (what fits goes out first). A body that grows while it
  // is sent (a file appended to) must not run past its announced length,
  // where the client would take it for the next answer.
  void LimitTo(int64_t position) { limit_ = position; }

  int32_t Write(const char* buffer, int32_t count) override;
  void WriteText(const std::string& text) override;
  // The answer's final header text (ThttpResponse::AppendFinalHeaderText),
  // made straight in the gathering buffer.
  void WriteHeader(ThttpResponse& response, std::string_view serverText);

  // Hands what is gathered to the connection, then waits while too much is
  // queued: "Write error" when the connection ends meanwhile, or when the
  // client takes nothing for the stream's TimeOut.
  void Flush() override;

  int64_t WriteFileRange(int handle, int64_t offset, int64_t count) override;

  // Waits until the system has taken every byte handed to the connection
  // (call Flush first); false when the connection ends meanwhile, or the
  // client takes nothing for the stream's TimeOut.
  bool WaitSent();

 private:
  // Wait steps while `busy()` holds, for the client to take data: "Write
  // error" when the connection ends meanwhile, or when the send queue does
  // not get shorter (nor the socket writable) for the stream's TimeOut.
  template <typename Busy>
  void WaitWhile(Busy busy);

  TSocketStream& stream_;
  TTCPServerClient* client_;
  std::size_t block_;
  std::int64_t max_queued_;
  std::int64_t limit_ = -1;
  std::string own_buffer_;
  std::string& buffer_;
};

}  // namespace vt
