#pragma once

// ATCPServer: a component that listens on one TCP port, accepts connections
// up to MaxClients, turns each into a client object (server_client.h) served
// by its own worker thread, keeps the ordered list of live clients, hands the
// time-out and the throttling settings to every connection, and reports what
// happens through events and a log.
//
// Threads: every member runs on the main thread (the thread that pumps the
// main queue, platform/synchronize.h), and every event fires there: workers
// reach the server only through synchronised calls (activation, completion,
// log lines). The exceptions are TimeOut and the throttling getters, which
// workers read. While the server waits for workers (Active := false, and
// destruction) it keeps pumping the main queue, so their synchronised calls,
// and any other message of the main thread, are served meanwhile.
//
// Lifetime: a server object is always a TFinalServer<Server> (the classes
// here are abstract until it completes them), whose destructor runs Shutdown
// before any member of a derived server goes: no worker runs while the
// members its client uses are taken apart. The owner deletes the server on
// the main thread, never from one of its own events. Shutdown terminates the
// clients and waits, bounded by ShutdownWait, until their workers have ended,
// then frees what is left; meanwhile no client event fires (log lines still
// do): to see the clients go, deactivate first. An owner whose handlers use
// its own members calls Shutdown itself before those go.
// A worker still running after the bound (it should not happen: a terminated
// connection ends every wait at once) is reported in the log and left to
// end on its own, with its record (server_client.h): its client is not freed
// under it, and its link to the server is cut, so that its remaining
// synchronised steps only free the client (its own code must not keep using
// the server it was given). Deactivation waits the same way, but frees
// nothing, so it leaves such a worker in the list until it ends.
//
// Designing mode does not exist here; the server always runs clients on
// worker threads (there is no mode that serves them on the server's own
// thread).

#include <poll.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/component.h"
#include "platform/log.h"
#include "platform/window_handle.h"
#include "sockets/tcp_server_socket.h"
#include "sockets/tls_session.h"
#include "tcpserver/give_way.h"
#include "tcpserver/log_throttle.h"
#include "tcpserver/server_client.h"
#include "tcpserver/waiting_room.h"
#include "util/date_time.h"
#include "util/exception.h"

namespace vt {

// A failure of the TCP server. When a system call failed under it (the
// listening socket could not bind or listen) it carries that call's errno
// value, so that whoever advises the user can tell "address in use" from
// "permission denied" without reading the text.
class ETCPServer : public Exception {
 public:
  explicit ETCPServer(std::string message, int error = 0) : Exception(std::move(message)), error_(error) {}
  // The errno value behind the failure; 0 when no system call failed.
  int Errno() const noexcept { return error_; }
  // For the server, which raises through RaiseError (a derived server
  // raises its own class) and then adds what it knows.
  void SetErrno(int error) noexcept { error_ = error; }
  const char* ClassName() const noexcept override { return "ETCPServer"; }

 private:
  int error_;
};

// The errno value behind a WinSock code of the socket layer (EWinSock),
// where the layer translated one: 10048 is EADDRINUSE. Of the values that
// share a code, the one a listening socket meets (EACCES for 10013, not
// EPERM). 0 for 0 and for the socket layer's own codes.
int ErrnoOfWinSockCode(int code);

// Makes a client object for a server.
using TTCPServerClientClass = std::function<std::unique_ptr<TTCPServerClient>(ATCPServer& server)>;

// The class factory of a client class T (constructible from the server).
template <typename T>
TTCPServerClientClass ClientClassOf() {
  return [](ATCPServer& server) -> std::unique_ptr<TTCPServerClient> { return std::make_unique<T>(server); };
}

class ATCPServer : public TComponent {
 public:
  using ATCPServerEvent = std::function<void(ATCPServer& sender)>;
  // The log class is not passed.
  using ATCPServerLogEvent = std::function<void(ATCPServer& sender, const std::string& msg)>;
  using TTCPServerClientEvent = std::function<void(TTCPServerClient& sender)>;
  // Returning null lets the server make the client.
  using TTCPServerCreateClientEvent = std::function<std::unique_ptr<TTCPServerClient>(ATCPServer& sender)>;

  // Makes the listening socket (on this thread: make the server on the main
  // thread) with MaxBacklog 4; TimeOut 300000, MaxClients -1.
  ATCPServer();
  // Shuts down (TFinalServer has done so already).
  ~ATCPServer() override;

  const char* ClassName() const override { return "ATCPServer"; }

  // --- Properties ---
  bool Active() const { return active_; }
  // true: listens ("ListenPort not set", "Error creating server socket: ...");
  // false: stops listening, terminates the clients and waits for them.
  void SetActive(bool value);
  const std::string& ListenPort() const { return listen_port_; }
  // "Invalid ListenPort" for an empty text; "Cannot change port while server
  // is active".
  void SetListenPort(const std::string& value);
  // The first of LocalHosts; empty: every address.
  const std::string& LocalHost() const;
  // "Cannot change local host while server is active", even for the same
  // value. Sets LocalHosts to this one address (none for an empty text).
  void SetLocalHost(const std::string& value);
  // The local addresses to listen on, one listening socket each, all on
  // the same port (the first one's, when ListenPort is "0"). Empty: every
  // address, IPv6 and IPv4 on one socket where the system has IPv6 (see
  // ASocket::BindLocal). An address after the first that the system does
  // not have (::1 where there is no IPv6) is left out with a log line, so a
  // list like {"127.0.0.1", "::1"} still works there. Raises as
  // SetLocalHost while active.
  const std::vector<std::string>& LocalHosts() const { return local_hosts_; }
  void SetLocalHosts(const std::vector<std::string>& value);
  // The addresses listened on while active ([::] for every address with
  // IPv6, 0.0.0.0 without), with their port; empty while inactive.
  std::vector<TSocketAddress> ListeningAddresses() const;
  std::int32_t MaxBacklog() const;
  // The listening socket's closed-socket error while listening.
  void SetMaxBacklog(std::int32_t value);
  std::int32_t MaxClients() const { return max_clients_; }
  // Negative: no limit. Raising the limit accepts the connections that wait.
  void SetMaxClients(std::int32_t value);
  // Milliseconds a blocking read on a connection may wait; read when a
  // client's stream is made. Any thread may read it.
  std::int32_t TimeOut() const { return time_out_.load(std::memory_order_relaxed); }
  void SetTimeOut(std::int32_t value) { time_out_.store(value, std::memory_order_relaxed); }
  bool ThrottleClientWrite() const { return throttle_write_.load(std::memory_order_relaxed); }
  // A change reaches every live connection at once.
  void SetThrottleClientWrite(bool value);
  std::int32_t ThrottleClientWriteRate() const { return write_rate_.load(std::memory_order_relaxed); }
  void SetThrottleClientWriteRate(std::int32_t value);
  // Read throttling: handed to connections with the write settings; only a
  // derived server may change it.
  bool ThrottleClientRead() const { return throttle_read_.load(std::memory_order_relaxed); }
  std::int32_t ThrottleClientReadRate() const { return read_rate_.load(std::memory_order_relaxed); }
  // Referenced, not owned; forgotten when the log is destroyed first.
  TLog* LogTo() const { return log_to_; }
  void SetLogTo(TLog* log);

  // Milliseconds that stopping and destruction serve the workers before they
  // give up waiting for them (and say so in the log).
  std::int32_t ShutdownWait = 10000;

  // While MaxClients are connected and a new connection waits, the client
  // that has been idle the longest (waiting for a request, none in
  // progress: TTCPServerClient::SetIdle) is closed to make way for it, once
  // it has been idle this many milliseconds; so a few clients that hold
  // connections open without using them cannot lock everyone else out.
  // One at a time: the next only after the last has left the list. A
  // request in progress is never cut for this. Negative: idle clients
  // never make way.
  std::int32_t IdleGiveWayTime = 2000;

  // More rules by which a client makes way while the list is full and a
  // connection waits, one at a time as above, in this order after the idle
  // one. All of them are one function of a table, ChooseGiveWay
  // (give_way.h). The protocol marks what its clients wait for
  // (TTCPServerClient::MarkRequestStart, MarkSendWait); a plain server's
  // clients are never marked, so these rules pass them by. A client whose
  // peer is taking its answer (acknowledged a byte of it lately) is never
  // named.
  // - A request that, MinReceiveRateGrace ms after its first byte, has
  //   averaged fewer than MinReceiveRate bytes a second (0 or less: no such
  //   rule); the slowest first.
  // - A client that has taken no byte of its answer for SendStallTime ms,
  //   or kFullListStallMs when that is shorter (negative: no such rule).
  // - One host cannot hold every place: when a connection from another host
  //   waits, and the host holding the most listed clients holds at least
  //   two more than the newcomer's, its client that has taken nothing the
  //   longest (idle, receiving a request, or no byte of its answer for
  //   kTakingWindowMs) makes way. Only connections held in the waiting room
  //   (MaxWaiting) have a known address. Hosts: SamePeerAddress.
  std::int32_t MinReceiveRate = -1;
  std::int32_t MinReceiveRateGrace = 0;
  std::int32_t SendStallTime = -1;
  // While the list is full, up to this many connections are accepted and
  // held, unserved, in a waiting room, so that their addresses are known.
  // Past it, the newest of the address with the most held is closed; while
  // every address holds one, the rest wait in the system's queue. A place
  // that comes free goes to the held connection whose address holds the
  // fewest places (the oldest of those). 0: none are held; connections wait
  // in the system's queue. (TWaitingRoom, waiting_room.h.)
  std::int32_t MaxWaiting = 0;

  // --- TLS ---
  // A second port, beside ListenPort and on the same LocalHosts, whose
  // connections speak TLS with `context`; an empty port or a null context:
  // none. Raises as SetListenPort while active. A TLS port that cannot be
  // listened on is said in the log, and the plain port serves all the same
  // (TlsListening tells).
  void SetTlsPort(const std::string& port, std::shared_ptr<const TTlsContext> context);
  const std::string& TlsPort() const { return tls_port_; }
  const std::shared_ptr<const TTlsContext>& TlsContext() const { return tls_context_; }
  // Another certificate for the TLS port, at any time: connections accepted
  // from now on use it (a renewed certificate, say); those open keep theirs.
  void ReplaceTlsContext(std::shared_ptr<const TTlsContext> context) {
    if (context) tls_context_ = std::move(context);
  }
  // The TLS port is being listened on.
  bool TlsListening() const;
  // The TLS port's listening addresses while active.
  std::vector<TSocketAddress> TlsListeningAddresses() const;
  // The longest a TLS handshake may take, from the accept (milliseconds).
  // Meanwhile the connection counts as receiving a request (the rules by
  // which a client makes way see it so). Workers read it.
  std::atomic<std::int32_t> TlsHandshakeTime{10000};
  // The log lines of failed handshakes: at most one per interval.
  TLogThrottle TlsFailureLog{10000};

  // --- Events (main thread) ---
  ATCPServerLogEvent OnLog;
  ATCPServerEvent OnActive;    // after a successful activation
  ATCPServerEvent OnInactive;  // after every deactivation
  TTCPServerCreateClientEvent OnCreateClient;
  TTCPServerClientEvent OnClientActive;    // the worker has made the connection
  TTCPServerClientEvent OnClientInactive;  // the worker finished normally (after OnClientRemoved)
  TTCPServerClientEvent OnClientRemoved;   // a client left the list
  // Not published: the hooks of BeforeAccept (main thread) and of the base
  // ClientExecute (worker thread).
  ATCPServerEvent OnBeforeAccept;
  TTCPServerClientEvent OnClientExecute;

  // The class of client made when OnCreateClient gives none; empty: plain
  // TTCPServerClient.
  TTCPServerClientClass ClientClass;

  // --- Interface ---
  // An accept notification was ignored because of MaxClients; stays set.
  bool AcceptPending() const { return accept_pending_; }
  std::int32_t ClientCount() const { return listed_count_; }
  // Connections held in the waiting room (MaxWaiting).
  std::int32_t WaitingCount() const { return static_cast<std::int32_t>(waiting_room_.Size()); }
  // Connections held, each until its worker has ended and been joined.
  std::int32_t WorkerCount() const { return static_cast<std::int32_t>(connections_.size()); }
  // The clients in the order they were accepted; raises std::out_of_range
  // past the end.
  TTCPServerClient* Client(std::int32_t index) const;
  // While active, the time since activation (days); 0 while inactive.
  TDateTime UpTime() const;
  // Log class 0 information, 1 error: OnLog, then LogTo.
  void Log(int log_class, const std::string& msg);
  // Terminates every client not yet terminated, last first; they stay in the
  // list until their workers have finished.
  void TerminateClients();
  // Serves the main queue until every worker has ended (or waits for this
  // very call to return), or ShutdownWait has passed; false then.
  bool WaitForClients();
  // What destruction does (TFinalServer runs it first): inactive without
  // log or event, listening socket closed, clients terminated and waited for
  // without client events, the clients left freed. Safe to call twice; the
  // server fires no client events afterwards.
  void Shutdown();
  // The (first) listening socket (its port, for instance, after binding
  // port 0).
  const TTCPServerSocket& ServerSocket() const { return *socket_; }

  // --- Virtual operations, in slot order ---
  // Raises ETCPServer; a derived server raises its own class (derived
  // from ETCPServer, so that a failed activation can add its Errno).
  [[noreturn]] virtual void RaiseError(const std::string& msg);
  virtual void StartListening();
  // Closes the listening socket, then terminates the clients.
  virtual void StopListening();
  virtual void BeforeAccept();
  // OnCreateClient, else ClientClass, else a plain TTCPServerClient.
  virtual std::unique_ptr<TTCPServerClient> CreateClient();
  // The base client's Execute (worker thread): OnClientExecute.
  virtual void ClientExecute(TTCPServerClient& client);

 protected:
  void Notification(TComponent* component) override;
  // Implemented by TFinalServer alone, so that no server object is made
  // without the destructor that shuts it down first.
  virtual void FinalServer() = 0;
  void SetThrottleClientRead(bool value);
  void SetThrottleClientReadRate(std::int32_t value);

 private:
  friend class TTCPServerClient;
  friend class TTCPServerClientThread;

  void Activate();
  // Closes every listening socket; a failure is logged.
  void CloseListeners();
  void Deactivate();
  // The accept notification of the listening socket.
  void HandleAccept();
  bool LimitReached() const;
  // The list is full: when a connection waits, closes the client that makes
  // way for it by the rules (ChooseGiveWay with IdleGiveWayTime and those
  // after it), or sets a timer for the moment one might.
  void MakeWay();
  // The rules' table of the listed clients that are not terminated, in
  // give_way_rows_, with their clients in give_way_clients_, as of `now`
  // (IdleClockMs).
  void FillGiveWayTable(const TGiveWayRules& rules, std::int64_t now);
  // A connection waits in the system's queue of a listening socket.
  bool NewcomerQueued();
  // While the list is full: marks the accept as pending, holds newcomers in
  // the waiting room and asks a client to make way. False when not full.
  bool HoldWhileFull();
  // Starts the held connection whose address holds the fewest places.
  void StartWaiting();
  // One accepted connection: client, worker, record, list. False when it
  // failed.
  bool StartClient(TSocket handle, const TSocketAddress& address);
  // Opens the TLS port's listening sockets; a failure is logged, not
  // raised.
  void ListenForTls();
  // The accepted connection `handle` came in on the TLS port.
  bool ArrivedOnTlsPort(TSocket handle) const;
  // The sockets listening now: the first, then those of the further
  // LocalHosts, then those of the TLS port.
  std::vector<TTCPServerSocket*> Listeners() const;
  // Opens the listening sockets of the LocalHosts after the first.
  void ListenOnFurtherHosts();
  // "Listening on [::]:80 (every IPv6 and IPv4 address)" and the like.
  std::string ListeningText() const;
  // The ids of the listed connections, last first (a copy: a client's
  // override may change the list).
  std::vector<std::uint32_t> ListedIdsLastFirst() const;
  // Takes the connection out of the list (nothing when it is not there),
  // fires OnClientRemoved, re-runs accepting when a notification was
  // ignored.
  void Unlist(TTCPServerConnection& connection);
  // Main thread, for the workers.
  void DoClientActive(TTCPServerClient& client);
  // The completion step, before the client is freed: Unlist, then, when the
  // worker finished normally, OnClientInactive and ClientInactive.
  void FinishClient(TTCPServerConnection& connection, bool normally);
  void ApplyThrottlingToClients();
  // When the worker of record `id` has ended: its client's completion step,
  // then the record's release.
  void ReapWorker(std::uint32_t id);
  // ReapWorker for every worker that has ended; returns how many workers
  // are still busy (not counting those whose synchronised call runs further
  // down the main thread's stack).
  std::size_t ReapWorkers();
  // The completion step of a client whose worker has ended (FinishClient),
  // once, then the client is freed; a handler's failure is logged.
  void CompleteClient(TTCPServerConnection& connection);
  void LogStillRunning(std::size_t count, const char* consequence);

  std::unique_ptr<TTCPServerSocket> socket_;
  // The listening sockets of LocalHosts after the first; reused from one
  // activation to the next and freed only with the server, so that none
  // goes while its own accept notification is being handled.
  std::vector<std::unique_ptr<TTCPServerSocket>> further_sockets_;
  // The TLS port's listening sockets, one per LocalHost (one for every
  // address), reused as further_sockets_ are.
  std::vector<std::unique_ptr<TTCPServerSocket>> tls_sockets_;
  std::string tls_port_;
  std::shared_ptr<const TTlsContext> tls_context_;
  std::vector<std::string> local_hosts_;
  TWindowHandle reaper_;  // workers report their end here
  // The threads the workers run on; closed when the server stops. They
  // yield to the main thread when it wakes them, which under a stream of
  // new connections keeps it accepting instead of waiting for the processor.
  TThreadPool pool_{std::chrono::milliseconds(2000), 64, TPoolThreads::kYielding};
  std::shared_ptr<TTCPServerLink> link_;
  // Every connection held, by id: ids grow, so this is the order of
  // acceptance. Shared only so that a worker given up on can be handed its
  // record (TThreadEx::Abandon).
  std::map<std::uint32_t, std::shared_ptr<TTCPServerConnection>> connections_;
  std::int32_t listed_count_ = 0;
  std::uint32_t next_id_ = 0;
  bool active_ = false;
  bool accept_pending_ = false;
  // The connection closed by MakeWay, until it has left the list.
  std::optional<std::uint32_t> making_way_;
  TWaitingRoom waiting_room_;
  // MakeWay's table and the clients of its rows, kept for the next one: it
  // runs for every connection that comes while the list is full.
  std::vector<TGiveWayRow> give_way_rows_;
  std::vector<TTCPServerClient*> give_way_clients_;
  // NewcomerQueued's look at the listening sockets, kept likewise.
  std::vector<pollfd> queued_polls_;
  bool accepting_ = false;
  bool shutting_down_ = false;
  TDateTime activated_at_ = 0;
  std::string listen_port_;
  std::int32_t max_clients_ = -1;
  std::atomic<std::int32_t> time_out_{300000};
  std::atomic<bool> throttle_write_{false};
  std::atomic<std::int32_t> write_rate_{0};
  std::atomic<bool> throttle_read_{false};
  std::atomic<std::int32_t> read_rate_{0};
  TLog* log_to_ = nullptr;
};

// Whether two peers come from the same host: an IPv4 address (a mapped one
// as its IPv4 address), or an IPv6 /64 network; the port apart. The one
// comparison behind every rule that counts connections by address.
bool SamePeerAddress(const TSocketAddress& a, const TSocketAddress& b);

// A server object: `Server` (ATCPServer or a class derived from it),
// completed with the destructor that runs Shutdown before any member of
// `Server` goes, so that a derived server never has to remember it.
//   TFinalServer<TvtHTTPServer> server;
template <typename Server>
class TFinalServer final : public Server {
 public:
  using Server::Server;
  ~TFinalServer() override { this->Shutdown(); }

 private:
  void FinalServer() override {}
};

}  // namespace vt
