#pragma once

// One accepted connection: the client (TTCPServerClient), the worker thread
// that serves it (TTCPServerClientThread), and the record that holds both
// for the server (TTCPServerConnection).
//
// Life of a client:
//   1. accepted: the server makes it (CreateClient), calls Init, stores the
//      accepted handle and the peer address (main thread);
//   2. attached: a worker is made and started, both go into one record,
//      and the client joins the server's list;
//   3. connected: the worker makes the connection socket and the stream over
//      it, so that the connection's notifications and throttling ticks arrive
//      in the worker's own queue;
//   4. active: OnClientActive and ClientActive ran on the main thread; the
//      worker runs Execute, the whole conversation with the peer;
//   5. finishing: Execute has returned or raised; unless terminated, the
//      worker sends what is still queued and closes the connection, then
//      frees the connection's socket and stream (Socket and Stream are null
//      from here on) and ends, reporting its end to the main thread without
//      waiting for it;
//   6. completed and freed: on the main thread, when the end is taken (or
//      when the server waits for its workers): the completion step
//      (OnClientRemoved, then OnClientInactive and ClientInactive unless the
//      client or worker was terminated), then the client is freed and the
//      server releases the record, which joins the worker.
// Terminate may come at any point after 1: the worker skips what is left at
// its next check, and only OnClientRemoved fires.
//
// Ownership: the server owns one TTCPServerConnection per accepted
// connection, from accept until its worker has ended, and the record owns
// the client and the worker. Client and worker reach each other only
// through their record, which outlives both. The client is freed in one
// place, TTCPServerConnection::FreeClient, on the main thread: by the
// completion step, or by the server's shutdown for a worker that has ended
// without one. The record is released by its id, once its worker has ended.
// A worker the server gives up waiting for (ATCPServer::Shutdown) is handed
// its record (TThreadEx::Abandon): when its run is over it hands the record
// back to the main thread, where it is released with the client (no event
// fires for it).
//
// Threads: every member of the client runs on the main thread except
// Execute, SetErrorMessage and what Execute uses (Stream, Socket, Log,
// Synchronize, Terminated, Server), which run on the worker. Terminate and
// ApplyThrottling reach the worker's connection from the main thread in a
// safe way: the socket is shut down or sent a message, never used in place.

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/event_queue.h"
#include "platform/thread_ex.h"
#include "sockets/socket_stream.h"
#include "sockets/tcp_client_socket.h"
#include "tcpserver/connection_figures.h"
#include "tcpserver/log_throttle.h"
#include "tcpserver/messages.h"

namespace vt {

class ATCPServer;
class TTCPServerClientThread;
class TTCPServerConnection;

// The clock of TTCPServerClient::IdleSince: milliseconds of the steady clock.
std::int64_t IdleClockMs();

// What a worker keeps of its server: the server while it lives (cleared by
// the server's destruction, so that a worker the server had to give up on
// never reaches a freed server), and the main-thread window its end is
// reported to.
struct TTCPServerLink {
  std::atomic<ATCPServer*> server{nullptr};
  // Where a worker posts kWorkerEndedMessage (wParam: its record's id) when
  // it has ended.
  HWindow reaper = 0;
};

class TTCPServerClient {
 public:
  // Stores the server. Init is called by the server once the object exists
  // (a constructor cannot reach a derived class's Init).
  explicit TTCPServerClient(ATCPServer& server);
  // Frees the stream and the connection socket, and closes the accepted
  // handle when no socket took it over. The server has taken the client out
  // of its list before (TTCPServerConnection::FreeClient).
  virtual ~TTCPServerClient();
  TTCPServerClient(const TTCPServerClient&) = delete;
  TTCPServerClient& operator=(const TTCPServerClient&) = delete;

  // The owning server; null once detached from it.
  ATCPServer* Server() const { return server_.load(std::memory_order_acquire); }
  // The accepted handle; the connection socket takes it over.
  TSocket SocketHandle = kInvalidSocket;
  // The peer as returned by accept, as an IPv4 socket address: an IPv4
  // peer (also one that came through a dual-stack socket); all zeros for an
  // IPv6 peer.
  sockaddr_in RemoteAddress{};
  // The peer's full address, either family (what to show and compare).
  TSocketAddress RemotePeer;
  // Set by the server for a connection that came in on its TLS port: the
  // worker makes the connection TLS and runs the handshake before the
  // client becomes active (a connection whose handshake fails never does).
  std::shared_ptr<const TTlsContext> TlsContext;
  // The stream over the connection (no time-out beyond the server's TimeOut);
  // null until the worker has made it.
  TSocketStream* Stream() const { return stream_.get(); }
  // The connection socket, owned; null until the worker has made it.
  TTCPServerClientSocket* Socket() const { return socket_.get(); }
  // Set by Terminate, never cleared. Any thread.
  bool Terminated() const { return terminated_.load(std::memory_order_acquire); }
  // The worker; null for a client that was never accepted by a server.
  TTCPServerClientThread* Thread() const;
  const std::string& ErrorMessage() const { return error_message_; }

  // Virtual operations, in slot order. (The constructor is the slot that
  // makes a client of a class for a server; see ATCPServer::ClientClass.)
  virtual void Init() {}
  // Through the worker's synchronised log when there is a worker, otherwise
  // straight to the server's Log.
  virtual void Log(int log_class, const std::string& msg);
  // The conversation, on the worker. The base passes the client to the
  // server's ClientExecute unless Terminated.
  virtual void Execute();
  virtual void SetErrorMessage(const std::string& text) { error_message_ = text; }
  // Hooks right after OnClientActive and OnClientInactive (main thread).
  virtual void ClientActive() {}
  virtual void ClientInactive() {}
  // Main thread: sets Terminated, shuts the connection down and wakes the
  // worker's wait, then terminates the worker.
  virtual void Terminate();

  // Runs `fn` on the main thread and waits for it (through the worker when
  // there is one; on the main thread it runs at once).
  void Synchronize(const std::function<void()>& fn);

  // Main thread: hands throttling settings to the connection, if it exists;
  // they take effect on the worker's thread.
  void ApplyThrottling(bool read, std::int32_t read_rate, bool write, std::int32_t write_rate);

  // What the worker tells about its work (state, request, bytes sent) for
  // a display; the socket counts its bytes sent there.
  TConnectionFigures Figures;

  // Idle: the connection waits for a request and has none in progress. Only
  // the protocol can tell, so the worker marks it (a plain client never is).
  // While MaxClients are connected and another connection waits, the server
  // closes the client idle the longest (ATCPServer::IdleGiveWayTime).
  // SetIdle and SetBusy: worker thread.
  void SetIdle();
  // Ends the idle state; false when the server has already chosen this
  // client to make way (it is being terminated: no request may start).
  bool SetBusy();
  // Since when the client is idle (milliseconds of the steady clock); 0 when
  // it is not. Any thread.
  std::int64_t IdleSince() const { return idle_since_.load(std::memory_order_acquire); }

  // What else the connection waits for, which the server weighs when the
  // list is full and a connection waits (ATCPServer::MinReceiveRate,
  // SendStallTime). Only the protocol can tell, so the worker marks it.
  // Worker thread: a request's first byte is there; its bytes are counted
  // from those still unread in the socket.
  void MarkRequestStart();
  // Worker thread: the request has been read whole (or abandoned).
  void MarkRequestRead();
  // Worker thread: the worker waits for the peer to take bytes of an
  // answer; `progress`: it has just taken some. Each wait ends with
  // MarkSendDone.
  void MarkSendWait(bool progress);
  void MarkSendDone();
  // Since when a request is being received, or the peer has taken no byte
  // of the answer the worker waits to send (milliseconds of IdleClockMs);
  // 0 when it is not. Any thread.
  std::int64_t ReceivingSince() const { return receiving_since_.load(std::memory_order_acquire); }
  std::int64_t SendingSince() const { return sending_since_.load(std::memory_order_acquire); }
  // The bytes of the request being received that have arrived so far.
  // Main thread.
  std::int64_t RequestBytes() const;
  // Main thread: since when the peer has taken no byte of the answer the
  // worker waits to send, `now` being IdleClockMs; 0 when the worker does
  // not wait. SendingSince alone cannot tell: the worker sees bytes go only
  // when the system has room for a good part of its send buffer again,
  // which for a steady but slow reader can take longer than any stall
  // bound. So the server also looks at the bytes the peer acknowledged
  // (one system call, made only here, while the list is full), and takes
  // the later of the two marks. A wait it has not looked at before counts
  // as taking from `now` on: a stall is judged from what was seen.
  std::int64_t UntakenSince(std::int64_t now);

 private:
  friend class TTCPServerClientThread;
  friend class TTCPServerConnection;
  friend class ATCPServer;

  // Worker: makes the connection socket over SocketHandle, applies the
  // server's throttling and makes the stream.
  void CreateConnection(ATCPServer& server);
  // Worker: the TLS handshake, within `timeMs` of its start; false (with a
  // log line when `failures` allows one) when it failed or
  // took too long. Counts as receiving a request meanwhile.
  bool RunTlsHandshake(std::int32_t timeMs, TLogThrottle& failures);
  // Worker, as it ends: frees the stream and the connection socket.
  void ReleaseConnection();
  // Shuts the connection down and posts a quit to its window, once.
  void TerminateConnection();
  // The connection's window has been told to end.
  bool ConnectionTerminated() const;
  // Main thread: chooses this client, idle since `since`, to make way;
  // false when it has left that idle state meanwhile.
  bool ClaimIdle(std::int64_t since);

  std::atomic<ATCPServer*> server_;
  std::atomic<bool> terminated_{false};
  // IdleSince, or kClaimedIdle once the server chose the client to make way.
  static constexpr std::int64_t kClaimedIdle = -1;
  std::atomic<std::int64_t> idle_since_{0};
  std::atomic<std::int64_t> receiving_since_{0};
  std::atomic<std::int64_t> sending_since_{0};
  // The socket's BytesReceived before the request's first byte.
  std::atomic<std::int64_t> received_before_{0};
  // UntakenSince's look at the current send wait (main thread): the bytes
  // the peer had acknowledged, and when that figure last moved (0: no look
  // at this wait yet).
  std::int64_t acked_bytes_ = 0;
  std::int64_t acked_moved_ = 0;
  // The record that owns this client (and its worker); set by the server
  // at accept, before the worker starts.
  TTCPServerConnection* connection_ = nullptr;
  // Guards publishing socket_ (worker) against its use by Terminate and
  // ApplyThrottling (main thread).
  mutable std::mutex socket_mutex_;
  std::unique_ptr<TTCPServerClientSocket> socket_;
  std::unique_ptr<TSocketStream> stream_;
  bool handle_taken_ = false;  // a socket owns SocketHandle
  std::string error_message_;
};

// The worker of one client. Made and started by the server, which puts it
// into the client's record; it never deletes itself or its client.
class TTCPServerClientThread : public TThreadEx {
 public:
  // Main thread, before Start: the worker of the client in `connection`
  // (whose record is not yet complete: the worker is put into it next);
  // the client's connection socket is made later, by the worker.
  TTCPServerClientThread(std::shared_ptr<TTCPServerLink> link, TTCPServerConnection& connection);
  // Waits until the run is over (at once when it is, or on this thread
  // itself): AfterExecute, a virtual call, may still be on its way when the
  // worker is seen Finished.
  ~TTCPServerClientThread() override;

  ATCPServer* Server() const { return link_ ? link_->server.load(std::memory_order_acquire) : nullptr; }
  // The client; null once the completion step has freed it.
  TTCPServerClient* Client() const;

  // Terminates the client's connection (so that a wait in the stream ends at
  // once), then sets Terminated. Main thread.
  void Terminate() override;

  // Carries one line to the server's Log on the main thread, without
  // waiting for it (it comes after this worker's earlier synchronised
  // calls and lines); raises ESynchronize when the main thread no longer
  // serves calls.
  void Log(int log_class, const std::string& msg);

 protected:
  // The worker's steps: make the connection, activate the client on the main
  // thread, run its Execute, then close and free the connection. Each
  // failure is logged with its step's text.
  void Execute() override;
  // Reports the end to the server, which completes the client, frees it and
  // releases the record.
  void AfterExecute() override;

 private:
  // The checks between the steps: terminated, detached, or the connection's
  // window told to end.
  bool MustStop() const;
  void LogFailure(const std::string& prefix, std::exception_ptr error);

  std::shared_ptr<TTCPServerLink> link_;
  TTCPServerConnection& connection_;
};

// One accepted connection as the server holds it: the client and its worker,
// owned, and the id the worker reports its end with. Made by the server's
// accept step; released by the server, by id, once the worker has ended (or
// handed to the worker when the server gives up waiting for it).
//
// Threads: main thread, except Client and Worker, which the worker reads
// too (they change only while it waits for the main thread, or has ended).
class TTCPServerConnection {
 public:
  TTCPServerConnection(std::uint32_t id, std::unique_ptr<TTCPServerClient> client);
  // Frees what is left: the client (when no step freed it), then the worker
  // (which joins its thread; the server releases a record only once its
  // worker has ended).
  ~TTCPServerConnection();
  TTCPServerConnection(const TTCPServerConnection&) = delete;
  TTCPServerConnection& operator=(const TTCPServerConnection&) = delete;

  std::uint32_t Id() const { return id_; }
  TTCPServerClient* Client() const { return client_.get(); }
  TTCPServerClientThread* Worker() const { return worker_.get(); }
  // In the server's client list.
  bool Listed() const { return listed_; }

 private:
  friend class ATCPServer;
  friend class TTCPServerClientThread;

  // Main thread: the one place a client is freed. The client has left the
  // list (with its events) before.
  void FreeClient();

  const std::uint32_t id_;
  bool listed_ = false;
  // The completion step has begun (a handler it runs may wait for the
  // workers, which must not complete this client a second time).
  bool completing_ = false;
  // Declared first, so freed last: the client goes before its worker.
  std::unique_ptr<TTCPServerClientThread> worker_;
  std::unique_ptr<TTCPServerClient> client_;
};

}  // namespace vt
