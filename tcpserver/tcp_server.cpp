#include "tcpserver/tcp_server.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/synchronize.h"
#include "sockets/async_select.h"
#include "tcpserver/peer_tally.h"

namespace vt {

namespace {

using Clock = std::chrono::steady_clock;

// How long one wait for workers sleeps at most before it looks again; the
// workers' end messages normally wake it much sooner.
constexpr auto kWaitSlice = std::chrono::milliseconds(100);

// Connections taken from one listening socket in one accept pass: a burst
// is served by few passes (each new connection would otherwise cost a
// notification of its own), and a flood cannot hold the main thread, whose
// other messages come between two passes. The listening socket reports
// again while connections wait.
constexpr int kAcceptBatch = 64;

// How long the timer that runs MakeWay again waits at most.
constexpr std::int64_t kMakeWayLookAgainMs = 250;

// Accept failures that come from a shortage of resources rather than an
// empty queue: the waiting connections are taken once a client has gone.
bool IsResourceShortage(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// What an abandoned worker keeps (TThreadEx::Abandon): its record, handed back
// to the main thread when the worker lets go of it, to be released there
// with the client it holds. Released in place when the main thread serves
// no more calls (nobody else is left to use the client then).
std::shared_ptr<void> ReleasedOnMainThread(std::shared_ptr<TTCPServerConnection> connection) {
  using Held = std::shared_ptr<TTCPServerConnection>;
  return std::shared_ptr<void>(new Held(std::move(connection)), [](void* pointer) {
    Held connection = std::move(*static_cast<Held*>(pointer));
    delete static_cast<Held*>(pointer);
    // The call owns the record until it has run (or been dropped).
    PostToMainThread([connection = std::move(connection)] {});
  });
}

}  // namespace

bool SamePeerAddress(const TSocketAddress& a, const TSocketAddress& b) {
  if (a.IsIPv4() || b.IsIPv4()) return SameHost(a, b);
  // One IPv6 user is given a whole /64 and may take any address of it (and
  // a new one for each connection): its addresses count as one host. The
  // zone apart, as the password gate counts them.
  constexpr std::size_t kNetworkBytes = 8;
  return a.Family() == AF_INET6 && b.Family() == AF_INET6 &&
         std::memcmp(&a.v6.sin6_addr, &b.v6.sin6_addr, kNetworkBytes) == 0;
}

int ErrnoOfWinSockCode(int code) {
  if (code <= 0) return 0;
  // Where two errno values share a code, the one bind, listen and socket
  // give.
  for (const int preferred : {EACCES, EMFILE, ENOBUFS}) {
    if (WinSockCodeOfErrno(preferred) == code) return preferred;
  }
  // Every errno value the system has is below this.
  constexpr int kErrnoEnd = 4096;
  for (int error = 1; error < kErrnoEnd; ++error) {
    if (WinSockCodeOfErrno(error) == code) return error;
  }
  return 0;
}

ATCPServer::ATCPServer()
    : socket_(std::make_unique<TTCPServerSocket>()), link_(std::make_shared<TTCPServerLink>()) {
  socket_->OnAccept = [this](ASocket&) { HandleAccept(); };
  reaper_.OnMessage = [this](std::uint32_t msg, std::int32_t wParam, std::int32_t, bool& handled) {
    if (msg == kWorkerEndedMessage) {
      handled = true;
      ReapWorker(static_cast<std::uint32_t>(wParam));
    } else if (msg == kTimerMessage && static_cast<std::uint32_t>(wParam) == kMakeWayTimer) {
      handled = true;
      KillTimer(reaper_.Handle(), kMakeWayTimer);
      HandleAccept();
    }
    return 0;
  };
  link_->server.store(this, std::memory_order_release);
  link_->reaper = reaper_.GetHandle();
}

ATCPServer::~ATCPServer() {
  Shutdown();
  link_->server.store(nullptr, std::memory_order_release);
}

// ---------------------------------------------------------------------------
// Properties

void ATCPServer::SetActive(bool value) {
  if (value == active_) return;
  if (value) {
    Activate();
  } else {
    Deactivate();
  }
}

void ATCPServer::SetListenPort(const std::string& value) {
  if (value == listen_port_) return;
  if (value.empty()) RaiseError("Invalid ListenPort");
  if (active_) RaiseError("Cannot change port while server is active");
  listen_port_ = value;
}

const std::string& ATCPServer::LocalHost() const { return socket_->LocalHost(); }

void ATCPServer::SetLocalHost(const std::string& value) {
  SetLocalHosts(value.empty() ? std::vector<std::string>() : std::vector<std::string>{value});
}

void ATCPServer::SetLocalHosts(const std::vector<std::string>& value) {
  if (active_) RaiseError("Cannot change local host while server is active");
  socket_->SetLocalHost(value.empty() ? std::string() : value.front());
  local_hosts_ = value;
}

std::vector<TSocketAddress> ATCPServer::ListeningAddresses() const {
  std::vector<TSocketAddress> addresses;
  if (!active_) return addresses;
  for (const TTCPServerSocket* listener : Listeners()) addresses.push_back(listener->GetLocalAddress());
  return addresses;
}

std::vector<TTCPServerSocket*> ATCPServer::Listeners() const {
  std::vector<TTCPServerSocket*> listeners;
  if (socket_->State() == kSocketListening) listeners.push_back(socket_.get());
  for (const auto& further : further_sockets_) {
    if (further->State() == kSocketListening) listeners.push_back(further.get());
  }
  for (const auto& tls : tls_sockets_) {
    if (tls->State() == kSocketListening) listeners.push_back(tls.get());
  }
  return listeners;
}

void ATCPServer::SetTlsPort(const std::string& port, std::shared_ptr<const TTlsContext> context) {
  if (active_) RaiseError("Cannot change port while server is active");
  tls_port_ = port;
  tls_context_ = std::move(context);
}

bool ATCPServer::TlsListening() const {
  return std::any_of(tls_sockets_.begin(), tls_sockets_.end(),
                     [](const auto& tls) { return tls->State() == kSocketListening; });
}

std::vector<TSocketAddress> ATCPServer::TlsListeningAddresses() const {
  std::vector<TSocketAddress> addresses;
  if (!active_) return addresses;
  for (const auto& tls : tls_sockets_) {
    if (tls->State() == kSocketListening) addresses.push_back(tls->GetLocalAddress());
  }
  return addresses;
}

void ATCPServer::ListenForTls() {
  for (const auto& tls : tls_sockets_) tls->StopListening();
  if (tls_port_.empty() || !tls_context_) return;
  const std::size_t count = std::max<std::size_t>(local_hosts_.size(), 1);
  std::string port = tls_port_;
  for (std::size_t i = 0; i < count; ++i) {
    if (tls_sockets_.size() <= i) {
      tls_sockets_.push_back(std::make_unique<TTCPServerSocket>());
      tls_sockets_.back()->OnAccept = [this](ASocket&) { HandleAccept(); };
    }
    TTCPServerSocket& tls = *tls_sockets_[i];
    const std::string host = local_hosts_.empty() ? std::string() : local_hosts_[i];
    tls.SetLocalHost(host);
    tls.SetListenPort(port);
    tls.SetMaxBacklog(socket_->MaxBacklog());
    try {
      tls.Listen();
      // Every address on the port the first one got ("0": any free one).
      port = std::to_string(tls.GetLocalAddress().Port());
    } catch (const EWinSock& error) {
      tls.StopListening();
      Log(1, "Not listening for HTTPS on " + (host.empty() ? std::string("every address") : host) + " port " +
                 tls_port_ + ": " + error.Message());
    }
  }
}

bool ATCPServer::ArrivedOnTlsPort(TSocket handle) const {
  if (!tls_context_ || tls_sockets_.empty()) return false;
  TSocketAddress local;
  socklen_t size = sizeof local.v6;
  if (::getsockname(handle, &local.any, &size) != 0) return false;
  return std::any_of(tls_sockets_.begin(), tls_sockets_.end(), [&](const auto& tls) {
    return tls->State() == kSocketListening && tls->GetLocalAddress().Port() == local.Port();
  });
}

std::string ATCPServer::ListeningText() const {
  std::string text;
  for (const TTCPServerSocket* listener : Listeners()) {
    const TSocketAddress address = listener->GetLocalAddress();
    if (!text.empty()) text += ", ";
    text += address.UrlHost() + ":" + std::to_string(address.Port());
    if (std::any_of(tls_sockets_.begin(), tls_sockets_.end(),
                    [&](const auto& tls) { return tls.get() == listener; }))
      text += " (HTTPS)";
    if (address.IsWildcard())
      text += address.Family() == AF_INET6 ? " (every IPv6 and IPv4 address)"
                                           : " (every IPv4 address: this system offers no IPv6)";
  }
  return "Listening on " + text;
}

std::int32_t ATCPServer::MaxBacklog() const { return socket_->MaxBacklog(); }

void ATCPServer::SetMaxBacklog(std::int32_t value) { socket_->SetMaxBacklog(value); }

void ATCPServer::SetMaxClients(std::int32_t value) {
  max_clients_ = value;
  // Connections held back by the old limit get no new notification.
  if (accept_pending_ && !LimitReached()) HandleAccept();
}

void ATCPServer::SetThrottleClientWrite(bool value) {
  if (value == ThrottleClientWrite()) return;
  throttle_write_.store(value, std::memory_order_relaxed);
  ApplyThrottlingToClients();
}

void ATCPServer::SetThrottleClientWriteRate(std::int32_t value) {
  if (value == ThrottleClientWriteRate()) return;
  write_rate_.store(value, std::memory_order_relaxed);
  ApplyThrottlingToClients();
}

void ATCPServer::SetThrottleClientRead(bool value) {
  if (value == ThrottleClientRead()) return;
  throttle_read_.store(value, std::memory_order_relaxed);
  ApplyThrottlingToClients();
}

void ATCPServer::SetThrottleClientReadRate(std::int32_t value) {
  if (value == ThrottleClientReadRate()) return;
  read_rate_.store(value, std::memory_order_relaxed);
  ApplyThrottlingToClients();
}

void ATCPServer::SetLogTo(TLog* log) {
  if (log == log_to_) return;
  if (log_to_) RemoveFreeNotification(log_to_);
  log_to_ = log;
  if (log_to_) FreeNotification(log_to_);
}

void ATCPServer::Notification(TComponent* component) {
  if (component == log_to_) log_to_ = nullptr;
}

// ---------------------------------------------------------------------------
// Activation and deactivation

void ATCPServer::Activate() {
  if (listen_port_.empty()) RaiseError("ListenPort not set");
  std::optional<std::string> failure;
  int error = 0;
  try {
    StartListening();
  } catch (const EWinSock& socket_error) {
    failure = CurrentExceptionMessage();
    error = ErrnoOfWinSockCode(socket_error.ErrorCode());
  } catch (...) {
    // A derived server's StartListening may fail in its own ways: reported
    // alike, without a system error.
    failure = CurrentExceptionMessage();
  }
  if (failure) {
    const std::string text = "Error creating server socket: " + *failure;
    // A socket that was made but could not listen would fail the next try.
    CloseListeners();
    Log(1, text);
    try {
      RaiseError(text);
    } catch (ETCPServer& raised) {
      raised.SetErrno(error);
      throw;
    }
  }
  activated_at_ = NowLocal();
  active_ = true;
  Log(0, "Server active. Listening on port " + listen_port_ + ".");
  Log(0, ListeningText());
  if (OnActive) OnActive(*this);
}

void ATCPServer::Deactivate() {
  active_ = false;
  try {
    StopListening();
  } catch (...) {
    Log(1, "Error deactivating server socket: " + CurrentExceptionMessage());
  }
  waiting_room_.Close();
  // Stop returns once the terminated clients are gone, so that the caller
  // can rely on it (and free what their handlers use).
  if (!WaitForClients()) LogStillRunning(ReapWorkers(), "; they leave the list when they end");
  // A stopped server keeps no parked threads.
  pool_.Close(std::chrono::milliseconds(std::max(ShutdownWait, 0)));
  Log(0, "Server shutdown.");
  if (OnInactive) OnInactive(*this);
}

void ATCPServer::CloseListeners() {
  // Closing a handle does not fail; this is here for the state events of
  // the sockets, should one ever raise.
  try {
    socket_->StopListening();
    for (const auto& further : further_sockets_) further->StopListening();
    for (const auto& tls : tls_sockets_) tls->StopListening();
  } catch (...) {
    Log(1, "Error closing server socket: " + CurrentExceptionMessage());
  }
}

void ATCPServer::Shutdown() {
  shutting_down_ = true;
  active_ = false;
  making_way_.reset();
  CloseListeners();
  waiting_room_.Close();
  TerminateClients();
  WaitForClients();
  const std::size_t running = ReapWorkers();
  // Threads that have only their last steps left are waited for; one still
  // running a worker that is given up ends on its own.
  pool_.Close(std::chrono::milliseconds(std::max(ShutdownWait, 0)));
  // The list is emptied first, then the clients are freed, last first.
  std::map<std::uint32_t, std::shared_ptr<TTCPServerConnection>> connections;
  connections.swap(connections_);
  listed_count_ = 0;
  for (auto& [id, connection] : connections) {
    connection->listed_ = false;
    if (TTCPServerClient* client = connection->Client())
      client->server_.store(nullptr, std::memory_order_release);
  }
  bool abandoned = false;
  for (auto it = connections.rbegin(); it != connections.rend(); ++it) {
    TTCPServerConnection& connection = *it->second;
    // A client whose worker still runs is freed by that worker.
    if (!connection.Worker()->Finished()) {
      abandoned = true;
      continue;
    }
    connection.FreeClient();
  }
  if (abandoned) {
    // The workers left behind keep the old link, which no longer names this
    // server: their remaining synchronised steps free their clients and
    // nothing else.
    link_->server.store(nullptr, std::memory_order_release);
    link_ = std::make_shared<TTCPServerLink>();
    link_->server.store(this, std::memory_order_release);
    link_->reaper = reaper_.Handle();
  }
  for (auto& [id, connection] : connections) {
    TTCPServerClientThread& worker = *connection->Worker();
    // Released now when the worker has ended; otherwise handed back to this
    // thread when its run is over, so that its client is freed here as every
    // client is.
    worker.Abandon(ReleasedOnMainThread(std::move(connection)));
  }
  if (running > 0) LogStillRunning(running, "; left to end on their own");
}

// ---------------------------------------------------------------------------
// Interface

TDateTime ATCPServer::UpTime() const { return active_ ? NowLocal() - activated_at_ : 0; }

void ATCPServer::Log(int log_class, const std::string& msg) {
  if (OnLog) OnLog(*this, msg);
  if (log_to_) log_to_->Log(this, log_class, msg);
}

TTCPServerClient* ATCPServer::Client(std::int32_t index) const {
  for (const auto& [id, connection] : connections_) {
    if (connection->Listed() && index-- == 0) return connection->Client();
  }
  throw std::out_of_range("ATCPServer::Client");
}

std::vector<std::uint32_t> ATCPServer::ListedIdsLastFirst() const {
  std::vector<std::uint32_t> listed;
  listed.reserve(static_cast<std::size_t>(listed_count_));
  for (auto it = connections_.rbegin(); it != connections_.rend(); ++it) {
    if (it->second->Listed()) listed.push_back(it->first);
  }
  return listed;
}

void ATCPServer::TerminateClients() {
  // Last first. Terminate leaves the list as it is, but a client's override
  // might not: each is looked up again before it is terminated.
  for (const std::uint32_t id : ListedIdsLastFirst()) {
    const auto it = connections_.find(id);
    if (it == connections_.end() || !it->second->Listed()) continue;
    TTCPServerClient* client = it->second->Client();
    if (client && !client->Terminated()) client->Terminate();
  }
}

bool ATCPServer::WaitForClients() {
  const Deadline deadline = Clock::now() + std::chrono::milliseconds(std::max(ShutdownWait, 0));
  for (;;) {
    if (ReapWorkers() == 0) return true;
    const Deadline now = Clock::now();
    if (now >= deadline) return false;
    HandleThreadMessage(std::min(deadline, now + kWaitSlice));
  }
}

void ATCPServer::LogStillRunning(std::size_t count, const char* consequence) {
  Log(1, "Client threads still running after " + std::to_string(ShutdownWait) +
             " ms: " + std::to_string(count) + consequence);
}

std::size_t ATCPServer::ReapWorkers() {
  // The ids first: the completion step runs handlers, which may change the
  // list (or wait for the workers themselves).
  std::vector<std::uint32_t> ended;
  std::size_t busy = 0;
  for (const auto& [id, connection] : connections_) {
    const TTCPServerClientThread& worker = *connection->Worker();
    if (worker.Finished()) {
      ended.push_back(id);
    } else if (!worker.InSynchronize()) {
      // A worker whose synchronised call runs further down this stack can
      // only end after the wait has returned.
      ++busy;
    }
  }
  for (const std::uint32_t id : ended) ReapWorker(id);
  return busy;
}

void ATCPServer::ReapWorker(std::uint32_t id) {
  auto it = connections_.find(id);
  if (it == connections_.end() || !it->second->Worker()->Finished()) return;
  // Held while the handlers run; released (which joins the worker: it has
  // only its last steps left) once it is out of the list of records.
  const std::shared_ptr<TTCPServerConnection> connection = it->second;
  CompleteClient(*connection);
  it = connections_.find(id);
  if (it != connections_.end() && it->second == connection) connections_.erase(it);
}

void ATCPServer::CompleteClient(TTCPServerConnection& connection) {
  TTCPServerClient* client = connection.Client();
  if (!client || connection.completing_) return;
  connection.completing_ = true;
  std::string error;
  try {
    FinishClient(connection, !connection.Worker()->Terminated() && !client->Terminated());
  } catch (...) {
    error = CurrentExceptionMessage();
  }
  // Freed even when a handler failed: nothing else would free it.
  connection.FreeClient();
  if (!error.empty()) Log(1, "Client free error: " + error);
}

// ---------------------------------------------------------------------------
// Virtual operations

void ATCPServer::RaiseError(const std::string& msg) { throw ETCPServer(msg); }

void ATCPServer::StartListening() {
  socket_->SetListenPort(listen_port_);
  socket_->Listen();
  ListenOnFurtherHosts();
  ListenForTls();
}

void ATCPServer::ListenOnFurtherHosts() {
  // All on the port the first one got (it may have been "any free port").
  const std::string port = std::to_string(socket_->GetLocalAddress().Port());
  for (std::size_t i = 1; i < local_hosts_.size(); ++i) {
    if (further_sockets_.size() < i) {
      further_sockets_.push_back(std::make_unique<TTCPServerSocket>());
      further_sockets_.back()->OnAccept = [this](ASocket&) { HandleAccept(); };
    }
    TTCPServerSocket& further = *further_sockets_[i - 1];
    further.StopListening();
    further.SetLocalHost(local_hosts_[i]);
    further.SetListenPort(port);
    further.SetMaxBacklog(socket_->MaxBacklog());
    try {
      further.Listen();
    } catch (const EWinSock& error) {
      further.StopListening();
      const int code = error.ErrorCode();
      // An address of a family the system does not have: the others serve.
      if (code != kWsaEAfNoSupport && code != kWsaEAddrNotAvail && code != 10046) throw;
      Log(1, "Not listening on " + local_hosts_[i] + ": " + error.Message());
    }
  }
}

void ATCPServer::StopListening() {
  socket_->StopListening();
  for (const auto& further : further_sockets_) further->StopListening();
  for (const auto& tls : tls_sockets_) tls->StopListening();
  TerminateClients();
}

void ATCPServer::BeforeAccept() {
  if (OnBeforeAccept) OnBeforeAccept(*this);
}

std::unique_ptr<TTCPServerClient> ATCPServer::CreateClient() {
  if (OnCreateClient) {
    if (auto client = OnCreateClient(*this)) return client;
  }
  if (ClientClass) {
    if (auto client = ClientClass(*this)) return client;
  }
  return std::make_unique<TTCPServerClient>(*this);
}

void ATCPServer::ClientExecute(TTCPServerClient& client) {
  if (OnClientExecute) OnClientExecute(client);
}

// ---------------------------------------------------------------------------
// Accepting and the client list

bool ATCPServer::LimitReached() const { return max_clients_ >= 0 && ClientCount() >= max_clients_; }

void ATCPServer::HandleAccept() {
  if (!active_ || accepting_) return;
  struct Pass {
    bool& flag;
    explicit Pass(bool& f) : flag(f) { flag = true; }
    ~Pass() { flag = false; }
  } pass(accepting_);
  // Connections held while the list was full come first.
  while (!LimitReached() && !waiting_room_.Empty() && active_) StartWaiting();
  if (!active_) return;
  if (HoldWhileFull()) return;
  BeforeAccept();
  for (TTCPServerSocket* listener : Listeners()) {
    for (int taken = 0; taken < kAcceptBatch; ++taken) {
      TSocketAddress address;
      TSocket handle = kInvalidSocket;
      int error = 0;
      try {
        handle = listener->Accept(address);
        error = errno;
      } catch (const EWinSock&) {
        // Raised only by a listener that no longer listens (a handler of
        // this pass stopped the server): it has nothing more to give.
        break;
      }
      if (handle == kInvalidSocket) {
        if (IsResourceShortage(error)) accept_pending_ = true;
        break;
      }
      if (!StartClient(handle, address)) return;
      if (!active_ || HoldWhileFull()) return;
    }
  }
}

bool ATCPServer::HoldWhileFull() {
  if (!LimitReached()) return false;
  // What waits is taken once a place is free; meanwhile newcomers are held
  // where their addresses are known, and someone may be asked to make way.
  accept_pending_ = true;
  if (MaxWaiting > 0) waiting_room_.Take(Listeners(), static_cast<std::size_t>(MaxWaiting));
  MakeWay();
  return true;
}

void ATCPServer::StartWaiting() {
  // The places each address holds.
  TPeerTally places;
  for (const auto& [id, connection] : connections_) {
    const TTCPServerClient* client = connection->Client();
    if (connection->Listed() && client) places.Add(client->RemotePeer);
  }
  const TWaitingRoom::TConnection chosen = waiting_room_.TakeNext(places);
  StartClient(chosen.Handle, chosen.Address);
}

bool ATCPServer::NewcomerQueued() {
  queued_polls_.clear();
  for (const TTCPServerSocket* listener : Listeners())
    queued_polls_.push_back({listener->SocketHandle(), POLLIN, 0});
  return ::poll(queued_polls_.data(), queued_polls_.size(), 0) > 0 &&
         std::any_of(queued_polls_.begin(), queued_polls_.end(),
                     [](const pollfd& entry) { return entry.revents & POLLIN; });
}

void ATCPServer::FillGiveWayTable(const TGiveWayRules& rules, std::int64_t now) {
  give_way_rows_.clear();
  give_way_clients_.clear();
  for (const auto& [id, connection] : connections_) {
    TTCPServerClient* client = connection->Client();
    if (!connection->Listed() || !client || client->Terminated()) continue;
    TGiveWayRow& row = give_way_rows_.emplace_back();
    row.Peer = client->RemotePeer;
    row.IdleSince = client->IdleSince();
    row.ReceivingSince = client->ReceivingSince();
    row.SendingSince = client->UntakenSince(now);
    // Counting the bytes takes the socket's lock: only where a rule reads them.
    if (rules.MinReceiveRate > 0 && row.ReceivingSince > 0) row.RequestBytes = client->RequestBytes();
    give_way_clients_.push_back(client);
  }
}

void ATCPServer::MakeWay() {
  // The one that made way last runs HandleAccept again when it has left.
  if (making_way_ || !active_) return;
  waiting_room_.Prune();
  const TNewcomers newcomers{waiting_room_.Addresses(), NewcomerQueued()};
  TGiveWayRules rules{IdleGiveWayTime, MinReceiveRate, MinReceiveRateGrace, SendStallTime};
  // An idle client may turn busy between the look and the claim: then the
  // rules are asked again, and after as many failed claims as there are
  // clients, without the idle rule.
  for (std::int32_t attempt = 0;; ++attempt) {
    if (attempt > listed_count_) rules.IdleGiveWayTime = -1;
    const std::int64_t now = IdleClockMs();
    FillGiveWayTable(rules, now);
    // While the list is full, a connection that comes raises no notification
    // (the last one was not taken), and a busy client may turn idle without
    // telling: the rules name when to look again.
    const TGiveWay choice = ChooseGiveWay(give_way_rows_, newcomers, now, rules, kMakeWayLookAgainMs);
    if (choice.Rule == TGiveWayRule::kNone) {
      SetTimer(reaper_.Handle(), kMakeWayTimer,
               static_cast<std::uint32_t>(std::max<std::int64_t>(choice.LookAgain, 1)));
      return;
    }
    TTCPServerClient& client = *give_way_clients_[choice.Row];
    // An idle client loses nothing, unless it has just begun a request.
    if (choice.Rule == TGiveWayRule::kIdle && !client.ClaimIdle(choice.IdleSince)) continue;
    making_way_ = client.connection_->Id();
    Log(0, GiveWayLogLine(choice, client.RemotePeer));
    client.Terminate();
    return;
  }
}

bool ATCPServer::StartClient(TSocket handle, const TSocketAddress& address) {
  std::unique_ptr<TTCPServerClient> client;
  try {
    client = CreateClient();
    client->Init();
  } catch (...) {
    CloseSocket(handle);
    Log(1, "Error creating client: " + CurrentExceptionMessage());
    return false;
  }
  client->SocketHandle = handle;
  if (ArrivedOnTlsPort(handle)) client->TlsContext = tls_context_;
  client->RemoteAddress = address.IPv4View();
  client->RemotePeer = address;
  auto connection = std::make_shared<TTCPServerConnection>(next_id_++, std::move(client));
  connection->worker_ = std::make_unique<TTCPServerClientThread>(link_, *connection);
  try {
    // Started before the client joins the list: the worker reaches the main
    // thread only after this accept pass, and a failure leaves no trace.
    connection->worker_->Start(&pool_);
  } catch (...) {
    const std::string message = CurrentExceptionMessage();
    connection.reset();  // closes the accepted handle
    Log(1, "Error creating client: " + message);
    return false;
  }
  connection->listed_ = true;
  ++listed_count_;
  const std::uint32_t id = connection->Id();
  connections_.emplace(id, std::move(connection));
  return true;
}

void ATCPServer::Unlist(TTCPServerConnection& connection) {
  if (!connection.listed_) return;
  connection.listed_ = false;
  --listed_count_;
  if (making_way_ == connection.Id()) making_way_.reset();
  try {
    // Destruction fires no events: whoever destroys the server may already
    // have taken apart what its handlers use.
    if (OnClientRemoved && !shutting_down_ && connection.Client()) OnClientRemoved(*connection.Client());
  } catch (...) {
    if (accept_pending_) HandleAccept();
    throw;
  }
  if (accept_pending_) HandleAccept();
}

void ATCPServer::DoClientActive(TTCPServerClient& client) {
  if (OnClientActive) OnClientActive(client);
  client.ClientActive();
}

void ATCPServer::FinishClient(TTCPServerConnection& connection, bool normally) {
  Unlist(connection);
  // Destruction fires no client event (see Unlist).
  if (!normally || shutting_down_) return;
  TTCPServerClient& client = *connection.Client();
  if (OnClientInactive) OnClientInactive(client);
  client.ClientInactive();
}

void ATCPServer::ApplyThrottlingToClients() {
  const bool read = ThrottleClientRead();
  const std::int32_t read_rate = ThrottleClientReadRate();
  const bool write = ThrottleClientWrite();
  const std::int32_t write_rate = ThrottleClientWriteRate();
  for (const auto& [id, connection] : connections_) {
    if (connection->Listed() && connection->Client())
      connection->Client()->ApplyThrottling(read, read_rate, write, write_rate);
  }
}

}  // namespace vt
