#include "http/request_head_reader.h"

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Empty lines passed over before a request line. A client may send one after
// a body (RFC 9112 2.2 asks servers to ignore at least one); a few more cost
// nothing, and a peer that sends nothing else is let go.
constexpr int kEmptyLinesBeforeRequest = 4;

std::chrono::milliseconds Ms(std::uint32_t ms) { return std::chrono::milliseconds(ms); }

// The classes of the bytes of a request head, one lookup per byte.
enum : std::uint8_t {
  kTokenByte = 1,    // may be part of a token (a field name)
  kRefusedByte = 2,  // may stand nowhere in the head (see IsCleanHeadLine)
};

constexpr std::array<std::uint8_t, 256> MakeByteClasses() {
  std::array<std::uint8_t, 256> classes{};
  for (int c = 0; c < 32; ++c) classes[static_cast<std::size_t>(c)] = kRefusedByte;
  classes['\t'] = 0;
  classes[127] = kRefusedByte;
  for (int c = '0'; c <= '9'; ++c) classes[static_cast<std::size_t>(c)] = kTokenByte;
  for (int c = 'A'; c <= 'Z'; ++c) classes[static_cast<std::size_t>(c)] = kTokenByte;
  for (int c = 'a'; c <= 'z'; ++c) classes[static_cast<std::size_t>(c)] = kTokenByte;
  for (const char c : std::string_view("!#$%&'*+-.^_`|~"))
    classes[static_cast<unsigned char>(c)] = kTokenByte;
  return classes;
}

constexpr std::array<std::uint8_t, 256> kByteClasses = MakeByteClasses();

bool IsTokenByte(char c) { return (kByteClasses[static_cast<unsigned char>(c)] & kTokenByte) != 0; }
bool IsRefusedByte(char c) { return (kByteClasses[static_cast<unsigned char>(c)] & kRefusedByte) != 0; }

// The high bit of each byte of `word` below 32 or equal to 127 is set. The
// lowest set one is exact (a borrow runs upwards only, from a byte that
// truly is one); one above it may be set for a byte that is none, so a
// caller that looks past the first one looks at the bytes themselves.
constexpr std::uint64_t ControlBytes(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
  const std::uint64_t del = word ^ (kOnes * 127);
  return (((word - kOnes * 32) & ~word) | ((del - kOnes) & ~del)) & kHighs;
}

// Whether the eight bytes of `word` hold one below 32 or one equal to 127.
constexpr bool HasControlByte(std::uint64_t word) { return ControlBytes(word) != 0; }

std::uint64_t WordAt(const char* at) {
  std::uint64_t word;
  std::memcpy(&word, at, 8);
  return word;
}

#if defined(__SSE2__)
// The bytes below 32 or equal to 127 among the sixteen at `at`: one bit
// each, the lowest for the first byte. Exact, every byte on its own.
std::uint32_t ControlBytes16(const char* at) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  const __m128i below_32 = _mm_cmpeq_epi8(_mm_min_epu8(bytes, _mm_set1_epi8(31)), bytes);
  const __m128i del = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(127));
  return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_or_si128(below_32, del)));
}
#endif

// Where in the eight bytes at `at` the first one ControlBytes set in `bytes`
// (not 0) stands, in memory order.
std::size_t FirstFlagged(std::uint64_t bytes) {
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<std::size_t>(std::countr_zero(bytes)) / 8;
  } else {
    return static_cast<std::size_t>(std::countl_zero(bytes)) / 8;
  }
}

// IsCleanHeadLine, and with `tabs` false no HTAB either: the request line
// has no place for one.
template <bool tabs>
bool IsCleanLine(std::string_view line) noexcept {
  const auto refused = [](char c) { return IsRefusedByte(c) || (!tabs && c == '\t'); };
  // Eight bytes at a time, the last eight of a line of eight or more
  // (overlapping the word before) among them: a word without a byte below
  // 32 or equal to 127 is clean as it is; the rare word with one (a tab,
  // usually) is looked at byte by byte.
  const char* p = line.data();
  const std::size_t size = line.size();
  if (size < 8) return std::none_of(p, p + size, refused);
  const auto clean_word = [&](const char* at) {
    return !HasControlByte(WordAt(at)) || std::none_of(at, at + 8, refused);
  };
  for (std::size_t at = 0; at + 8 < size; at += 8) {
    if (!clean_word(p + at)) return false;
  }
  return clean_word(p + size - 8);
}

}  // namespace

std::size_t UsualHeadLineLength(std::string_view bytes, std::int64_t maxLength, bool requestLine) {
  // CR and LF are control bytes themselves: one pass, several bytes at a
  // time, finds the line end and checks every byte before it. The first
  // control byte of the line is its CR (followed by LF) or the line is not
  // usual; only a tab in a field line is passed, and the scan goes on after
  // it.
  const char* p = bytes.data();
  const std::size_t size = bytes.size();
  std::size_t at = 0;
  // What the control byte at `at` makes of the line: its end (the length),
  // npos for a line that is not usual, or kGoOn after a tab.
  constexpr std::size_t kGoOn = std::string_view::npos - 1;
  const auto control_at = [&](std::size_t i) -> std::size_t {
    const char c = p[i];
    if (c == '\r') {
      if (i + 1 >= size || p[i + 1] != '\n' || static_cast<std::int64_t>(i) > maxLength)
        return std::string_view::npos;
      return i;
    }
    if (c == '\t' && !requestLine) return kGoOn;
    return std::string_view::npos;
  };
#if defined(__SSE2__)
  // Sixteen bytes at a time while there are as many; what is left of the
  // buffer then eight at a time, then byte by byte.
  while (at + 16 <= size) {
    const std::uint32_t flagged = ControlBytes16(p + at);
    if (flagged == 0) {
      at += 16;
      continue;
    }
    at += static_cast<std::size_t>(std::countr_zero(flagged));
    const std::size_t seen = control_at(at);
    if (seen != kGoOn) return seen;
    ++at;
  }
#endif
  while (at + 8 <= size) {
    const std::uint64_t flagged = ControlBytes(WordAt(p + at));
    if (flagged == 0) {
      at += 8;
      continue;
    }
    at += FirstFlagged(flagged);
    const std::size_t seen = control_at(at);
    if (seen != kGoOn) return seen;
    ++at;
  }
  for (; at < size; ++at) {
    if (!IsRefusedByte(p[at]) && p[at] != '\t') continue;
    const std::size_t seen = control_at(at);
    if (seen != kGoOn) return seen;
  }
  return std::string_view::npos;
}

namespace {

// A field line whose bytes IsCleanHeadLine passed: its shape.
std::size_t CheckFieldShape(std::string_view line) {
  if (line.empty()) throw EhttpContent(400, "Empty header line");
  if (line.front() == ' ' || line.front() == '\t') throw EhttpContent(400, "Folded header line");
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) throw EhttpContent(400, "Header line without a colon");
  if (colon == 0) throw EhttpContent(400, "Empty header field name");
  if (!std::all_of(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(colon), IsTokenByte))
    throw EhttpContent(400, "Invalid byte in a header field name");
  return colon;
}

// A request line whose bytes IsCleanLine<false> passed (no control byte, no
// tab): its shape. A method that is no token is no framing matter: it is
// answered as a method this server does not know.
int CheckRequestLineShape(std::string_view line) {
  // The method is a few bytes: looked at here, without a call.
  std::size_t method_end = 0;
  while (method_end < line.size() && line[method_end] != ' ') ++method_end;
  if (method_end == 0 || method_end == line.size()) throw EhttpContent(400, "Invalid request line");
  const std::string_view rest = line.substr(method_end + 1);
  const std::size_t target_end = rest.find(' ');
  // An empty target is a doubled blank.
  if (target_end == 0 || rest.empty()) throw EhttpContent(400, "Invalid request line");
  if (target_end == std::string_view::npos) return -1;
  const std::string_view version = rest.substr(target_end + 1);
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (version.size() != 8 || std::memcmp(version.data(), "HTTP/", 5) != 0 || !digit(version[5]) ||
      version[6] != '.' || !digit(version[7]))
    throw EhttpContent(400, "Invalid request line");
  if (version[5] != '1') throw EhttpContent(505, "HTTP version not supported");
  return version[7] - '0';
}

}  // namespace

bool IsCleanHeadLine(std::string_view line) noexcept { return IsCleanLine<true>(line); }

std::size_t CheckRequestFieldLine(std::string_view line) {
  if (!IsCleanHeadLine(line)) throw EhttpContent(400, "Control byte in a header line");
  return CheckFieldShape(line);
}

int CheckRequestLine(std::string_view line) {
  if (!IsCleanLine<false>(line)) throw EhttpContent(400, "Control byte in the request line");
  return CheckRequestLineShape(line);
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
  needs_host_ = false;
  // An empty line before the request is passed over, and the wait for the
  // request begins again: such a line is what a client sends after a body,
  // before a request that may come much later.
  for (int empty = 0;; ++empty) {
    ReadRequestLineOnce(line);
    // No bytes taken: the client closed before a request.
    if (!line.empty() || bytes_ == 0 || empty == kEmptyLinesBeforeRequest) break;
  }
  if (line.empty()) return;
  needs_host_ = CheckRequestLineShape(line) >= 1;
}

void TRequestHeadReader::ReadRequestLineOnce(std::string& line) {
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
  // 3.2); an HTTP/1.1 request names one.
  if (hosts > 1) throw EhttpContent(400, "More than one Host field");
  if (hosts == 0 && needs_host_) throw EhttpContent(400, "No Host field");
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
      const std::size_t length =
          UsualHeadLineLength(rest, std::min<std::int64_t>(limits_.MaxHeaderLine, room), false);
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
  // Its bytes were checked as it was read (IsCleanHeadLine).
  const std::size_t colon = CheckFieldShape(line);
  // The name is a token (checked above): only the value is trimmed, of
  // blanks and tabs alone, as no other control byte is left.
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
  if (!ReadHeadLineBytes(line, maxLength, requestLine) &&
      !(requestLine ? IsCleanLine<false>(line) : IsCleanLine<true>(line)))
    throw EhttpContent(400, "Control byte in the request head");
}

bool TRequestHeadReader::ReadHeadLineBytes(std::string& line, std::int32_t maxLength, bool requestLine) {
  TSocketStream& stream = stream_;
  ATCPClientSocket& socket = *stream.Socket;
  // The usual line (see UsualHeadLineLength, which checked its bytes) is copied
  // out and passed in one step; any other goes the careful way below.
  if (const std::size_t length = UsualHeadLineLength(socket.UnreadView(), maxLength, requestLine);
      length != std::string_view::npos) {
    line.assign(socket.UnreadView().substr(0, length));
    stream.Reader()->SkipBuffered(static_cast<std::int32_t>(length + 2));
    bytes_ += static_cast<std::int64_t>(length) + 2;
    return true;
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
        return false;
      }
    }
    TakeBytes(line, hit);
    bytes_ += hit;
    SkipLineEnd();
    return false;
  }
  if (!ready) {
    if (requestLine || client_.Terminated()) RaiseReadError();
    const std::int32_t rest = socket.Available();
    bytes_ += rest;
    TakeBytes(line, rest);
    return false;
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
  if (char end[2];
      socket.Available() >= 2 && socket.FirstUnread() == '\r' && socket.Peek(end, 2) == 2 && end[1] == '\n') {
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
