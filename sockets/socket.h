#pragma once

// The socket base classes.
//
// ASocket wraps one socket handle in a TTimerHandle: the socket runs
// non-blocking, and its readiness arrives as kSocketMessage on its window
// (sockets/async_select.h), so all socket work happens on the thread that
// created the window (the owning thread). ASocketExSendBuffer adds the ordered
// queue of bytes the system has not yet taken and the write throttle: a
// budget in bytes per second, checked before each send, with a 10 ms timer
// that resumes sending.
//
// Lifetime and threads: the owner deletes the socket; deleting it closes the
// handle and the window. Every operation runs on the owning thread, except
// Terminate(), which any thread may call (see there), and
// ATCPClientSocket::ApplyThrottling. Events (OnStateChange, OnError,
// OnSendBufferEmpty, ...) fire on the owning thread.

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/window_handle.h"
#include "sockets/async_select.h"
#include "sockets/tls_session.h"
#include "sockets/winsock.h"

namespace vt {

// Socket states.
constexpr std::uint8_t kSocketClosed = 0;
constexpr std::uint8_t kSocketConnected = 5;
constexpr std::uint8_t kSocketListening = 6;

// The socket layer's own error codes.
constexpr int kErrorNotClosed = 20001;
constexpr int kErrorNotConnected = 20002;
constexpr int kErrorHandleOnOpen = 20003;

// The window of a rate budget: since StartTick, Bytes have been transferred.
struct TBudgetWindow {
  std::uint32_t StartTick = 0;
  std::int32_t Bytes = 0;
};

// The budget for a transfer of `count` bytes at `rate` bytes per second at
// tick `now`: `count` cut to what the window allows, never below 0. A window
// older than one second is first shortened to at most 50 ms by halving its
// length, and its byte count is set so that the balance it had (budget left
// unused, or bytes sent ahead) stays, up to 50 ms worth either way: old
// history fades, and a sender that keeps up gets exactly its rate. A fresh
// window allows a first slice of 20 ms at once.
std::int32_t BudgetAllowance(TBudgetWindow& window, std::int32_t count, std::int32_t rate, std::uint32_t now);

// Counts `count` transferred bytes into the window (saturating).
void BudgetAdd(TBudgetWindow& window, std::int64_t count);

class ASocket : public TTimerHandle {
 public:
  using TSocketStateChangeEvent =
      std::function<void(ASocket& sender, std::uint8_t old_state, std::uint8_t new_state)>;
  using TSocketEvent = std::function<void(ASocket& sender)>;

  ASocket() = default;
  ~ASocket() override;

  TSocketStateChangeEvent OnStateChange;
  TSocketEvent OnError;  // a non-zero error code was stored

  std::uint8_t Protocol() const { return protocol_; }
  std::uint8_t State() const { return state_; }
  // The handle, or kInvalidSocket; GetSocketHandle allocates one.
  TSocket SocketHandle() const { return socket_handle_; }
  int ErrorCode() const { return error_code_; }
  const std::string& ErrorMessage() const { return error_message_; }
  const std::string& LocalHost() const { return local_host_; }
  std::string LocalPort() { return GetLocalPort(); }

  // Connected or listening.
  bool IsOpen() const { return state_ == kSocketConnected || state_ == kSocketListening || state_ == 4; }

  // Virtual operations added, in slot order. (The defaults that an Init
  // would set are member initialisers here.)
  // Takes over `handle` (the socket must be closed).
  virtual void InitWithHandle(TSocket handle);
  virtual void InitWithProtocol(std::uint8_t protocol);
  // State closed without a state event, then the handle is closed.
  virtual void Close();
  virtual void HandleNotification(std::int32_t events, std::int32_t error) = 0;
  // Stores the error, then raises EWinSock with `msg` and `code`.
  [[noreturn]] virtual void RaiseError(const std::string& msg, int code);
  virtual bool IsConnected() const;
  virtual void StateChanged(std::uint8_t old_state, std::uint8_t new_state);
  virtual void SetProtocol(std::uint8_t value);
  virtual void SetLocalHost(const std::string& value);
  virtual void SetLocalPort(const std::string& value);
  // LocalPort; when it is empty on an open socket, the port actually bound.
  virtual std::string GetLocalPort();
  // The FD_ events asked for in asynchronous mode.
  virtual std::int32_t NotificationEvents() const = 0;

  std::int32_t HandleWM(std::uint32_t msg, std::int32_t wParam, std::int32_t lParam) override;
  // Marks the window Terminated and closes the socket. From another thread
  // than the owning one it only shuts the connection down (both ways), so
  // that the owner's next read or wait ends; the owner, or the destructor,
  // closes the handle. That keeps a descriptor number from being closed
  // while its owner may still use it (it could already name a new socket).
  void Terminate() override;

  void SetError(int code, const std::string& msg);
  [[noreturn]] void RaiseWinSockError(const std::string& msg, int code);
  [[noreturn]] void RaiseLastWinSockError(const std::string& msg);
  // Raises "Operation only allowed on closed socket: <operation>" (20001)
  // unless the socket is closed.
  void RequireClosed(const std::string& operation);
  // Raises "Socket not connected" (20002) unless connected.
  void RequireConnected();
  void SetState(std::uint8_t value);
  void CloseSocketHandle();
  TSocket GetSocketHandle();
  void SetSocketHandle(TSocket value);
  void Bind(const sockaddr_in& address);
  void Bind(const TSocketAddress& address);
  // Binds to LocalHost and LocalPort, allocating a handle of the address's
  // family when there is none yet. LocalHost is an IPv4 or IPv6 address or
  // a host name (its first address); a name that cannot be resolved raises
  // "Socket bind failed" with the resolver's text rather than binding some
  // other address. An empty LocalHost is every address: IPv6 and IPv4 on
  // one socket ([::] with IPV6_V6ONLY off), or IPv4 alone (0.0.0.0) where
  // the system has no IPv6. `reuse_address`: SO_REUSEADDR first.
  void BindLocal(bool reuse_address = false);
  // The address the socket is bound to; unknown (family 0) without a handle
  // or when the system cannot tell.
  TSocketAddress GetLocalAddress() const;
  // Non-blocking, and notifications on this socket's window.
  // `non_blocking`: the handle is known to be so already (accepted with
  // SOCK_NONBLOCK), which spares asking the system.
  void SetAsyncMode(bool non_blocking = false);

 protected:
  // For subclasses that take over an accepted handle: the state without event.
  void SetStateDirect(std::uint8_t value) { state_ = value; }

 private:
  std::uint8_t protocol_ = kProtocolTCP;
  std::uint8_t state_ = kSocketClosed;
  TSocket socket_handle_ = kInvalidSocket;  // written on the owning thread under handle_mutex_
  std::mutex handle_mutex_;                 // lets Terminate from another thread use the handle safely
  int error_code_ = 0;
  std::string error_message_;
  std::string local_host_;
  std::string local_port_;
};

class ASocketExSendBuffer : public ASocket {
 public:
  ASocketExSendBuffer();
  ~ASocketExSendBuffer() override;

  TSocketEvent OnSendBufferEmpty;      // the send queue has drained
  std::int32_t ThrottleWriteRate = 0;  // bytes per second, a plain value
  // Where the bytes the system took are added up, for readers on other
  // threads (a display of the connection); null: not counted. Only this
  // socket's thread adds to it.
  std::atomic<std::int64_t>* SentCounter = nullptr;

  bool Writable() const { return writable_; }
  bool ThrottleWrite() const { return throttle_write_; }

  // Virtual operations added, in slot order.
  // The system takes data again: send what is queued.
  virtual void WriteReady();
  virtual bool TimerNeeded() const;
  // When switched off on a connected socket, FD_WRITE is posted to the socket
  // itself so that the held-back queue leaves at once.
  virtual void SetThrottleWrite(bool value);
  virtual void SendBufferEmpty();
  virtual std::int32_t WriteAllowance(std::int32_t count);
  virtual void FlushSendBuffer() = 0;

  // One send of up to `count` bytes within the budget: the count sent (0 on
  // failure or without budget) and the WinSock error in `error`.
  // `more`: more bytes follow at once (MSG_MORE), so the system may keep
  // these for the same segment.
  std::int32_t SendChunk(const char* buffer, std::int32_t count, int& error, bool more = false);
  // SendChunk until everything went out or a chunk sent nothing; the
  // WinSock error of that last chunk goes to `error` when given.
  std::int32_t SendNow(const char* buffer, std::int32_t count, int* error = nullptr, bool more = false);
  // SendChunk for `count` bytes of the file `file` from `offset` (sendfile):
  // the count sent, 0 on failure, without budget, or at the file's end (then
  // `error` stays 0 and the socket stays Writable).
  std::int32_t SendFileChunk(int file, std::int64_t offset, std::int32_t count, int& error);
  // Nothing queued, no ciphertext waiting (TLS), and the system takes data.
  bool IsSendComplete() const { return writable_ && send_queue_.empty() && (!tls_ || tls_->Backlog() == 0); }
  // From here on every byte goes through `session` (TLS): sends encrypt,
  // and the socket's owner reads through it (ATCPClientSocket). Set before
  // the first byte is read or sent.
  void UseTls(std::unique_ptr<TTlsSession> session) { tls_ = std::move(session); }
  TTlsSession* Tls() const { return tls_.get(); }
  // The system takes data (a fresh connection, whose send queue is empty).
  void MarkWritable() { writable_ = true; }
  void UpdateTimer();

  void HandleNotification(std::int32_t events, std::int32_t error) override;
  void TriggerTimer() override;

 protected:
  // Unsent bytes in write order; the head item's first head_sent_ bytes have
  // already gone out.
  std::deque<std::string> send_queue_;
  std::size_t head_sent_ = 0;
  // The connection's encryption; null for a plain connection.
  std::unique_ptr<TTlsSession> tls_;

 private:
  // One send of up to `count` bytes within the budget through `send`
  // (taking the allowed count, returning what the system call returned).
  template <typename Send>
  std::int32_t SendWithinBudget(std::int32_t count, int& error, Send send);
  // SendFileChunk over TLS: the file read into memory and encrypted.
  std::int32_t SendFileEncrypted(int file, std::int64_t offset, std::int32_t count, int& error);

  bool writable_ = false;
  bool throttle_write_ = false;
  TBudgetWindow write_window_;
};

}  // namespace vt
