#include "tcpserver/server_client.h"

#include <algorithm>
#include <chrono>
#include <cstddef>

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "platform/synchronize.h"
#include "sockets/async_select.h"
#include "tcpserver/tcp_server.h"

namespace vt {

// ---------------------------------------------------------------------------
// TTCPServerClient

TTCPServerClient::TTCPServerClient(ATCPServer& server) : server_(&server) {
  Figures.OpenedMs = IdleClockMs();
}

TTCPServerClient::~TTCPServerClient() {
  stream_.reset();
  socket_.reset();
  if (!handle_taken_ && SocketHandle != kInvalidSocket) CloseSocket(SocketHandle);
}

TTCPServerClientThread* TTCPServerClient::Thread() const {
  return connection_ ? connection_->Worker() : nullptr;
}

void TTCPServerClient::Log(int log_class, const std::string& msg) {
  if (TTCPServerClientThread* thread = Thread()) {
    thread->Log(log_class, msg);
  } else if (ATCPServer* server = Server()) {
    server->Log(log_class, msg);
  }
}

void TTCPServerClient::Execute() {
  if (Terminated()) return;
  if (ATCPServer* server = Server()) server->ClientExecute(*this);
}

void TTCPServerClient::Terminate() {
  terminated_.store(true, std::memory_order_release);
  TerminateConnection();
  if (TTCPServerClientThread* thread = Thread()) thread->Terminate();
}

void TTCPServerClient::Synchronize(const std::function<void()>& fn) {
  if (TTCPServerClientThread* thread = Thread()) {
    thread->Synchronize(fn);
  } else {
    vt::Synchronize(fn);
  }
}

void TTCPServerClient::ApplyThrottling(bool read, std::int32_t read_rate, bool write,
                                       std::int32_t write_rate) {
  std::lock_guard lock(socket_mutex_);
  // A socket without a window never got connected: nothing to throttle, and
  // applying in place from this thread would race with its worker.
  if (socket_ && socket_->Handle() != 0) socket_->ApplyThrottling(read, read_rate, write, write_rate);
}

std::int64_t IdleClockMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void TTCPServerClient::SetIdle() {
  std::int64_t expected = 0;
  // Never 0 or the claim mark, whatever the clock says.
  idle_since_.compare_exchange_strong(expected, std::max<std::int64_t>(IdleClockMs(), 1),
                                      std::memory_order_acq_rel);
}

bool TTCPServerClient::SetBusy() {
  return idle_since_.exchange(0, std::memory_order_acq_rel) != kClaimedIdle;
}

namespace {

// A time mark that is never 0 (which means "not"), whatever the clock says.
std::int64_t MarkNow() { return std::max<std::int64_t>(IdleClockMs(), 1); }

}  // namespace

void TTCPServerClient::MarkRequestStart() {
  const TTCPServerClientSocket* socket = socket_.get();
  // Stored before the time, which the main thread reads first.
  received_before_.store(socket ? socket->BytesReceived() - socket->Available() : 0,
                         std::memory_order_relaxed);
  receiving_since_.store(MarkNow(), std::memory_order_release);
}

void TTCPServerClient::MarkRequestRead() { receiving_since_.store(0, std::memory_order_release); }

void TTCPServerClient::MarkSendWait(bool progress) {
  if (progress || sending_since_.load(std::memory_order_relaxed) == 0)
    sending_since_.store(MarkNow(), std::memory_order_release);
}

void TTCPServerClient::MarkSendDone() { sending_since_.store(0, std::memory_order_release); }

std::int64_t TTCPServerClient::RequestBytes() const {
  std::lock_guard lock(socket_mutex_);
  if (!socket_) return 0;
  return std::max<std::int64_t>(socket_->BytesReceived() - received_before_.load(std::memory_order_relaxed),
                                0);
}

namespace {

// The bytes the peer of the connection `handle` has acknowledged; -1 when
// the system does not tell.
std::int64_t BytesAcknowledged(TSocket handle) {
  tcp_info info{};
  socklen_t size = sizeof info;
  if (handle == kInvalidSocket || ::getsockopt(handle, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
      size < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked)
    return -1;
  return static_cast<std::int64_t>(info.tcpi_bytes_acked);
}

}  // namespace

std::int64_t TTCPServerClient::UntakenSince(std::int64_t now) {
  const std::int64_t waiting = SendingSince();
  if (waiting <= 0) {
    acked_moved_ = 0;
    return 0;
  }
  // The accepted handle stays open while the worker waits to send on it.
  // Should the wait end and the handle be closed and reused just now, the
  // figure read is another's: it can only make this client look as taking,
  // and the client is leaving its wait anyway.
  const std::int64_t acked = BytesAcknowledged(SocketHandle);
  if (acked_moved_ == 0 || acked != acked_bytes_) {
    acked_bytes_ = acked;
    acked_moved_ = now;
  }
  return std::max(waiting, acked_moved_);
}

bool TTCPServerClient::ClaimIdle(std::int64_t since) {
  return since > 0 && idle_since_.compare_exchange_strong(since, kClaimedIdle, std::memory_order_acq_rel);
}

void TTCPServerClient::CreateConnection(ATCPServer& server) {
  auto socket = std::make_unique<TTCPServerClientSocket>();
  // From here the socket owns the handle, even if taking it over fails.
  handle_taken_ = true;
  // Before the first read: the first bytes are the handshake's.
  if (TlsContext) socket->UseTls(std::make_unique<TTlsSession>(*TlsContext, SocketHandle));
  // The handle comes straight from the server's accept; its first bytes are
  // read at once unless reads are throttled (the budget starts later).
  socket->InitWithAcceptedHandle(SocketHandle, !server.ThrottleClientRead());
  TTCPServerClientSocket* connection = socket.get();
  connection->SentCounter = &Figures.BytesSent;
  {
    std::lock_guard lock(socket_mutex_);
    socket_ = std::move(socket);
  }
  // Read after publishing the socket: a change made meanwhile on the main
  // thread either finds the socket or is read here.
  connection->ApplyThrottling(server.ThrottleClientRead(), server.ThrottleClientReadRate(),
                              server.ThrottleClientWrite(), server.ThrottleClientWriteRate());
  const std::int32_t time_out = server.TimeOut();
  stream_ = std::make_unique<TSocketStream>(connection, swmHandleMessage,
                                            static_cast<std::uint32_t>(time_out > 0 ? time_out : 0), false);
}

bool TTCPServerClient::RunTlsHandshake(std::int32_t timeMs, TLogThrottle& failures) {
  TTCPServerClientSocket& socket = *socket_;
  TTlsSession& tls = *socket.Tls();
  // A handshake is what a request head is: the peer's to send, in bounded
  // time, and a connection that stalls in it may have to make way.
  MarkRequestStart();
  struct TReceived {
    TTCPServerClient& client;
    ~TReceived() { client.MarkRequestRead(); }
  } received{*this};
  const Deadline deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeMs, 0));
  std::string failure;
  for (;;) {
    const TTlsSession::THandshake step = tls.Handshake();
    if (step == TTlsSession::THandshake::kDone) return true;
    if (step == TTlsSession::THandshake::kFailed) {
      failure = tls.FailureText();
      break;
    }
    if (Terminated() || socket.Terminated()) return false;
    if (!socket.IsConnected() || socket.ReceiveEnded()) {
      failure = "the connection ended";
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      failure = "no handshake within " + std::to_string(timeMs / 1000) + " s";
      break;
    }
    // The socket's notifications drive the handshake too (its reads go
    // through the session): the loop looks again after each.
    stream_->WaitStep(&deadline);
  }
  std::int64_t held_back = 0;
  if (failures.Allow(IdleClockMs(), held_back)) {
    std::string line = "TLS handshake with " + RemotePeer.HostText() + " failed: " + failure;
    if (held_back > 0) line += " (" + std::to_string(held_back) + " more since the last such line)";
    Log(0, line);
  }
  // Nothing of a failed handshake is worth sending: the connection goes.
  socket.CloseNow();
  return false;
}

void TTCPServerClient::ReleaseConnection() {
  stream_.reset();
  std::unique_ptr<TTCPServerClientSocket> socket;
  {
    std::lock_guard lock(socket_mutex_);
    socket = std::move(socket_);
  }
}

void TTCPServerClient::TerminateConnection() {
  std::lock_guard lock(socket_mutex_);
  // Without a window the socket never connected (its worker does not wait
  // on it), and terminating it from here would close it in place.
  if (!socket_ || socket_->Terminated() || socket_->Handle() == 0) return;
  socket_->Terminate();
  if (Thread()) PostMessage(socket_->Handle(), kQuitMessage, 0, 0);
}

bool TTCPServerClient::ConnectionTerminated() const { return socket_ && socket_->Terminated(); }

// ---------------------------------------------------------------------------
// TTCPServerClientThread

TTCPServerClientThread::TTCPServerClientThread(std::shared_ptr<TTCPServerLink> link,
                                               TTCPServerConnection& connection)
    : link_(std::move(link)), connection_(connection) {}

TTCPServerClientThread::~TTCPServerClientThread() { WaitFor(); }

TTCPServerClient* TTCPServerClientThread::Client() const { return connection_.Client(); }

void TTCPServerClientThread::Terminate() {
  if (TTCPServerClient* client = Client(); client && !Terminated()) client->TerminateConnection();
  TThreadEx::Terminate();
}

void TTCPServerClientThread::Log(int log_class, const std::string& msg) {
  // Posted, not waited for: a line needs no answer, and a worker that logs
  // (a Referer line for every request of a browser) must not stop for the
  // main thread each time. The line keeps its place among this worker's
  // synchronised calls.
  if (!PostToMainThread([link = link_, log_class, msg] {
        if (ATCPServer* server = link ? link->server.load(std::memory_order_acquire) : nullptr)
          server->Log(log_class, msg);
      }))
    throw ESynchronize("Main thread no longer serves synchronised calls");
}

bool TTCPServerClientThread::MustStop() const {
  const TTCPServerClient* client = Client();
  return Terminated() || !client || client->Terminated() || !Server() || client->ConnectionTerminated();
}

void TTCPServerClientThread::LogFailure(const std::string& prefix, std::exception_ptr error) {
  std::string message;
  try {
    std::rethrow_exception(error);
  } catch (...) {
    message = CurrentExceptionMessage();
  }
  TellMainThread("Could not log", [&] { Log(1, prefix + message); });
}

void TTCPServerClientThread::Execute() {
  // The client is freed only by this thread's completion step (or once this
  // thread has ended), so it stays while the steps before run.
  TTCPServerClient* client = Client();
  if (!MustStop()) {
    bool go_on = true;
    try {
      if (ATCPServer* server = Server()) client->CreateConnection(*server);
    } catch (...) {
      LogFailure("Socket creation error: ", std::current_exception());
      go_on = false;
    }
    if (go_on && client->Socket() && client->Socket()->Tls() && !MustStop()) {
      ATCPServer* server = Server();
      try {
        go_on = server && client->RunTlsHandshake(server->TlsHandshakeTime.load(std::memory_order_relaxed),
                                                  server->TlsFailureLog);
      } catch (...) {
        LogFailure("TLS handshake error: ", std::current_exception());
        go_on = false;
      }
    }
    if (go_on && !MustStop()) {
      try {
        Synchronize([this, client] {
          ATCPServer* server = Server();
          // Terminated while this call waited: it would only be removed again.
          if (server && !client->Terminated()) server->DoClientActive(*client);
        });
      } catch (...) {
        LogFailure("Client activate error: ", std::current_exception());
        go_on = false;
      }
      if (go_on && !MustStop()) {
        try {
          client->Execute();
        } catch (...) {
          LogFailure("Client execute error: ", std::current_exception());
        }
        // What the conversation wrote may still sit in the send queue (the
        // socket queues until its first write notification): send it, then
        // close here rather than drop it when the client is freed.
        if (!MustStop()) {
          try {
            client->Stream()->Close();
          } catch (const EIOError&) {
            // The peer has gone or the connection failed: what is left
            // cannot be sent, and the connection goes all the same.
          } catch (...) {
            LogFailure("Client close error: ", std::current_exception());
          }
        }
      }
    }
  }
  // The connection is this thread's: it goes here, with its window, so that
  // the thread's queue is left clean for its next connection. The rest of
  // the completion (the client's events and its freeing) runs on the main
  // thread once the end is reported (AfterExecute), without this thread
  // waiting for it.
  client->ReleaseConnection();
}

void TTCPServerClientThread::AfterExecute() {
  if (link_) PostMessage(link_->reaper, kWorkerEndedMessage, static_cast<std::int32_t>(connection_.Id()), 0);
}

// ---------------------------------------------------------------------------
// TTCPServerConnection

TTCPServerConnection::TTCPServerConnection(std::uint32_t id, std::unique_ptr<TTCPServerClient> client)
    : id_(id), client_(std::move(client)) {
  client_->connection_ = this;
  client_->Figures.Id = id;
}

TTCPServerConnection::~TTCPServerConnection() = default;

void TTCPServerConnection::FreeClient() { client_.reset(); }

}  // namespace vt
