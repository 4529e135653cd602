#pragma once

// One connected TCP stream.
//
// ATCPClientSocket keeps a receive buffer that is filled when the peer's data
// is reported (FD_READ, FD_CLOSE, or the throttling timer), reads that take
// from the buffer first and then straight from the socket into the caller's
// memory, searches in place over the unread bytes, writes that send at once
// or queue in order, graceful and immediate closing, and read throttling with
// the same budget as write throttling.
//
// The peer's end of stream. When the peer ends its sending side in order
// (FD_CLOSE without an error) while bytes of ours are still queued, the
// socket stays connected for sending: the queue goes on draining, further
// writes are accepted, and ReceiveEnded tells readers that nothing more
// will arrive. It closes when its owner closes it (Shutdown(true) closes it
// once the queue has drained), or at once when a send then fails (the peer
// has gone altogether). A peer's end with nothing queued, and a reset or
// error, close the socket at once, as before.
//
// Lifetime and threads: made on the thread that will serve it (the worker of
// its connection): the constructor taking a handle registers the socket on a
// window of the calling thread. Everything runs there, events included
// (OnDataAvailable, OnClose, ...), except Terminate and ApplyThrottling, which
// any thread may call. The owner deletes it; that closes the handle.

#include <atomic>
#include <string>
#include <string_view>

#include "sockets/socket.h"
#include "util/byte_set.h"

namespace vt {

class ATCPClientSocket : public ASocketExSendBuffer {
 public:
  ATCPClientSocket() = default;
  // Takes over a connected handle (see InitWithHandle).
  explicit ATCPClientSocket(TSocket handle);
  ~ATCPClientSocket() override = default;

  TSocketEvent OnDataAvailable;       // data has arrived
  TSocketEvent OnClose;               // the connection has been closed
  std::int32_t ThrottleReadRate = 0;  // bytes per second, a plain value

  // Unread bytes in the receive buffer.
  std::int32_t Available() const { return available_; }
  // Bytes written but not yet taken by the system (over TLS: with the
  // ciphertext made of them that waits).
  std::int64_t QueuedBytes() const {
    return queued_bytes_ + (tls_ ? static_cast<std::int64_t>(tls_->Backlog()) : 0);
  }
  bool ThrottleRead() const { return throttle_read_; }
  // The peer has ended its sending side: no more bytes will arrive beyond
  // those buffered (Available).
  bool ReceiveEnded() const { return receive_ended_; }
  // Bytes taken from the system since the socket was made. Any thread.
  std::int64_t BytesReceived() const { return bytes_received_.load(std::memory_order_relaxed); }

  // Virtual operations added, in slot order.
  virtual void DataAvailable();
  virtual void Closed();
  // The peer's IPv4 address (network order; an IPv4-mapped peer of a
  // dual-stack socket included), kInAddrNone when unknown or when the peer
  // is an IPv6 one; raises "Socket not connected" (20002) when not
  // connected.
  virtual TInAddr GetPeerAddress();
  // Text of the peer address: dotted for IPv4 peers, "::1" and the like for
  // IPv6 ones; empty when unknown.
  virtual std::string GetPeerAddressText();
  // Reverse lookup of the peer address, else its text; computed once.
  virtual std::string GetPeerHostName();
  // The peer's full address (either family); raises as GetPeerAddress.
  TSocketAddress GetPeerSocketAddress();

  // Takes over `handle`: when the system reports it as a usable connection
  // the socket becomes connected (without state event) and asynchronous;
  // otherwise it stays closed.
  void InitWithHandle(TSocket handle) override;
  // InitWithHandle for a handle fresh from SocketAccept: a connected,
  // non-blocking socket by construction, taken over without asking the
  // system about it, and writable (its send queue is empty). `read_first`:
  // what has arrived is read at once, and the socket is watched only when
  // its owner first waits (WatchBeforeWait; see the definition); only for
  // a socket whose reads are not throttled yet.
  void InitWithAcceptedHandle(TSocket handle, bool read_first = false);
  // Before a wait on the owning thread's queue for this socket's
  // notifications: starts watching the socket when that was left for now.
  // Raises as SetAsyncMode.
  void WatchBeforeWait() {
    if (watch_due_) StartWatch();
  }
  std::int32_t NotificationEvents() const override { return FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE; }
  void HandleNotification(std::int32_t events, std::int32_t error) override;
  bool TimerNeeded() const override;
  void TriggerTimer() override;
  void SendBufferEmpty() override;
  void FlushSendBuffer() override;
  std::int32_t HandleWM(std::uint32_t msg, std::int32_t wParam, std::int32_t lParam) override;

  // Reading. Read and ReadText take what is buffered, then read the socket
  // directly; they never wait.
  std::int32_t Read(char* buffer, std::int32_t count);
  std::string ReadText(std::int32_t count);
  std::string TakeAll();
  std::int32_t Peek(char* buffer, std::int32_t count) const;
  std::string PeekText(std::int32_t count) const;
  std::int32_t Consume(std::int32_t count);

  // Searches over the unread bytes: the 0-based distance from the read
  // position to the first match (with `negate`: the first byte that does not
  // match), or -1; an empty text is never found. `from` skips that many
  // unread bytes known not to hold a match, so a search that waits for more
  // data looks only at the new bytes.
  std::int32_t FindByte(char value, bool negate = false, std::int32_t from = 0) const;
  std::int32_t FindByteInSet(const ByteSet& set, bool negate = false, std::int32_t from = 0) const;
  std::int32_t FindText(const std::string& text, bool case_sensitive = true, std::int32_t from = 0) const;
  // True when the unread bytes begin with `text` (false for an empty text).
  bool MatchText(const std::string& text, bool case_sensitive = true) const;
  // The first unread byte; only when Available() > 0.
  char FirstUnread() const { return buffer_[read_offset_]; }
  // The unread bytes in place, for a parser that takes what is there
  // without a copy: valid until the next read, receive or Consume.
  std::string_view UnreadView() const { return {Unread(), static_cast<std::size_t>(available_)}; }

  // Writing: sends at once or queues; returns `count`. Raises "Socket not
  // connected" (20002) when not connected. `more`: more bytes follow at
  // once (see SendChunk).
  std::int32_t WriteBuffer(const char* buffer, std::int32_t count, bool more = false);
  std::int32_t WriteText(const std::string& text);
  // Sends up to `count` bytes of the file `file` from `offset` straight
  // from the file (sendfile), never queueing: only while nothing is queued
  // and the system takes data. Returns the count sent; when it is short,
  // `error` holds the WinSock error that stopped it (kWsaEWouldBlock when
  // the system takes no more for now), or 0 when the budget ran out or the
  // file ended. Raises "Socket not connected" (20002) when not connected.
  std::int64_t SendFile(int file, std::int64_t offset, std::int64_t count, int& error);

  // Graceful: the connection closes once the send queue has drained (the
  // peer sees the end of the stream only after the last queued byte).
  void Shutdown(bool graceful);
  // State closed (with state event), OnClose, then the handle is closed.
  void CloseNow();
  void SetThrottleRead(bool value);
  // Bytes the system holds for reading, cut to the read budget.
  std::int32_t BytesWaiting();

  // Sets read and write throttling in that order, from any thread: on
  // another thread than the owner the values are posted to the socket's
  // window and applied there, so the throttling timer starts and stops on
  // the owning thread.
  void ApplyThrottling(bool read, std::int32_t read_rate, bool write, std::int32_t write_rate);

 private:
  // Receives into the caller's memory within the read budget; 0 on failure.
  std::int32_t Receive(char* buffer, std::int32_t count);
  std::int32_t ReceiveIntoBuffer(std::int32_t count);
  void DrainIncoming();
  void ResumeHeldReading();
  // A send failed with `error`: once the peer has ended its side, no close
  // notification will follow, so a hard failure closes the socket here.
  void SendFailed(int error);
  const char* Unread() const { return buffer_.data() + read_offset_; }

  std::string buffer_;  // the window [read_offset_, read_offset_ + available_) is unread
  std::int32_t available_ = 0;
  std::int32_t read_offset_ = 0;
  bool throttle_read_ = false;
  // Reading stopped with the buffer full of unread data (see DrainIncoming);
  // taking data asks for it again.
  bool read_held_ = false;
  TBudgetWindow read_window_;
  bool peer_host_done_ = false;
  std::string peer_host_;
  bool close_when_sent_ = false;
  bool receive_ended_ = false;
  // Watching was left until the first wait.
  bool watch_due_ = false;
  void StartWatch();
  std::int64_t queued_bytes_ = 0;
  std::atomic<std::int64_t> bytes_received_{0};
};

// The connection socket of an accepted connection.
class TTCPServerClientSocket : public ATCPClientSocket {
 public:
  using ATCPClientSocket::ATCPClientSocket;
};

}  // namespace vt
