#include "http/request_head_reader.h"

#include <algorithm>
#include <chrono>

#include "http/message.h"
#include "util/byte_set.h"

namespace vt {

namespace {

using Clock = std::chrono::steady_clock;

// The bytes that end a line of the request head.
const ByteSet kLineEnds(std::string_view("\n\r\x1a", 3));

std::chrono::milliseconds Ms(std::uint32_t ms) { return std::chrono::milliseconds(ms); }

}  // namespace

TRequestHeadReader::TRequestHeadReader(TSocketStream& stream, const ThttpServerLimits& limits,
                                       TTCPServerClient& client)
    : stream_(stream), limits_(limits), client_(client) {}

// Waits until `ready()` holds: true then. False when the connection ended or
// the client was terminated first. After TimeOut without a new byte it
// raises "Read error" (a silent peer); once the head has begun, past its
// time limit it raises the 408 refusal (a peer that trickles).
template <typename Ready>
bool TRequestHeadReader::WaitForHead(Ready ready) {
  TSocketStream& stream = stream_;
  ATCPClientSocket& socket = *stream.Socket;
  const std::uint32_t time_out = stream.TimeOut;
  Deadline idle = Clock::now() + Ms(time_out);
  std::int32_t seen = socket.Available();
  for (;;) {
    if (ready()) return true;
    if (client_.Terminated() || socket.Terminated() || !socket.IsConnected() || socket.ReceiveEnded())
      return false;
    const Deadline now = Clock::now();
    if (started_ && now >= deadline_) throw EhttpContent(408, "Request header timeout");
    if (time_out != 0 && now >= idle) RaiseReadError();
    Deadline until = time_out != 0 ? idle : Deadline::max();
    if (started_) until = std::min(until, deadline_);
    if (!stream.WaitStep(until == Deadline::max() ? nullptr : &until)) return false;
    if (socket.Available() > seen) {
      seen = socket.Available();
      idle = Clock::now() + Ms(time_out);
    }
  }
}

std::string TRequestHeadReader::ReadRequestLine() {
  ATCPClientSocket& socket = *stream_.Socket;
  started_ = false;
  bytes_ = 0;
  // Waiting for the next request is bounded by TimeOut alone; the head's own
  // time runs from its first byte. Meanwhile the connection is idle: it may
  // be closed to make way for a new one when the client list is full.
  client_.SetIdle();
  const bool ready = WaitForHead([&] { return socket.Available() > 0; });
  if (!client_.SetBusy()) RaiseReadError();
  if (!ready) {
    // A client that closes in order between requests has simply finished:
    // its close is seen as at the connected test, and the connection ends
    // without a word (an empty line ends the cycle).
    if (socket.ReceiveEnded() && socket.Available() == 0 && socket.ErrorCode() == 0 && !client_.Terminated())
      return std::string();
    RaiseReadError();
  }
  started_ = true;
  deadline_ = Clock::now() + Ms(limits_.RequestHeadTime);
  return ReadHeadLine(limits_.MaxRequestLine, true);
}

std::unique_ptr<THeader> TRequestHeadReader::ReadHeader() {
  auto header = std::make_unique<THeader>();
  std::int32_t lines = 0;
  for (;;) {
    const std::int64_t room = limits_.MaxRequestHead - bytes_;
    if (room <= 0) throw EhttpContent(400, "Request header too large");
    const std::string line =
        ReadHeadLine(static_cast<std::int32_t>(std::min<std::int64_t>(limits_.MaxHeaderLine, room)), false);
    if (line.empty()) return header;
    if (++lines > limits_.MaxHeaderLines) throw EhttpContent(400, "Too many header lines");
    header->AddFieldLine(line);
  }
}

// One line of the head, without its line end. A line longer than maxLength
// is cut there when `cut` (the byte after the cut is taken as the line end),
// else refused. When the data ends without a line end, the request line
// raises "Read error" and a header line is what is left (empty: the header
// ends), as for a header read to the end of its data.
std::string TRequestHeadReader::ReadHeadLine(std::int32_t maxLength, bool cut) {
  TSocketStream& stream = stream_;
  ATCPClientSocket& socket = *stream.Socket;
  TSocketReader& reader = *stream.Reader();
  std::int32_t scanned = 0;
  std::int32_t hit = -1;
  const bool ready = WaitForHead([&] {
    hit = socket.FindByteInSet(kLineEnds, false, scanned);
    scanned = socket.Available();
    return hit >= 0 || socket.Available() > maxLength;
  });
  if (hit >= 0 && hit <= maxLength) {
    std::string text = reader.ReadText(hit);
    bytes_ += hit;
    SkipLineEnd();
    return text;
  }
  if (!ready) {
    if (cut || client_.Terminated()) RaiseReadError();
    bytes_ += socket.Available();
    return reader.ReadText(socket.Available());
  }
  if (!cut) throw EhttpContent(400, "Request header too large");
  std::string text = reader.ReadText(maxLength);
  bytes_ += maxLength;
  SkipLineEnd();
  return text;
}

// Consumes the line end at the read position (or, after a cut, the byte
// there in its place): CR LF, or any single byte. A CR waits for the byte
// after it, since a LF there belongs to it. A LF ends the line at once, so a
// client that ends its lines with LF alone is answered without waiting for a
// byte that is not coming.
void TRequestHeadReader::SkipLineEnd() {
  TSocketStream& stream = stream_;
  ATCPClientSocket& socket = *stream.Socket;
  const char first = stream.Reader()->ReadByte();
  ++bytes_;
  if (first != '\r') return;
  if (WaitForHead([&] { return socket.Available() > 0; }) && socket.FirstUnread() == '\n') {
    stream.Reader()->Skip(1);
    ++bytes_;
  }
}

}  // namespace vt
