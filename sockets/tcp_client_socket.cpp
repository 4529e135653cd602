#include "sockets/tcp_client_socket.h"

#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/ticks.h"
#include "sockets/messages.h"
#include "util/ascii.h"

namespace vt {

namespace {

constexpr std::int32_t kCompactLength = 16384;
constexpr std::int32_t kCompactUnread = 256;
// The first read of a notification, and the most a read asks for.
constexpr std::int32_t kFirstReadSize = 2048;
constexpr std::int32_t kMaxReadSize = 65536;
// ReadText grows its result by at most this much per read, so that a large
// count costs memory only as data actually arrives.
constexpr std::int32_t kReadTextPiece = 65536;
// The most unread data the buffer holds before reading stops until some of
// it is taken. A peer that sends without end while its answer waits (or that
// pipelines far ahead) then fills the system's queue and its own window, not
// our memory; every reader of the buffer needs much less than this at once
// (a request head is at most 64 KiB).
constexpr std::int32_t kMaxUnread = 256 * 1024;
// A queued item shorter than this takes later writes at its end.
constexpr std::size_t kCoalesceLength = 16384;

}  // namespace

ATCPClientSocket::ATCPClientSocket(TSocket handle) { ATCPClientSocket::InitWithHandle(handle); }

void ATCPClientSocket::DataAvailable() {
  if (OnDataAvailable) OnDataAvailable(*this);
}

void ATCPClientSocket::Closed() {
  if (OnClose) OnClose(*this);
}

TInAddr ATCPClientSocket::GetPeerAddress() {
  const TSocketAddress address = GetPeerSocketAddress();
  return address.IsIPv4() ? address.IPv4View().sin_addr.s_addr : kInAddrNone;
}

TSocketAddress ATCPClientSocket::GetPeerSocketAddress() {
  RequireConnected();
  TSocketAddress address;
  socklen_t size = sizeof address.v6;
  if (::getpeername(SocketHandle(), &address.any, &size) != 0) return TSocketAddress();
  return address;
}

std::string ATCPClientSocket::GetPeerAddressText() {
  const TSocketAddress address = GetPeerSocketAddress();
  if (address.IsIPv4()) {
    const TInAddr ipv4 = address.IPv4View().sin_addr.s_addr;
    if (ipv4 == kInAddrNone || ipv4 == 0) return std::string();
  }
  return address.HostText();
}

std::string ATCPClientSocket::GetPeerHostName() {
  if (!peer_host_done_) {
    peer_host_done_ = true;
    const std::string text = GetPeerAddressText();
    if (!text.empty()) {
      peer_host_ = HostNameOfSocketAddress(GetPeerSocketAddress());
      if (peer_host_.empty()) peer_host_ = text;
    }
  }
  return peer_host_;
}

void ATCPClientSocket::InitWithHandle(TSocket handle) {
  ASocketExSendBuffer::InitWithHandle(handle);
  watch_due_ = false;
  receive_ended_ = false;
  close_when_sent_ = false;
  int waiting = 0;
  if (::ioctl(handle, FIONREAD, &waiting) != 0) return;
  SetStateDirect(kSocketConnected);
  SetAsyncMode();
  read_window_ = TBudgetWindow{GetTickCount(), 0};
}

void ATCPClientSocket::InitWithAcceptedHandle(TSocket handle, bool read_first) {
  ASocketExSendBuffer::InitWithHandle(handle);
  receive_ended_ = false;
  close_when_sent_ = false;
  SetStateDirect(kSocketConnected);
  read_window_ = TBudgetWindow{GetTickCount(), 0};
  // A client's first bytes usually come with its handshake, so they are
  // there by now: read before the first wait, which then is not needed.
  // The watch waits for that first wait: a short conversation (a request
  // and its answer, then the close) never waits, and so costs neither a
  // registration nor its removal. Made later, the watch reports what is
  // there by then (the peer's end or a failure included), so nothing is
  // missed. The window exists from now on: a stop from another thread
  // reaches the socket through it.
  if (read_first) {
    DrainIncoming();
    GetHandle();
    watch_due_ = true;
  } else {
    SetAsyncMode(true);
  }
  // Nothing was sent yet: the first answer goes out at once instead of
  // waiting for the watch's first write notification.
  MarkWritable();
}

void ATCPClientSocket::StartWatch() {
  watch_due_ = false;
  SetAsyncMode(true);
}

void ATCPClientSocket::HandleNotification(std::int32_t events, std::int32_t error) {
  if (events & FD_CLOSE) {
    DrainIncoming();
    receive_ended_ = true;
    SetError(error, std::string());
    // A peer that only ended its sending side (a client that shuts down
    // after its request) still reads: what is queued for it goes out.
    if (error != 0 || (send_queue_.empty() && (!tls_ || tls_->Backlog() == 0))) {
      CloseNow();
    } else {
      // Sending at once shows a peer that has gone altogether (a reset
      // that came with its end, or just after it): no other notification
      // would tell.
      FlushSendBuffer();
      if (State() != kSocketClosed && send_queue_.empty()) SendBufferEmpty();
    }
  }
  if (events & FD_READ) DrainIncoming();
  // A record that does not decrypt (or a handshake that failed) ends the
  // connection: nothing more can be read from it, and no notification
  // would say so.
  if (tls_ && tls_->Failed() && State() != kSocketClosed) {
    SetError(WinSockCodeOfErrno(ECONNABORTED), tls_->FailureText());
    CloseNow();
    return;
  }
  ASocketExSendBuffer::HandleNotification(events, error);
}

bool ATCPClientSocket::TimerNeeded() const {
  return (throttle_read_ || ThrottleWrite()) && State() == kSocketConnected;
}

void ATCPClientSocket::TriggerTimer() {
  ASocketExSendBuffer::TriggerTimer();
  if (throttle_read_) DrainIncoming();
}

void ATCPClientSocket::SendBufferEmpty() {
  if (close_when_sent_) {
    // Over TLS the end goes as the close_notify alert first, so that the
    // peer can tell a whole answer from a cut one.
    if (tls_ && !tls_->Failed()) {
      tls_->SendCloseNotify();
      int error = 0;
      if (!tls_->Flush(error) && !tls_->Failed()) return;  // the next FD_WRITE sends the rest
    }
    ::shutdown(SocketHandle(), SHUT_WR);
    CloseNow();
  } else {
    ASocketExSendBuffer::SendBufferEmpty();
  }
}

void ATCPClientSocket::FlushSendBuffer() {
  while (!send_queue_.empty()) {
    const std::string& head = send_queue_.front();
    const auto left = static_cast<std::int32_t>(head.size() - head_sent_);
    int error = 0;
    const std::int32_t sent = SendNow(head.data() + head_sent_, left, &error);
    queued_bytes_ -= sent;
    if (sent < left) {
      // The system refused the rest: SendNow already tried until it did.
      head_sent_ += static_cast<std::size_t>(sent);
      SendFailed(error);
      return;
    }
    send_queue_.pop_front();
    head_sent_ = 0;
  }
}

std::int32_t ATCPClientSocket::HandleWM(std::uint32_t msg, std::int32_t wParam, std::int32_t lParam) {
  if (msg == kThrottleReadMessage) {
    ThrottleReadRate = wParam;
    SetThrottleRead(lParam != 0);
    return 0;
  }
  if (msg == kThrottleWriteMessage) {
    ThrottleWriteRate = wParam;
    SetThrottleWrite(lParam != 0);
    return 0;
  }
  return ASocketExSendBuffer::HandleWM(msg, wParam, lParam);
}

std::int32_t ATCPClientSocket::Receive(char* buffer, std::int32_t count) {
  if (count <= 0) return 0;
  if (throttle_read_ && State() == kSocketConnected) {
    count = BudgetAllowance(read_window_, count, ThrottleReadRate, GetTickCount());
    if (count == 0) return 0;
  }
  const ssize_t got = tls_ ? tls_->Receive(buffer, count)
                           : SocketRecv(SocketHandle(), buffer, static_cast<std::size_t>(count));
  if (got <= 0) return 0;
  BudgetAdd(read_window_, got);
  bytes_received_.fetch_add(got, std::memory_order_relaxed);
  return static_cast<std::int32_t>(got);
}

std::int32_t ATCPClientSocket::ReceiveIntoBuffer(std::int32_t count) {
  if (count <= 0) return 0;
  const std::size_t end = static_cast<std::size_t>(read_offset_) + static_cast<std::size_t>(available_);
  if (buffer_.size() - end < static_cast<std::size_t>(count))
    buffer_.resize(end + static_cast<std::size_t>(count));
  const std::int32_t got = Receive(buffer_.data() + end, count);
  available_ += got;
  return got;
}

void ATCPClientSocket::SendFailed(int error) {
  if (!receive_ended_ || error == 0 || error == kWsaEWouldBlock || State() == kSocketClosed) return;
  SetError(error, std::string());
  CloseNow();
}

void ATCPClientSocket::DrainIncoming() {
  // Reads until one comes back short: the system's queue is empty then (or
  // the read budget used up), and asking again would only be told so. Each
  // read takes at least the buffer's free room; a run of full reads (a large
  // body arriving) doubles the size up to kMaxReadSize.
  std::int32_t size = kFirstReadSize;
  for (;;) {
    if (available_ >= kMaxUnread) {
      // No read now means no further FD_READ either: Consume asks again.
      read_held_ = true;
      break;
    }
    const std::size_t end = static_cast<std::size_t>(read_offset_) + static_cast<std::size_t>(available_);
    const auto room = static_cast<std::int32_t>(std::min<std::size_t>(buffer_.size() - end, kMaxReadSize));
    const std::int32_t want = std::max(size, room);
    const std::int32_t got = ReceiveIntoBuffer(want);
    if (got == 0) break;
    DataAvailable();
    if (got < want) break;
    size = std::min(size * 2, kMaxReadSize);
  }
}

std::int32_t ATCPClientSocket::BytesWaiting() {
  if (SocketHandle() == kInvalidSocket) return 0;
  int waiting = 0;
  if (::ioctl(SocketHandle(), FIONREAD, &waiting) != 0) return 0;
  if (throttle_read_) waiting = BudgetAllowance(read_window_, waiting, ThrottleReadRate, GetTickCount());
  return waiting;
}

std::int32_t ATCPClientSocket::Consume(std::int32_t count) {
  count = std::min(count, available_);
  if (count <= 0) return 0;
  read_offset_ += count;
  available_ -= count;
  if (available_ == 0) {
    read_offset_ = 0;  // nothing to move: the next data starts at the front
    if (buffer_.size() > static_cast<std::size_t>(kCompactLength)) buffer_.resize(kCompactLength);
  } else if (buffer_.size() >= static_cast<std::size_t>(kCompactLength) &&
             (available_ < kCompactUnread || static_cast<std::size_t>(read_offset_) > buffer_.size() / 2)) {
    std::memmove(buffer_.data(), buffer_.data() + read_offset_, static_cast<std::size_t>(available_));
    read_offset_ = 0;
    buffer_.resize(static_cast<std::size_t>(std::max(kCompactLength, available_)));
  }
  // Give back the memory of a burst that has been read.
  if (buffer_.capacity() > 4 * std::max<std::size_t>(buffer_.size(), kCompactLength)) buffer_.shrink_to_fit();
  ResumeHeldReading();
  return count;
}

std::int32_t ATCPClientSocket::Read(char* buffer, std::int32_t count) {
  if (count <= 0) return 0;
  const std::int32_t buffered = std::min(count, available_);
  if (buffered > 0) {
    std::memcpy(buffer, Unread(), static_cast<std::size_t>(buffered));
    Consume(buffered);
    if (buffered == count) return count;
  }
  std::int32_t total = buffered;
  while (total < count) {
    const std::int32_t got = Receive(buffer + total, count - total);
    if (got == 0) break;
    total += got;
  }
  return total;
}

std::string ATCPClientSocket::ReadText(std::int32_t count) {
  if (count <= 0) return std::string();
  if (available_ > 0 && count >= available_) return TakeAll();
  std::string result;
  std::int32_t total = 0;
  while (total < count) {
    const std::int32_t piece = std::min(count - total, std::max(available_, kReadTextPiece));
    result.resize(static_cast<std::size_t>(total + piece));
    const std::int32_t got = Read(result.data() + total, piece);
    total += got;
    if (got < piece) break;
  }
  result.resize(static_cast<std::size_t>(total));
  return result;
}

std::string ATCPClientSocket::TakeAll() {
  if (available_ == 0) return std::string();
  buffer_.erase(0, static_cast<std::size_t>(read_offset_));
  buffer_.resize(static_cast<std::size_t>(available_));
  std::string result = std::move(buffer_);
  buffer_ = std::string();
  read_offset_ = 0;
  available_ = 0;
  ResumeHeldReading();
  return result;
}

void ATCPClientSocket::ResumeHeldReading() {
  // Half the bound taken before reading again: not one read per byte taken.
  if (!read_held_ || available_ > kMaxUnread / 2 || !IsConnected()) return;
  read_held_ = false;
  PostMessage(Handle(), kSocketMessage, SocketHandle(), FD_READ);
}

std::int32_t ATCPClientSocket::Peek(char* buffer, std::int32_t count) const {
  const std::int32_t n = std::clamp(count, 0, available_);
  if (n > 0) std::memcpy(buffer, Unread(), static_cast<std::size_t>(n));
  return n;
}

std::string ATCPClientSocket::PeekText(std::int32_t count) const {
  return std::string(Unread(), static_cast<std::size_t>(std::clamp(count, 0, available_)));
}

std::int32_t ATCPClientSocket::FindByte(char value, bool negate, std::int32_t from) const {
  const char* begin = Unread();
  from = std::clamp(from, 0, available_);
  if (!negate) {
    const void* hit = from < available_
                          ? std::memchr(begin + from, value, static_cast<std::size_t>(available_ - from))
                          : nullptr;
    return hit ? static_cast<std::int32_t>(static_cast<const char*>(hit) - begin) : -1;
  }
  for (std::int32_t i = from; i < available_; ++i) {
    if (begin[i] != value) return i;
  }
  return -1;
}

std::int32_t ATCPClientSocket::FindByteInSet(const ByteSet& set, bool negate, std::int32_t from) const {
  const char* begin = Unread();
  for (std::int32_t i = std::max(from, 0); i < available_; ++i) {
    if (set.Contains(begin[i]) != negate) return i;
  }
  return -1;
}

std::int32_t ATCPClientSocket::FindText(const std::string& text, bool case_sensitive,
                                        std::int32_t from) const {
  if (text.empty()) return -1;
  const char* begin = Unread();
  const char* end = begin + available_;
  const char* start = begin + std::clamp(from, 0, available_);
  const char* hit = case_sensitive ? std::search(start, end, text.begin(), text.end())
                                   : std::search(start, end, text.begin(), text.end(), [](char a, char b) {
                                       return AsciiToLower(a) == AsciiToLower(b);
                                     });
  return hit == end ? -1 : static_cast<std::int32_t>(hit - begin);
}

bool ATCPClientSocket::MatchText(const std::string& text, bool case_sensitive) const {
  if (text.empty() || static_cast<std::size_t>(available_) < text.size()) return false;
  return case_sensitive ? std::memcmp(Unread(), text.data(), text.size()) == 0
                        : AsciiEqualFolded(Unread(), text.data(), text.size());
}

std::int32_t ATCPClientSocket::WriteBuffer(const char* buffer, std::int32_t count, bool more) {
  if (count <= 0) return 0;
  RequireConnected();
  std::int32_t sent = 0;
  if (Writable() && send_queue_.empty()) {
    int error = 0;
    sent = SendNow(buffer, count, &error, more);
    if (sent == count) return count;
    // Queued even when the send failed for good, so that the bytes count
    // as unsent.
    SendFailed(error);
  }
  queued_bytes_ += count - sent;
  if (!send_queue_.empty() && send_queue_.back().size() < kCoalesceLength) {
    send_queue_.back().append(buffer + sent, static_cast<std::size_t>(count - sent));
  } else {
    send_queue_.emplace_back(buffer + sent, static_cast<std::size_t>(count - sent));
  }
  return count;
}

std::int32_t ATCPClientSocket::WriteText(const std::string& text) {
  return WriteBuffer(text.data(), static_cast<std::int32_t>(text.size()));
}

std::int64_t ATCPClientSocket::SendFile(int file, std::int64_t offset, std::int64_t count, int& error) {
  RequireConnected();
  // One call moves at most this much; the system takes less anyway.
  constexpr std::int64_t kMaxChunk = 1 << 30;
  std::int64_t total = 0;
  error = 0;
  while (total < count && Writable() && send_queue_.empty()) {
    const std::int32_t sent = SendFileChunk(
        file, offset + total, static_cast<std::int32_t>(std::min(count - total, kMaxChunk)), error);
    if (sent == 0) {
      SendFailed(error);
      break;
    }
    total += sent;
  }
  return total;
}

void ATCPClientSocket::Shutdown(bool graceful) {
  if (State() == kSocketClosed || SocketHandle() == kInvalidSocket) return;
  if (graceful && tls_ && send_queue_.empty() && !tls_->Failed()) {
    tls_->SendCloseNotify();
    int error = 0;
    if (!tls_->Flush(error) && !tls_->Failed()) {
      close_when_sent_ = true;
      return;
    }
  }
  if (!graceful || send_queue_.empty()) {
    ::shutdown(SocketHandle(), SHUT_WR);
    CloseNow();
    return;
  }
  // Shutting the sending side now would strand the queue: the end of the
  // stream goes out after the last queued byte (SendBufferEmpty).
  close_when_sent_ = true;
}

void ATCPClientSocket::CloseNow() {
  SetState(kSocketClosed);
  Closed();
  CloseSocketHandle();
}

void ATCPClientSocket::SetThrottleRead(bool value) {
  if (value == throttle_read_) return;
  throttle_read_ = value;
  UpdateTimer();
  if (!value && IsConnected()) PostMessage(Handle(), kSocketMessage, SocketHandle(), FD_READ);
}

void ATCPClientSocket::ApplyThrottling(bool read, std::int32_t read_rate, bool write,
                                       std::int32_t write_rate) {
  if (!InOwnerThread() && Handle() != 0) {
    PostMessage(Handle(), kThrottleReadMessage, read_rate, read ? 1 : 0);
    PostMessage(Handle(), kThrottleWriteMessage, write_rate, write ? 1 : 0);
    return;
  }
  ThrottleReadRate = read_rate;
  SetThrottleRead(read);
  ThrottleWriteRate = write_rate;
  SetThrottleWrite(write);
}

}  // namespace vt
