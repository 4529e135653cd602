#include "http/request_head_reader.h"

#include <algorithm>
#include <chrono>

#include "http/http_text.h"
#include "http/message.h"
#include "util/ascii.h"
#include "util/byte_set.h"
#include "util/text.h"

namespace vt {

namespace {

using Clock = std::chrono::steady_clock;

// The bytes a line of the request head is searched for: LF ends it, a CR
// must be followed by LF, and 26 (^Z), which once ended lines too, is
// refused (see SkipLineEnd).
const ByteSet kLineEnds(std::string_view("\n\r\x1a", 3));

std::chrono::milliseconds Ms(std::uint32_t ms) { return std::chrono::milliseconds(ms); }

// The length (line end not counted) of the usual line at the front of
// `bytes`: all there, ended by CR LF, with no other CR and no 26 in it, and
// at most `maxLength` long. npos for any other line, which is read the
// careful way (ReadHeadLine), limits, waits and refusals included.
std::size_t UsualLineLength(std::string_view bytes, std::int64_t maxLength) {
  const std::size_t lf = bytes.find('\n');
  if (lf == std::string_view::npos || lf == 0 || bytes[lf - 1] != '\r') return std::string_view::npos;
  const std::string_view text = bytes.substr(0, lf - 1);
  if (static_cast<std::int64_t>(text.size()) > maxLength || text.find('\r') != std::string_view::npos ||
      text.find('\x1a') != std::string_view::npos)
    return std::string_view::npos;
  return text.size();
}

}  // namespace

std::size_t CheckRequestFieldLine(std::string_view line) {
  if (line.empty()) return std::string_view::npos;
  if (line.front() == ' ' || line.front() == '\t') throw EhttpContent(400, "Folded header line");
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return colon;
  for (std::size_t i = 0; i < colon; ++i) {
    if (static_cast<unsigned char>(line[i]) <= 32) throw EhttpContent(400, "Blank in a header field name");
  }
  return colon;
}

TRequestHeadReader::TRequestHeadReader(TSocketStream& stream, const ThttpServerLimits& limits,
                                       TTCPServerClient& client)
    : stream_(stream), limits_(limits), client_(client) {}

// Waits until `ready()` holds: true then. False when the connection ended or
// the client was terminated first. After TimeOut without a new byte it
// raises "Read error" (a silent peer); once the head has begun, past its
// time limit it raises the 408 refusal (a peer that trickles).
template <typename Ready>
bool TRequestHeadReader::WaitForHead(Ready ready) {
  // Most of the time the bytes are there already: no clock for those.
  woke_at_ = Deadline{};
  if (ready()) return true;
  TSocketStream& stream = stream_;
  ATCPClientSocket& socket = *stream.Socket;
  const std::uint32_t time_out = stream.TimeOut;
  // One clock read per step, taken as it ends: it judges both limits and
  // restarts the idle time when bytes came.
  Deadline now = Clock::now();
  Deadline idle = now + Ms(time_out);
  std::int32_t seen = socket.Available();
  for (;;) {
    if (ready()) {
      woke_at_ = now;
      return true;
    }
    if (client_.Terminated() || socket.Terminated() || !socket.IsConnected() || socket.ReceiveEnded())
      return false;
    if (started_ && now >= deadline_) throw EhttpContent(408, "Request header timeout");
    if (time_out != 0 && now >= idle) RaiseReadError();
    Deadline until = time_out != 0 ? idle : Deadline::max();
    if (started_) until = std::min(until, deadline_);
    if (!stream.WaitStep(until == Deadline::max() ? nullptr : &until)) return false;
    now = Clock::now();
    if (socket.Available() > seen) {
      seen = socket.Available();
      idle = now + Ms(time_out);
    }
  }
}

void TRequestHeadReader::ReadRequestLine(std::string& line) {
  line.clear();
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
      return;
    RaiseReadError();
  }
  started_ = true;
  // The head's time runs from its first byte: from the wake-up that found
  // it, when the wait read the clock then.
  deadline_ = (woke_at_ != Deadline{} ? woke_at_ : Clock::now()) + Ms(limits_.RequestHeadTime);
  client_.MarkRequestStart();
  ReadHeadLine(line, limits_.MaxRequestLine, true);
}

// The request line longer than its limit: 414, and (as every refusal) the
// close. Cut there instead, its rest would be read as a header line that
// the client never meant as one.

std::unique_ptr<THeader> TRequestHeadReader::ReadHeader() {
  auto header = std::make_unique<THeader>();
  ReadHeader(*header);
  return header;
}

void TRequestHeadReader::ReadHeader(THeader& into) {
  std::int32_t lines = 0;
  int hosts = 0;
  // Each worker reads the lines that take the careful way into one string,
  // kept from line to line and request to request.
  thread_local std::string line;
  for (;;) {
    if (TakeUsualFieldLines(into, lines, hosts)) break;
    const std::int64_t room = limits_.MaxRequestHead - bytes_;
    if (room <= 0) throw EhttpContent(400, "Request header too large");
    ReadHeadLine(line, static_cast<std::int32_t>(std::min<std::int64_t>(limits_.MaxHeaderLine, room)), false);
    if (line.empty()) break;
    AddFieldLine(into, line, lines, hosts);
  }
  // Which host is meant would depend on who reads the request (RFC 9112,
  // 3.2).
  if (hosts > 1) throw EhttpContent(400, "More than one Host field");
}

bool TRequestHeadReader::TakeUsualFieldLines(THeader& into, std::int32_t& lines, int& hosts) {
  const std::string_view unread = stream_.Socket->UnreadView();
  std::size_t taken = 0;
  bool ended = false;
  // A refused line is passed, as the careful way passes it before refusing.
  try {
    for (;;) {
      const std::int64_t room = limits_.MaxRequestHead - bytes_;
      if (room <= 0) break;
      const std::string_view rest = unread.substr(taken);
      const std::size_t length = UsualLineLength(rest, std::min<std::int64_t>(limits_.MaxHeaderLine, room));
      if (length == std::string_view::npos) break;
      taken += length + 2;
      bytes_ += static_cast<std::int64_t>(length) + 2;
      if (length == 0) {
        ended = true;
        break;
      }
      AddFieldLine(into, rest.substr(0, length), lines, hosts);
    }
  } catch (...) {
    stream_.Reader()->SkipBuffered(static_cast<std::int32_t>(taken));
    throw;
  }
  if (taken > 0) stream_.Reader()->SkipBuffered(static_cast<std::int32_t>(taken));
  return ended;
}

void TRequestHeadReader::AddFieldLine(THeader& into, std::string_view line, std::int32_t& lines, int& hosts) {
  if (++lines > limits_.MaxHeaderLines) throw EhttpContent(400, "Too many header lines");
  const std::size_t colon = CheckRequestFieldLine(line);
  if (colon == std::string_view::npos) {
    into.AddFieldLine(std::string(line));
    return;
  }
  // The name has no blank (checked above): only the value is trimmed.
  const std::string_view name = line.substr(0, colon);
  if (name.size() == 4 && AsciiEqualFolded(name.data(), "Host", 4)) ++hosts;
  into.AddField(name, detail::TrimmedView(line.substr(colon + 1)));
}

// One line of the head, without its line end, into `line`. A line longer than maxLength
// is refused: the request line with 414, a header line with 400. When the
// data ends without a line end, the request line raises "Read error" and a
// header line is what is left (empty: the header ends), as for a header
// read to the end of its data.
void TRequestHeadReader::ReadHeadLine(std::string& line, std::int32_t maxLength, bool requestLine) {
  TSocketStream& stream = stream_;
  ATCPClientSocket& socket = *stream.Socket;
  // The usual line (see UsualLineLength) is copied out and passed in one
  // step; any other goes the careful way below.
  if (const std::size_t length = UsualLineLength(socket.UnreadView(), maxLength);
      length != std::string_view::npos) {
    line.assign(socket.UnreadView().substr(0, length));
    stream.Reader()->SkipBuffered(static_cast<std::int32_t>(length + 2));
    bytes_ += static_cast<std::int64_t>(length) + 2;
    return;
  }
  std::int32_t scanned = 0;
  std::int32_t hit = -1;
  const bool ready = WaitForHead([&] {
    hit = socket.FindByteInSet(kLineEnds, false, scanned);
    scanned = socket.Available();
    return hit >= 0 || socket.Available() > maxLength;
  });
  if (hit >= 0 && hit <= maxLength) {
    // The usual line, its CR LF there already, is copied out and passed in
    // one step each.
    const std::int32_t with_end = hit + 2;
    if (socket.Available() >= with_end) {
      line.resize(static_cast<std::size_t>(with_end));
      if (socket.Peek(line.data(), with_end) == with_end && line[hit] == '\r' && line[hit + 1] == '\n') {
        line.resize(static_cast<std::size_t>(hit));
        stream.Reader()->Skip(with_end);
        bytes_ += with_end;
        return;
      }
    }
    TakeBytes(line, hit);
    bytes_ += hit;
    SkipLineEnd();
    return;
  }
  if (!ready) {
    if (requestLine || client_.Terminated()) RaiseReadError();
    const std::int32_t rest = socket.Available();
    bytes_ += rest;
    TakeBytes(line, rest);
    return;
  }
  if (requestLine) throw EhttpContent(414, "Request line too long");
  throw EhttpContent(400, "Request header too large");
}

void TRequestHeadReader::TakeBytes(std::string& line, std::int32_t count) {
  line.resize(static_cast<std::size_t>(count));
  if (count > 0 && stream_.Reader()->Read(line.data(), count) != count) RaiseReadError();
}

// Consumes the line end at the read position: LF, or CR LF. A CR waits for
// the byte after it, which must be the LF: a bare CR ends a line for some
// readers and not for others, so a request that holds one is refused, and
// so is the byte 26. A LF ends the line at once, so a client that ends its
// lines with LF alone is answered without waiting for a byte that is not
// coming.
void TRequestHeadReader::SkipLineEnd() {
  TSocketStream& stream = stream_;
  ATCPClientSocket& socket = *stream.Socket;
  // The usual CR LF, both bytes there already, goes in one step.
  if (char end[2]; socket.Available() >= 2 && socket.FirstUnread() == '\r' && socket.Peek(end, 2) == 2 &&
                   end[1] == '\n') {
    stream.Reader()->Skip(2);
    bytes_ += 2;
    return;
  }
  const char first = stream.Reader()->ReadByte();
  ++bytes_;
  if (first == '\n') return;
  if (first != '\r') throw EhttpContent(400, "Control byte 26 in the request head");
  const bool more = WaitForHead([&] { return socket.Available() > 0; });
  if (client_.Terminated()) RaiseReadError();
  if (!more || socket.FirstUnread() != '\n') throw EhttpContent(400, "Bare CR in the request head");
  stream.Reader()->Skip(1);
  ++bytes_;
}

}  // namespace vt
