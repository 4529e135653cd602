#include "sockets/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <memory>

#include "platform/ticks.h"

namespace vt {

std::int32_t BudgetAllowance(TBudgetWindow& window, std::int32_t count, std::int32_t rate,
                             std::uint32_t now) {
  // Tick differences are taken modulo 2^32, so the wrap of the tick count
  // does no harm.
  auto elapsed = static_cast<std::int32_t>(now - window.StartTick);
  if (elapsed > 1000) {
    // The window is shortened to at most 50 ms while the balance it has
    // built up (budget not yet used, or bytes sent ahead of it) is carried
    // over, up to 50 ms worth either way: so old history fades, yet a
    // sender that keeps up with its budget loses none of it at the cut
    // (halving the byte count with the length would take the unused part
    // of the latest interval away with it, every second).
    const std::int64_t kept = static_cast<std::int64_t>(rate) * 50 / 1000;
    const std::int64_t balance =
        std::clamp(static_cast<std::int64_t>(rate) * elapsed / 1000 - window.Bytes, -kept, kept);
    while (elapsed > 50) elapsed /= 2;
    window.Bytes = static_cast<std::int32_t>(std::clamp<std::int64_t>(
        static_cast<std::int64_t>(rate) * elapsed / 1000 - balance, INT32_MIN, INT32_MAX));
    window.StartTick = now - static_cast<std::uint32_t>(elapsed);
  }
  // The product in 64 bits: above about 2 MB/s it would not fit in 32, and a
  // wrapped budget would stall the connection.
  const std::int64_t allowance = static_cast<std::int64_t>(rate) * (elapsed + 20) / 1000 - window.Bytes;
  if (allowance < count) count = static_cast<std::int32_t>(std::max<std::int64_t>(allowance, 0));
  return count < 0 ? 0 : count;
}

void BudgetAdd(TBudgetWindow& window, std::int64_t count) {
  window.Bytes = static_cast<std::int32_t>(std::min<std::int64_t>(window.Bytes + count, INT32_MAX));
}

// ---------------------------------------------------------------------------
// ASocket

ASocket::~ASocket() { ASocket::Close(); }

void ASocket::InitWithHandle(TSocket handle) { SetSocketHandle(handle); }

void ASocket::InitWithProtocol(std::uint8_t protocol) { SetProtocol(protocol); }

void ASocket::Close() {
  state_ = kSocketClosed;
  CloseSocketHandle();
}

std::int32_t ASocket::HandleWM(std::uint32_t msg, std::int32_t wParam, std::int32_t lParam) {
  if (msg == kSocketMessage && socket_handle_ != kInvalidSocket && wParam == socket_handle_) {
    try {
      HandleNotification(lParam & 0xffff, (lParam >> 16) & 0xffff);
    } catch (const Exception& e) {
      if (OnException) OnException(*this, e);
    }
    return 0;
  }
  return TTimerHandle::HandleWM(msg, wParam, lParam);
}

void ASocket::Terminate() {
  TTimerHandle::Terminate();
  if (InOwnerThread()) {
    Close();
    return;
  }
  std::lock_guard lock(handle_mutex_);
  if (socket_handle_ != kInvalidSocket) ::shutdown(socket_handle_, SHUT_RDWR);
}

void ASocket::RaiseError(const std::string& msg, int code) {
  SetError(code, msg);
  throw EWinSock(msg, code);
}

bool ASocket::IsConnected() const { return state_ == kSocketConnected || state_ == 4; }

void ASocket::StateChanged(std::uint8_t old_state, std::uint8_t new_state) {
  if (OnStateChange) OnStateChange(*this, old_state, new_state);
}

void ASocket::SetProtocol(std::uint8_t value) {
  if (value == protocol_) return;
  RequireClosed("SetProtocol");
  protocol_ = value;
}

void ASocket::SetLocalHost(const std::string& value) {
  if (value == local_host_) return;
  RequireClosed("SetLocalHost");
  local_host_ = value;
}

void ASocket::SetLocalPort(const std::string& value) {
  if (value == local_port_) return;
  RequireClosed("SetLocalPort");
  local_port_ = value;
}

std::string ASocket::GetLocalPort() {
  // Also for a listening socket: one bound to port 0 can tell its real port.
  if (!local_port_.empty() || !IsOpen()) return local_port_;
  TSocketAddress address;
  socklen_t size = sizeof address.v6;
  if (::getsockname(socket_handle_, &address.any, &size) != 0)
    RaiseLastWinSockError("Error retrieving local name");
  return std::to_string(address.Port());
}

TSocketAddress ASocket::GetLocalAddress() const {
  TSocketAddress address;
  socklen_t size = sizeof address.v6;
  if (socket_handle_ == kInvalidSocket || ::getsockname(socket_handle_, &address.any, &size) != 0)
    return TSocketAddress();
  return address;
}

void ASocket::SetError(int code, const std::string& msg) {
  error_code_ = code;
  error_message_ = msg;
  if (code != 0 && OnError) OnError(*this);
}

void ASocket::RaiseWinSockError(const std::string& msg, int code) {
  const std::string text = msg + ": " + WinSockErrorText(code);
  RaiseError(text, code);
  throw EWinSock(text, code);  // only reached when an override of RaiseError returns
}

void ASocket::RaiseLastWinSockError(const std::string& msg) { RaiseWinSockError(msg, WSAGetLastError()); }

void ASocket::RequireClosed(const std::string& operation) {
  if (state_ != kSocketClosed)
    RaiseError("Operation only allowed on closed socket: " + operation, kErrorNotClosed);
}

void ASocket::RequireConnected() {
  if (!IsConnected()) RaiseError("Socket not connected", kErrorNotConnected);
}

void ASocket::SetState(std::uint8_t value) {
  if (value == state_) return;
  const std::uint8_t old_state = state_;
  state_ = value;
  StateChanged(old_state, value);
}

void ASocket::CloseSocketHandle() {
  if (socket_handle_ == kInvalidSocket) return;
  TSocket old_handle;
  {
    std::lock_guard lock(handle_mutex_);
    old_handle = socket_handle_;
    socket_handle_ = kInvalidSocket;
  }
  CloseSocket(old_handle);
}

TSocket ASocket::GetSocketHandle() {
  if (socket_handle_ == kInvalidSocket) {
    const TSocket handle = AllocateSocket(protocol_);
    std::lock_guard lock(handle_mutex_);
    socket_handle_ = handle;
  }
  return socket_handle_;
}

void ASocket::SetSocketHandle(TSocket value) {
  if (value == socket_handle_) return;
  if (IsOpen()) RaiseError("Socket handle can not be set on open socket", kErrorHandleOnOpen);
  CloseSocketHandle();
  std::lock_guard lock(handle_mutex_);
  socket_handle_ = value;
}

void ASocket::Bind(const sockaddr_in& address) { Bind(TSocketAddress(address)); }

void ASocket::Bind(const TSocketAddress& address) {
  if (::bind(GetSocketHandle(), &address.any, address.Length()) != 0)
    RaiseLastWinSockError("Socket bind failed");
}

namespace {

TSocketAddress WildcardAddress(int family, std::uint16_t port) {
  TSocketAddress address;
  if (family == AF_INET6) {
    address.v6.sin6_family = AF_INET6;
    address.v6.sin6_addr = in6addr_any;
    address.v6.sin6_port = port;
  } else {
    address.v4.sin_family = AF_INET;
    address.v4.sin_addr.s_addr = htonl(INADDR_ANY);
    address.v4.sin_port = port;
  }
  return address;
}

// The address family of a socket handle; 0 when the system cannot tell.
int FamilyOfHandle(TSocket handle) {
  int family = 0;
  socklen_t size = sizeof family;
  return ::getsockopt(handle, SOL_SOCKET, SO_DOMAIN, &family, &size) == 0 ? family : 0;
}

// Failures that mean "this system has no IPv6" rather than a fault of ours.
bool IsNoIPv6(int code) { return code == kWsaEAfNoSupport || code == kWsaEAddrNotAvail || code == 10046; }

}  // namespace

void ASocket::BindLocal(bool reuse_address) {
  std::uint16_t port = 0;
  // A port that names no service must not turn into "any free port": the
  // server would seem to listen where nobody will look for it.
  const int error = PortFromText(local_port_, protocol_, port);
  if (error != 0) RaiseWinSockError("Socket bind failed", error);
  const bool every_address = local_host_.empty();
  TSocketAddress address = WildcardAddress(AF_INET6, port);
  // An address that cannot be had must not turn into "every address" either.
  if (!every_address) {
    if (const int resolved = ResolveSocketAddress(local_host_, port, address))
      RaiseWinSockError("Socket bind failed", resolved);
  }
  if (socket_handle_ != kInvalidSocket) {
    // A handle made before (of the default family) decides: every address
    // is then every address of that family.
    const int family = FamilyOfHandle(socket_handle_);
    if (every_address && family != 0) address = WildcardAddress(family, port);
  } else {
    TSocket handle = kInvalidSocket;
    try {
      handle = AllocateSocket(protocol_, address.Family());
    } catch (const EWinSock& e) {
      if (!every_address || !IsNoIPv6(e.ErrorCode())) throw;
      address = WildcardAddress(AF_INET, port);
      handle = AllocateSocket(protocol_, AF_INET);
    }
    SetSocketHandle(handle);
  }
  if (reuse_address) {
    const int on = 1;
    ::setsockopt(socket_handle_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  }
  if (every_address && address.Family() == AF_INET6) {
    // Dual stack: IPv4 clients arrive on the same socket as mapped
    // addresses, whatever the system's default (net.ipv6.bindv6only).
    const int off = 0;
    ::setsockopt(socket_handle_, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    if (::bind(socket_handle_, &address.any, address.Length()) == 0) return;
    const int code = WSAGetLastError();
    if (!IsNoIPv6(code)) RaiseWinSockError("Socket bind failed", code);
    // IPv6 is there as a socket family but not as an address: IPv4 alone.
    CloseSocketHandle();
    address = WildcardAddress(AF_INET, port);
    SetSocketHandle(AllocateSocket(protocol_, AF_INET));
    if (reuse_address) {
      const int on = 1;
      ::setsockopt(socket_handle_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
  }
  Bind(address);
}

void ASocket::SetAsyncMode(bool non_blocking) {
  if (socket_handle_ == kInvalidSocket) return;
  // WSAAsyncSelect makes the socket non-blocking (when it is not yet).
  const int failed =
      non_blocking ? WatchNonBlockingSocket(socket_handle_, GetHandle(), kSocketMessage, NotificationEvents())
                   : WSAAsyncSelect(socket_handle_, GetHandle(), kSocketMessage, NotificationEvents());
  if (failed != 0) RaiseLastWinSockError("Asynchronous mode not set");
}

// ---------------------------------------------------------------------------
// ASocketExSendBuffer

ASocketExSendBuffer::ASocketExSendBuffer() {
  write_window_.StartTick = GetTickCount();
  // A throttled connection sends what its budget allows at every tick: with
  // ticks 50 ms apart a second of the peer's counting could gain or lose up
  // to 5% of its bytes at its boundaries; 10 ms keeps every second within
  // about 1% of the rate.
  TimerInterval = 10;
}

ASocketExSendBuffer::~ASocketExSendBuffer() { TTimerHandle::SetTimerActive(false); }

void ASocketExSendBuffer::WriteReady() {
  writable_ = true;
  const bool ciphertext = tls_ && tls_->Backlog() > 0;
  if (send_queue_.empty() && !ciphertext) return;
  // Ciphertext made earlier goes before any later plaintext is encrypted.
  if (ciphertext) {
    int error = 0;
    if (!tls_->Flush(error)) {
      writable_ = false;
      return;
    }
  }
  if (!send_queue_.empty()) FlushSendBuffer();
  if (IsSendComplete()) SendBufferEmpty();
}

bool ASocketExSendBuffer::TimerNeeded() const { return throttle_write_ && State() == kSocketConnected; }

void ASocketExSendBuffer::SetThrottleWrite(bool value) {
  if (value == throttle_write_) return;
  throttle_write_ = value;
  UpdateTimer();
  if (!value && IsConnected()) PostMessage(Handle(), kSocketMessage, SocketHandle(), FD_WRITE);
}

void ASocketExSendBuffer::SendBufferEmpty() {
  if (OnSendBufferEmpty) OnSendBufferEmpty(*this);
}

std::int32_t ASocketExSendBuffer::WriteAllowance(std::int32_t count) {
  if (!throttle_write_ || !IsConnected()) return count;
  return BudgetAllowance(write_window_, count, ThrottleWriteRate, GetTickCount());
}

template <typename Send>
std::int32_t ASocketExSendBuffer::SendWithinBudget(std::int32_t count, int& error, Send send) {
  error = 0;
  const std::int32_t allowed = WriteAllowance(count);
  if (allowed <= 0) return 0;
  const ssize_t sent = send(static_cast<std::size_t>(allowed));
  if (sent < 0) {
    error = WSAGetLastError();
    if (error == kWsaEWouldBlock) writable_ = false;
    return 0;
  }
  BudgetAdd(write_window_, sent);
  if (SentCounter)
    SentCounter->store(SentCounter->load(std::memory_order_relaxed) + sent, std::memory_order_relaxed);
  return static_cast<std::int32_t>(sent);
}

std::int32_t ASocketExSendBuffer::SendChunk(const char* buffer, std::int32_t count, int& error, bool more) {
  if (tls_)
    return SendWithinBudget(count, error, [&](std::size_t allowed) { return tls_->Send(buffer, allowed); });
  return SendWithinBudget(count, error, [&](std::size_t allowed) {
    return SocketSend(SocketHandle(), buffer, allowed, more ? MSG_MORE : 0);
  });
}

std::int32_t ASocketExSendBuffer::SendFileChunk(int file, std::int64_t offset, std::int32_t count,
                                                int& error) {
  if (tls_) return SendFileEncrypted(file, offset, count, error);
  return SendWithinBudget(count, error, [&](std::size_t allowed) {
    return SocketSendFile(SocketHandle(), file, offset, allowed);
  });
}

std::int32_t ASocketExSendBuffer::SendFileEncrypted(int file, std::int64_t offset, std::int32_t count,
                                                    int& error) {
  // The kernel here cannot encrypt (no TLS in the socket layer), so the
  // file passes through memory: one piece read, then encrypted whole. The
  // piece is the thread's, made once.
  thread_local std::unique_ptr<char[]> piece;
  if (!piece) piece = std::make_unique<char[]>(TTlsSession::kSendPiece);
  return SendWithinBudget(count, error, [&](std::size_t allowed) -> ssize_t {
    // Nothing is read while earlier ciphertext waits: the file's bytes
    // would have nowhere to go.
    if (tls_->Backlog() > 0) {
      int flush_error = 0;
      if (!tls_->Flush(flush_error)) {
        errno = tls_->Failed() ? EPIPE : EAGAIN;
        return -1;
      }
    }
    const ssize_t got = ::pread(file, piece.get(), std::min(allowed, TTlsSession::kSendPiece), offset);
    if (got <= 0) return got;
    return tls_->Send(piece.get(), static_cast<std::size_t>(got));
  });
}

std::int32_t ASocketExSendBuffer::SendNow(const char* buffer, std::int32_t count, int* error, bool more) {
  std::int32_t total = 0;
  int last_error = 0;
  while (total < count) {
    const std::int32_t sent = SendChunk(buffer + total, count - total, last_error, more);
    if (sent == 0) break;
    total += sent;
  }
  if (error) *error = last_error;
  return total;
}

void ASocketExSendBuffer::UpdateTimer() { SetTimerActive(TimerNeeded()); }

void ASocketExSendBuffer::HandleNotification(std::int32_t events, std::int32_t /*error*/) {
  if (events & FD_WRITE) WriteReady();
}

void ASocketExSendBuffer::TriggerTimer() {
  if (throttle_write_) WriteReady();
}

}  // namespace vt
