#include "http/response_writer.h"

#include <algorithm>
#include <chrono>

#include "http/message.h"

namespace vt {

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds Ms(std::uint32_t ms) { return std::chrono::milliseconds(ms); }

constexpr std::size_t kKeptBufferCapacity = 8 * 1024;

}  // namespace

TResponseWriter::TResponseWriter(TSocketStream& stream, const ThttpServerLimits& limits,
                                 TTCPServerClient* client, std::string* buffer)
    : stream_(stream),
      client_(client),
      block_(std::max(limits.SendBlock, 1)),
      max_queued_(limits.MaxQueuedSend),
      buffer_(buffer ? *buffer : own_buffer_) {
  buffer_.clear();
}

TResponseWriter::~TResponseWriter() {
  // A kept buffer holds on to what a small answer needs; the room a large
  // one took goes back, so that an idle connection stays small.
  if (buffer_.capacity() > kKeptBufferCapacity) {
    std::string().swap(buffer_);
  } else {
    buffer_.clear();
  }
}

void TResponseWriter::WriteHeader(ThttpResponse& response, std::string_view serverText) {
  if (limit_ >= 0 || !buffer_.empty()) {
    std::string text;
    response.AppendFinalHeaderText(text, serverText);
    WriteText(text);
    return;
  }
  response.AppendFinalHeaderText(buffer_, serverText);
  if (buffer_.size() >= block_) Flush();
}

int64_t TResponseWriter::GetPosition() {
  return stream_.Writer()->GetPosition() + static_cast<int64_t>(buffer_.size());
}

void TResponseWriter::SetPosition(int64_t position) {
  if (position != GetPosition()) throw EWriter("SetPosition failed");
}

void TResponseWriter::SetSize(int64_t) { throw EWriter("SetSize failed"); }

int32_t TResponseWriter::Write(const char* buffer, int32_t count) {
  if (limit_ >= 0 && GetPosition() + count > limit_) {
    const auto room = static_cast<int32_t>(std::max<int64_t>(limit_ - GetPosition(), 0));
    limit_ = -1;
    Write(buffer, room);
    Flush();
    throw EContentOverrun("The content is longer than announced");
  }
  int32_t done = 0;
  while (done < count) {
    const std::size_t room = block_ - buffer_.size();
    const std::size_t n = std::min(room, static_cast<std::size_t>(count - done));
    buffer_.append(buffer + done, n);
    done += static_cast<int32_t>(n);
    if (buffer_.size() >= block_) Flush();
  }
  return std::max(count, 0);
}

void TResponseWriter::WriteText(const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const auto n = static_cast<int32_t>(std::min<std::size_t>(text.size() - done, block_));
    Write(text.data() + done, n);
    done += static_cast<std::size_t>(n);
  }
}

void TResponseWriter::Flush() {
  if (buffer_.empty()) return;
  stream_.Writer()->WriteText(buffer_);
  buffer_.clear();
  ATCPClientSocket* socket = stream_.Socket;
  if (!socket) return;
  WaitWhile([&] { return socket->QueuedBytes() > max_queued_; });
}

int64_t TResponseWriter::WriteFileRange(int handle, int64_t offset, int64_t count) {
  ATCPClientSocket* socket = stream_.Socket;
  if (!socket || socket->ThrottleWrite() || count <= 0 ||
      static_cast<int64_t>(block_ - buffer_.size()) >= count)
    return 0;
  // What is gathered (the header) goes first, told that the file's bytes
  // follow at once, so that it leaves in the same segment as they do.
  if (!buffer_.empty()) {
    stream_.Writer()->WriteTextBeforeMore(buffer_);
    buffer_.clear();
  }
  int64_t done = 0;
  while (done < count && !socket->ThrottleWrite()) {
    WaitWhile([&] { return !socket->IsSendComplete(); });
    if (socket->ThrottleWrite()) break;
    const int64_t sent = stream_.Writer()->WriteFile(handle, offset + done, count - done);
    done += sent;
    // Sending stopped with the system still taking data: the file ended.
    if (sent == 0 && socket->IsSendComplete() && socket->IsConnected()) RaiseReadError();
  }
  return done;
}

bool TResponseWriter::WaitSent() {
  ATCPClientSocket* socket = stream_.Socket;
  if (!socket) return true;
  try {
    WaitWhile([&] { return !socket->IsSendComplete(); });
  } catch (const EWriter&) {
    return false;
  }
  return true;
}

template <typename Busy>
void TResponseWriter::WaitWhile(Busy busy) {
  ATCPClientSocket& socket = *stream_.Socket;
  if (!busy()) return;
  // While it waits, the server can tell since when the client has taken
  // nothing (a client that never reads may have to make way).
  struct TMarked {
    TTCPServerClient* client;
    ~TMarked() {
      if (client) client->MarkSendDone();
    }
  } marked{client_};
  if (client_) client_->MarkSendWait(false);
  const std::uint32_t time_out = stream_.TimeOut;
  Deadline deadline = Clock::now() + Ms(time_out);
  std::int64_t queued = socket.QueuedBytes();
  bool writable = socket.Writable();
  while (busy()) {
    if (!stream_.ConnectedWaitStep(time_out != 0 ? &deadline : nullptr)) throw EWriter("Write error");
    if (socket.QueuedBytes() < queued || (socket.Writable() && !writable)) {
      queued = socket.QueuedBytes();
      writable = socket.Writable();
      deadline = Clock::now() + Ms(time_out);
      if (client_) client_->MarkSendWait(true);
    } else if (time_out != 0 && Clock::now() >= deadline) {
      throw EWriter("Write error");
    }
  }
}

}  // namespace vt
