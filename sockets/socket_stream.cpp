#include "sockets/socket_stream.h"

#include <algorithm>
#include <chrono>
#include <limits>

#include "platform/ticks.h"

namespace vt {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int64_t kMaxCount = std::numeric_limits<int32_t>::max();

int32_t ClampCount(int64_t count) { return static_cast<int32_t>(std::min(count, kMaxCount)); }

}  // namespace

// ---------------------------------------------------------------------------
// TSocketStream

TSocketStream::TSocketStream(ATCPClientSocket* socket, TSocketWaitMode waitMode, std::uint32_t timeOut,
                             bool ownsSocket)
    : Socket(socket, ownsSocket),
      TimeOut(timeOut),
      WaitMode(waitMode),
      reader_(std::make_unique<TSocketReader>(*this)),
      writer_(std::make_unique<TSocketWriter>(*this)) {}

TSocketStream::~TSocketStream() {
  reader_.reset();
  writer_.reset();
  // The socket (when owned) goes after them, as a member.
}

void TSocketStream::SetSize(int64_t) { throw ESocketStream("SetSize failed"); }

bool TSocketStream::IsOpen() const {
  return Socket && !Socket->Terminated() && (Socket->IsConnected() || Socket->Available() > 0);
}

bool TSocketStream::WaitStep(const Deadline* deadline) {
  if (!Socket || Socket->Terminated()) return false;
  Socket->WatchBeforeWait();
  switch (WaitMode) {
    case swmHandleMessage:
      if (deadline) return Socket->HandleMessageUntil(*deadline) != TWindowHandle::WaitResult::kEnded;
      return Socket->HandleMessage();
    case swmProcessMessages:
      Socket->ProcessMessages();
      return true;
    case swmYield:
      Sleep(0);
      return true;
    default:
      return true;
  }
}

bool TSocketStream::ConnectedWaitStep(const Deadline* deadline) {
  return Socket && Socket->IsConnected() && WaitStep(deadline);
}

bool TSocketStream::WaitForData(int64_t count) {
  if (WaitMode == swmNone || (Socket && Socket->Available() >= count)) return true;
  // The time-out runs from here; each step is bounded by it, so a wait on a
  // silent peer ends when it passes even though no message arrives.
  Deadline deadline = TimeOut != 0
                          ? Clock::now() + std::chrono::milliseconds(TimeOut) + std::chrono::microseconds(1)
                          : Deadline::max();
  deadline = std::min(deadline, ReadDeadline);
  const bool bounded = deadline != Deadline::max();
  for (;;) {
    // The peer has ended its side: the bytes are not coming.
    if (Socket->ReceiveEnded()) return false;
    if (bounded && Clock::now() >= deadline) return false;
    if (!ConnectedWaitStep(bounded ? &deadline : nullptr)) return false;
    if (Socket->Available() >= count) return true;
    if (bounded && Clock::now() >= deadline) return false;
  }
}

template <typename Done>
bool TSocketStream::WaitWhileSending(Done done) {
  if (WaitMode == swmNone) return done();
  const auto idle = std::chrono::milliseconds(TimeOut);
  Deadline deadline = Clock::now() + idle;
  std::int64_t queued = Socket ? Socket->QueuedBytes() : 0;
  while (!done()) {
    if (!ConnectedWaitStep(TimeOut != 0 ? &deadline : nullptr)) return done();
    if (Socket->QueuedBytes() < queued) {
      queued = Socket->QueuedBytes();
      deadline = Clock::now() + idle;
    } else if (TimeOut != 0 && Clock::now() >= deadline) {
      return done();
    }
  }
  return true;
}

bool TSocketStream::WaitSendComplete() {
  return WaitWhileSending([this] { return !Socket || Socket->IsSendComplete(); });
}

void TSocketStream::Close() {
  if (!Socket) return;
  Socket->Shutdown(true);
  if (WaitMode == swmNone) return;
  // A peer that stops reading must not keep the connection open for ever:
  // after the time-out without progress it is closed at once.
  if (!WaitWhileSending([this] { return Socket->State() == kSocketClosed; }) && Socket->IsConnected())
    Socket->CloseNow();
}

// ---------------------------------------------------------------------------
// TSocketReader

void TSocketReader::Require(int64_t count) {
  if (stream_.WaitMode != swmNone && !stream_.WaitForData(count)) RaiseReadError();
}

void TSocketReader::SetPosition(int64_t position) {
  if (position < position_) throw EReader("Seeking not supported");
  Skip(position - position_);
}

int32_t TSocketReader::Read(char* buffer, int32_t count) {
  if (count <= 0 || !stream_.Socket) return 0;
  if (stream_.WaitMode != swmNone) stream_.WaitForData(count);
  const int32_t got = stream_.Socket->Read(buffer, count);
  position_ += got;
  return got;
}

bool TSocketReader::AtEnd() {
  ATCPClientSocket* socket = stream_.Socket;
  return !socket || socket->Terminated() ||
         ((!socket->IsConnected() || socket->ReceiveEnded()) && socket->Available() == 0);
}

std::string TSocketReader::ReadText(int32_t count) {
  if (count <= 0) return std::string();
  Require(count);
  if (!stream_.Socket) RaiseReadError();
  std::string text = stream_.Socket->ReadText(count);
  position_ += static_cast<int64_t>(text.size());
  return text;
}

char TSocketReader::ReadByte() {
  char value;
  if (Read(&value, 1) != 1) RaiseReadError();
  return value;
}

std::string TSocketReader::PeekText(int32_t count) {
  if (count <= 0) return std::string();
  Require(count);
  return stream_.Socket ? stream_.Socket->PeekText(count) : std::string();
}

char TSocketReader::PeekByte() {
  Require(1);
  if (!stream_.Socket || stream_.Socket->Available() == 0) RaiseReadError();
  return stream_.Socket->FirstUnread();
}

bool TSocketReader::MatchText(const std::string& text, bool caseSensitive) {
  if (text.empty()) return false;
  Require(static_cast<int64_t>(text.size()));
  return stream_.Socket && stream_.Socket->MatchText(text, caseSensitive);
}

void TSocketReader::Skip(int64_t count) {
  if (count <= 0) return;
  Require(count);
  if (!stream_.Socket) return;
  position_ += stream_.Socket->Consume(ClampCount(count));
}

void TSocketReader::SkipBuffered(int32_t count) { position_ += stream_.Socket->Consume(count); }

template <typename Search>
int64_t TSocketReader::SearchWaiting(Search search, int64_t maxOffset, int32_t overlap) {
  ATCPClientSocket* socket = stream_.Socket;
  if (!socket) return -1;
  int64_t buffered = socket->Available();
  int64_t hit = search(0);
  if (stream_.WaitMode != swmNone) {
    while (hit == -1 && !AtEnd() && (maxOffset < 0 || maxOffset >= buffered) &&
           stream_.WaitForData(buffered + 1)) {
      // Only the new bytes (and a pattern straddling the old end) can hold
      // the first hit.
      const auto from = static_cast<int32_t>(std::max<int64_t>(buffered - overlap, 0));
      buffered = socket->Available();
      hit = search(from);
    }
  }
  if (hit != -1 && maxOffset >= 0 && hit > maxOffset) return -1;
  return hit;
}

int64_t TSocketReader::FindByte(char value, bool negate, int64_t maxOffset) {
  return SearchWaiting([&](int32_t from) { return stream_.Socket->FindByte(value, negate, from); }, maxOffset,
                       0);
}

int64_t TSocketReader::FindByteInSet(const ByteSet& set, bool negate, int64_t maxOffset) {
  return SearchWaiting([&](int32_t from) { return stream_.Socket->FindByteInSet(set, negate, from); },
                       maxOffset, 0);
}

int64_t TSocketReader::FindText(const std::string& text, int64_t maxOffset, bool caseSensitive) {
  if (text.empty()) return -1;
  return SearchWaiting([&](int32_t from) { return stream_.Socket->FindText(text, caseSensitive, from); },
                       maxOffset, static_cast<int32_t>(text.size()) - 1);
}

// ---------------------------------------------------------------------------
// TSocketWriter

void TSocketWriter::SetPosition(int64_t position) {
  if (position != position_) throw EWriter("SetPosition failed");
}

void TSocketWriter::SetSize(int64_t) { throw EWriter("SetSize failed"); }

int32_t TSocketWriter::Write(const char* buffer, int32_t count) {
  if (!stream_.Socket) throw EWriter("Write error");
  const int32_t written = stream_.Socket->WriteBuffer(buffer, count);
  position_ += written;
  return written;
}

int64_t TSocketWriter::WriteFile(int file, int64_t offset, int64_t count) {
  if (!stream_.Socket) throw EWriter("Write error");
  int error = 0;
  const int64_t sent = stream_.Socket->SendFile(file, offset, count, error);
  position_ += sent;
  if (sent < count && error != 0 && error != kWsaEWouldBlock) throw EWriter("Write error");
  return sent;
}

void TSocketWriter::WriteTextBeforeMore(const std::string& text) {
  if (text.empty()) return;
  if (!stream_.Socket) throw EWriter("Write error");
  const int32_t written = stream_.Socket->WriteBuffer(text.data(), static_cast<int32_t>(text.size()), true);
  position_ += written;
}

void TSocketWriter::WriteText(const std::string& text) {
  if (text.empty()) return;
  if (!stream_.Socket) throw EWriter("Write error");
  const int32_t written = stream_.Socket->WriteText(text);
  position_ += written;
  if (static_cast<size_t>(written) < text.size()) throw EWriter("Write error");
}

}  // namespace vt
