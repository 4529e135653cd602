#include "tcpserver/tcp_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>

#include "platform/synchronize.h"
#include "socket_test_support.h"
#include "support/expect_error.h"

namespace vt {
namespace {

using namespace std::chrono_literals;
using test::Clock;

// Serves the main queue (as the program's message loop would) until `done`
// holds; false when `limit` passed first.
template <typename Pred>
bool PumpUntil(Pred done, Clock::duration limit = 10s) {
  const Deadline deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    HandleThreadMessage(std::min(deadline, Clock::now() + 50ms));
  }
  return true;
}

void PumpFor(Clock::duration span) {
  const Deadline deadline = Clock::now() + span;
  while (Clock::now() < deadline) HandleThreadMessage(deadline);
}

int CountEntries(const char* directory) {
  int count = 0;
  if (DIR* dir = ::opendir(directory)) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
  }
  return count - 1;  // the directory stream itself, for /proc/self/fd
}

int OpenDescriptors() { return CountEntries("/proc/self/fd"); }

int RunningThreads() { return CountEntries("/proc/self/task") + 1; }

// The descriptor limit (RLIMIT_NOFILE) that leaves exactly `room` numbers
// free for new descriptors. The limit bounds the numbers, not the count: a
// descriptor open above it (one inherited from whoever started the tests)
// takes no room below it.
rlim_t LimitLeaving(int room) {
  std::set<int> open;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    const int own = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != own) open.insert(std::atoi(entry->d_name));
    }
    ::closedir(dir);
  }
  int number = 0;
  for (int free = 0;; ++number) {
    if (!open.contains(number) && ++free == room) break;
  }
  return static_cast<rlim_t>(number + 1);
}

// The process's descriptors and threads before a test makes servers: taken
// once the main queue exists and a first thread has come and gone (a
// sanitizer may start a helper thread of its own then).
struct ResourceCount {
  ResourceCount() {
    ProcessThreadMessages();
    std::thread([] {}).join();
    descriptors = OpenDescriptors();
    threads = RunningThreads();
  }
  int descriptors;
  int threads;
};

std::uint16_t PortOf(const ATCPServer& server) {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  ::getsockname(server.ServerSocket().SocketHandle(), reinterpret_cast<sockaddr*>(&address), &size);
  return ntohs(address.sin_port);
}

// Connections waiting in the server's accept queue (for a listening socket
// Linux tells them in tcpi_unacked); -1 when it cannot be asked.
int WaitingConnections(const ATCPServer& server) {
  tcp_info info{};
  socklen_t size = sizeof info;
  if (::getsockopt(server.ServerSocket().SocketHandle(), IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return -1;
  return static_cast<int>(info.tcpi_unacked);
}

// Waits (without pumping) until the peer has closed; false on time-out.
bool PeerSeesEnd(int fd, std::chrono::milliseconds limit = 10000ms) {
  const auto deadline = Clock::now() + limit;
  char buffer[4096];
  while (Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) return true;
  }
  return false;
}

// Reads one line from a blocking socket (with a bound).
std::string ReceiveLine(int fd) {
  std::string line;
  const auto deadline = Clock::now() + 10s;
  char c;
  while (Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    if (::recv(fd, &c, 1, 0) != 1 || c == '\n') break;
    if (c != '\r') line += c;
  }
  return line;
}

// Reads one line on a thread of its own, so that the main thread can pump.
struct LineReader {
  explicit LineReader(int fd)
      : thread([this, fd] {
          line = ReceiveLine(fd);
          done = true;
        }) {}
  ~LineReader() {
    if (thread.joinable()) thread.join();
  }
  std::string Take() {
    thread.join();
    return line;
  }
  std::string line;
  std::atomic<bool> done{false};
  std::thread thread;
};

// Answers each line with "echo:" and the line, until "quit" or the end.
class EchoClient : public TTCPServerClient {
 public:
  using TTCPServerClient::TTCPServerClient;
  static inline std::atomic<int> reads{0};  // reads begun, by all echo clients
  void Execute() override {
    while (!Terminated()) {
      std::string line;
      ++reads;
      try {
        line = Stream()->GetReader()->ReadLine(4096, false);
      } catch (const EReader&) {
        return;  // ended, timed out or terminated
      }
      if (line == "quit") return;
      Stream()->GetWriter()->WriteText("echo:" + line + "\r\n");
    }
  }
};

// A server on 127.0.0.1 and a free port, recording its events and log.
struct ServerFixture {
  explicit ServerFixture(TTCPServerClientClass client_class = ClientClassOf<EchoClient>()) {
    server = std::make_unique<TFinalServer<ATCPServer>>();
    server->SetListenPort("0");
    server->SetLocalHost("127.0.0.1");
    server->ClientClass = std::move(client_class);
    server->OnActive = [this](ATCPServer&) { events.push_back("server active"); };
    server->OnInactive = [this](ATCPServer&) { events.push_back("server inactive"); };
    server->OnClientActive = [this](TTCPServerClient&) {
      ++activated;
      events.push_back("active");
    };
    server->OnClientRemoved = [this](TTCPServerClient&) {
      ++removed;
      events.push_back("removed");
    };
    server->OnClientInactive = [this](TTCPServerClient&) { events.push_back("inactive"); };
    log.OnLogMessage = [this](TComponent*, int log_class, const std::string& msg) {
      lines.push_back(std::to_string(log_class) + " " + msg);
    };
    server->SetLogTo(&log);
  }
  ~ServerFixture() {
    server.reset();
    for (int fd : peers) ::close(fd);
  }
  void Start() {
    server->SetActive(true);
    port = PortOf(*server);
  }
  int Connect() {
    peers.push_back(test::ConnectLoopback(port));
    return peers.back();
  }
  bool HasLine(const std::string& line) const {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }

  TLog log;
  std::unique_ptr<ATCPServer> server;
  std::uint16_t port = 0;
  std::vector<int> peers;
  std::vector<std::string> events;
  std::vector<std::string> lines;  // "<class> <text>"
  int activated = 0;
  int removed = 0;
};

TEST(TCPServer, ActivationAndDeactivationReportWhatHappened) {
  const ResourceCount before;
  {
    ServerFixture f;
    ATCPServer& server = *f.server;

    TFinalServer<ATCPServer> unset;
    EXPECT_VT_ERROR(unset.SetActive(true), ETCPServer, "ListenPort not set");
    EXPECT_FALSE(unset.Active());

    // A taken port: logged as an error and raised with the same text, twice
    // in a row (the failed socket is not left half made).
    f.Start();
    ServerFixture other;
    other.server->SetListenPort(std::to_string(f.port));
    for (int attempt = 0; attempt < 2; ++attempt) {
      EXPECT_VT_ERROR(other.server->SetActive(true), ETCPServer,
                      "Error creating server socket: Socket bind failed: Address in use");
    }
    EXPECT_FALSE(other.server->Active());
    EXPECT_TRUE(other.events.empty());
    const std::vector<std::string> failed(
        2, "1 Error creating server socket: Socket bind failed: Address in use");
    EXPECT_EQ(failed, other.lines);

    EXPECT_TRUE(server.Active());
    PumpFor(20ms);
    EXPECT_GT(server.UpTime(), 0.0);
    server.SetActive(true);  // a second activation does nothing
    EXPECT_VT_ERROR(server.SetListenPort("81"), ETCPServer, "Cannot change port while server is active");
    EXPECT_VT_ERROR(server.SetLocalHost("127.0.0.1"), ETCPServer,
                    "Cannot change local host while server is active");
    EXPECT_VT_ERROR(server.SetListenPort(""), ETCPServer, "Invalid ListenPort");
    server.SetListenPort("0");  // unchanged: allowed while active
    EXPECT_THROW(server.SetMaxBacklog(8), EWinSock);

    server.SetActive(false);
    EXPECT_EQ(0.0, server.UpTime());
    const std::vector<std::string> events{"server active", "server inactive"};
    EXPECT_EQ(events, f.events);
    const std::vector<std::string> lines{"0 Server active. Listening on port 0.",
                                         "0 Listening on 127.0.0.1:" + std::to_string(f.port),
                                         "0 Server shutdown."};
    EXPECT_EQ(lines, f.lines);
  }
  EXPECT_EQ(before.descriptors, OpenDescriptors());
}

// What a failed start raises carries the system's error code beside its
// text, also when a derived server raises a class of its own; failures that
// no system call made carry none.
VT_EXCEPTION_CLASS(EOwnServer, ETCPServer);

class OwnServer : public ATCPServer {
 public:
  [[noreturn]] void RaiseError(const std::string& msg) override { throw EOwnServer(msg); }
};

TEST(TCPServer, AFailedStartCarriesTheSystemsErrorCode) {
  ServerFixture f;
  f.Start();
  const auto errno_of = [](ATCPServer& server) {
    try {
      server.SetActive(true);
    } catch (const ETCPServer& error) {
      return error.Errno();
    }
    ADD_FAILURE() << "started";
    return -1;
  };
  TFinalServer<ATCPServer> plain;
  TFinalServer<OwnServer> own;
  for (ATCPServer* server : {static_cast<ATCPServer*>(&plain), static_cast<ATCPServer*>(&own)}) {
    server->SetLocalHost("127.0.0.1");
    EXPECT_EQ(0, errno_of(*server)) << server->ClassName() << ": no port, no system call";
    server->SetListenPort(std::to_string(f.port));
    EXPECT_EQ(EADDRINUSE, errno_of(*server)) << server->ClassName();
  }
  EXPECT_VT_ERROR(own.SetActive(true), EOwnServer,
                  "Error creating server socket: Socket bind failed: Address in use");
}

TEST(TCPServer, TheErrnoBehindAWinSockCode) {
  struct Row {
    int code;
    int error;
    const char* why;
  };
  const Row rows[] = {
      {10048, EADDRINUSE, "the port is taken"},
      {10013, EACCES, "shared with EPERM: binding a low port gives EACCES"},
      {10049, EADDRNOTAVAIL, "not an address of this machine"},
      {10047, EAFNOSUPPORT, "no IPv6"},
      {10024, EMFILE, "shared with ENFILE"},
      {10055, ENOBUFS, "shared with ENOMEM"},
      {EIO, EIO, "an errno value without a code of its own stands for itself"},
      {0, 0, "no failure"},
      {20001, 0, "the socket layer's own code: no system call failed"},
      {-1, 0, "the socket layer's closed-socket code"},
  };
  for (const Row& row : rows)
    EXPECT_EQ(row.error, ErrnoOfWinSockCode(row.code)) << row.code << ": " << row.why;
}

// One server on several addresses: a listening socket each, on one port;
// each client keeps its full address and, for IPv4, the IPv4 view. An
// address that cannot be had fails the start and leaves nothing open.
TEST(TCPServer, ListensOnEveryAddressItIsGiven) {
  if (const std::string why = test::NoIPv6Loopback(); !why.empty()) GTEST_SKIP() << why;
  const ResourceCount before;
  {
    ServerFixture f;
    std::mutex mutex;
    std::vector<std::pair<std::string, std::string>> peers;  // full text, IPv4 view
    f.server->OnClientActive = [&](TTCPServerClient& client) {
      std::lock_guard lock(mutex);
      ++f.activated;
      peers.emplace_back(client.RemotePeer.HostText(),
                         client.RemoteAddress.sin_family == AF_INET
                             ? AddressToText(client.RemoteAddress.sin_addr.s_addr)
                             : std::string("-"));
    };
    f.server->SetLocalHosts({"127.0.0.1", "::1"});
    EXPECT_EQ("127.0.0.1", f.server->LocalHost());
    f.Start();
    const std::string port = std::to_string(f.port);
    EXPECT_TRUE(f.HasLine("0 Listening on 127.0.0.1:" + port + ", [::1]:" + port));
    const std::vector<TSocketAddress> listening = f.server->ListeningAddresses();
    ASSERT_EQ(2u, listening.size());
    EXPECT_EQ("[::1]", listening[1].UrlHost());
    EXPECT_EQ(f.port, listening[1].Port());
    EXPECT_VT_ERROR(f.server->SetLocalHosts({}), ETCPServer,
                    "Cannot change local host while server is active");

    const int v4 = test::ConnectTo("127.0.0.1", f.port);
    const int v6 = test::ConnectTo("::1", f.port);
    EXPECT_EQ(-1, test::ConnectTo("127.0.0.2", f.port)) << "not an address it listens on";
    ASSERT_TRUE(PumpUntil([&] { return f.activated == 2; }));
    std::sort(peers.begin(), peers.end());
    const std::vector<std::pair<std::string, std::string>> expected{{"127.0.0.1", "127.0.0.1"}, {"::1", "-"}};
    EXPECT_EQ(expected, peers);
    ::close(v4);
    ::close(v6);
    f.server->SetActive(false);
    EXPECT_TRUE(f.server->ListeningAddresses().empty());
    EXPECT_EQ(-1, test::ConnectTo("::1", f.port)) << "stopped: every socket closed";

    f.server->SetLocalHosts({"127.0.0.1", "no-such-host.invalid"});
    EXPECT_THROW(f.server->SetActive(true), ETCPServer);
    EXPECT_FALSE(f.server->Active());
    EXPECT_EQ(kSocketClosed, f.server->ServerSocket().State());
  }
  EXPECT_EQ(before.descriptors, OpenDescriptors());
}

TEST(TCPServer, MaxClientsHoldsConnectionsInTheListenQueue) {
  ServerFixture f;
  f.server->SetMaxClients(2);
  f.Start();
  const int a = f.Connect();
  f.Connect();
  const int c = f.Connect();
  ASSERT_TRUE(PumpUntil([&] { return f.activated == 2; }));
  PumpFor(200ms);
  EXPECT_EQ(2, f.server->ClientCount());
  EXPECT_EQ(2, f.activated);
  EXPECT_TRUE(f.server->AcceptPending());

  // The first client leaves; the one waiting in the queue takes its place.
  test::SendAll(a, "quit\r\n");
  ASSERT_TRUE(PumpUntil([&] { return f.activated == 3; }));
  EXPECT_EQ(2, f.server->ClientCount());
  test::SendAll(c, "hello\r\n");
  LineReader reader(c);
  PumpUntil([&] { return reader.done.load(); });
  EXPECT_EQ("echo:hello", reader.Take());
  const std::vector<std::string> events{"server active", "active", "active", "removed", "inactive", "active"};
  EXPECT_EQ(events, f.events);
}

TEST(TCPServer, MaxClientsZeroAcceptsNothingUntilRaised) {
  ServerFixture f;
  int created = 0;
  f.server->OnCreateClient = [&](ATCPServer&) {
    ++created;
    return std::unique_ptr<TTCPServerClient>();
  };
  f.server->SetMaxClients(0);
  f.Start();
  f.Connect();
  ASSERT_TRUE(PumpUntil([&] { return f.server->AcceptPending(); }));
  PumpFor(200ms);
  EXPECT_EQ(0, created);
  EXPECT_EQ(0, f.server->ClientCount());

  // No new notification comes for a connection already waiting: raising the
  // limit must take it.
  f.server->SetMaxClients(1);
  EXPECT_TRUE(PumpUntil([&] { return f.activated == 1; }));
  EXPECT_EQ(1, created);
}

TEST(TCPServer, DeactivationWakesAWaitingWorkerAndOnlyRemovesIt) {
  ServerFixture f;
  f.Start();
  const int peer = f.Connect();
  EchoClient::reads = 0;
  test::SendAll(peer, "half a li");  // mid-request
  ASSERT_TRUE(PumpUntil([&] { return EchoClient::reads == 1; }));

  const auto start = Clock::now();
  f.server->SetActive(false);
  EXPECT_LT(Clock::now() - start, 5s) << "the worker must wake at once, not after TimeOut";
  EXPECT_EQ(0, f.server->ClientCount());
  const std::vector<std::string> events{"server active", "active", "removed", "server inactive"};
  EXPECT_EQ(events, f.events);
  EXPECT_TRUE(PeerSeesEnd(peer));
}

TEST(TCPServer, StoppingFromAClientEventDoesNotWaitForThatClient) {
  // The worker of the client whose activation runs the handler waits for the
  // handler: the stop must not wait for it in turn.
  ServerFixture f;
  f.server->ShutdownWait = 5000;
  Clock::duration stopping{};
  f.server->OnClientActive = [&](TTCPServerClient&) {
    f.events.push_back("active");
    const auto start = Clock::now();
    f.server->SetActive(false);
    stopping = Clock::now() - start;
  };
  f.Start();
  f.Connect();
  ASSERT_TRUE(PumpUntil([&] { return f.removed == 1; }));
  EXPECT_LT(stopping, 2s);
  const std::vector<std::string> events{"server active", "active", "server inactive", "removed"};
  EXPECT_EQ(events, f.events);
  const std::vector<std::string> lines{"0 Server active. Listening on port 0.",
                                       "0 Listening on 127.0.0.1:" + std::to_string(f.port),
                                       "0 Server shutdown."};
  EXPECT_EQ(lines, f.lines);
  // The worker's end still releases its record after the stop.
  EXPECT_TRUE(PumpUntil([&] { return f.server->WorkerCount() == 0; }));
}

TEST(TCPServer, ShutdownFromAClientsSynchronisedCallLeavesTheClientToItsWorker) {
  // The client leaves the list while its worker waits for the very handler
  // that shuts the server down: the client must live on under the handler,
  // be freed by its worker once the call returns, and the thread must end.
  static std::atomic<int> freed{0};
  freed = 0;
  struct Counted : EchoClient {
    using EchoClient::EchoClient;
    ~Counted() override { ++freed; }
  };
  ServerFixture f(ClientClassOf<Counted>());
  f.server->ShutdownWait = 5000;
  Clock::duration shutting{};
  int threads = 0;
  f.server->OnClientActive = [&](TTCPServerClient& client) {
    threads = RunningThreads();
    const auto start = Clock::now();
    f.server->Shutdown();
    shutting = Clock::now() - start;
    EXPECT_EQ(0, f.server->ClientCount());
    EXPECT_EQ(0, freed.load());
    EXPECT_TRUE(client.Terminated());
    EXPECT_EQ(AF_INET, client.RemoteAddress.sin_family);
  };
  f.Start();
  f.Connect();
  ASSERT_TRUE(PumpUntil([&] { return freed == 1; }));
  EXPECT_LT(shutting, 2s);
  EXPECT_EQ(0, f.server->WorkerCount());
  EXPECT_EQ(0, f.removed) << "a server that shut down fires no client events";
  EXPECT_TRUE(PumpUntil([&] { return RunningThreads() < threads; }));
}

TEST(TCPServer, FailuresInTheWorkersStepsAreLoggedWithTheirStep) {
  {
    // Activation fails: Execute never runs; the client still finishes
    // normally (removed, then inactive).
    bool executed = false;
    ServerFixture f;
    f.server->OnClientActive = [&](TTCPServerClient&) {
      f.events.push_back("active");
      throw ETCPServer("no room");
    };
    f.server->OnClientExecute = [&](TTCPServerClient&) { executed = true; };
    f.server->ClientClass = nullptr;
    f.Start();
    const int peer = f.Connect();
    ASSERT_TRUE(PumpUntil([&] { return f.events.size() == 4; }));
    const std::vector<std::string> events{"server active", "active", "removed", "inactive"};
    EXPECT_EQ(events, f.events);
    EXPECT_TRUE(f.HasLine("1 Client activate error: no room"));
    EXPECT_FALSE(executed);
    EXPECT_TRUE(PeerSeesEnd(peer));
  }
  {
    // Execute fails, then a removal handler fails: both are logged, and the
    // client is freed all the same.
    ServerFixture f(nullptr);
    bool freed = false;
    struct Client : TTCPServerClient {
      Client(ATCPServer& server, bool& freed) : TTCPServerClient(server), freed_(freed) {}
      ~Client() override { freed_ = true; }
      void Execute() override { throw std::runtime_error("broken"); }
      bool& freed_;
    };
    f.server->OnCreateClient = [&](ATCPServer& server) { return std::make_unique<Client>(server, freed); };
    f.server->OnClientRemoved = [](TTCPServerClient&) { throw ETCPServer("handler failed"); };
    f.Start();
    f.Connect();
    ASSERT_TRUE(PumpUntil([&] { return freed && f.lines.size() == 4; }));
    EXPECT_TRUE(f.HasLine("1 Client execute error: broken"));
    EXPECT_TRUE(f.HasLine("1 Client free error: handler failed"));
    EXPECT_EQ(0, f.server->ClientCount());
  }
}

TEST(TCPServer, ClientLogLinesReachOnLogOnTheMainThreadInOrder) {
  struct Chatty : TTCPServerClient {
    using TTCPServerClient::TTCPServerClient;
    void Execute() override {
      for (int i = 0; i < 100; ++i) Log(i % 2, "line " + std::to_string(i));
    }
  };
  ServerFixture f(ClientClassOf<Chatty>());
  std::vector<std::string> received;
  bool all_on_main = true;
  f.server->OnLog = [&](ATCPServer&, const std::string& msg) {
    all_on_main = all_on_main && IsMainThread();
    if (msg.rfind("line ", 0) == 0) received.push_back(msg);
  };
  f.Start();
  f.Connect();
  ASSERT_TRUE(PumpUntil([&] { return f.removed == 1; }));
  ASSERT_EQ(100u, received.size());
  for (int i = 0; i < 100; ++i) EXPECT_EQ("line " + std::to_string(i), received[static_cast<std::size_t>(i)]);
  EXPECT_TRUE(all_on_main);
  EXPECT_TRUE(f.HasLine("1 line 1")) << "the log class reaches the log component";
}

TEST(TCPServer, ThrottlingChangesReachALiveConnection) {
  // Sends blocks for as long as the connection lasts.
  struct Sender : TTCPServerClient {
    using TTCPServerClient::TTCPServerClient;
    void Execute() override {
      const std::string block(4096, 'x');
      while (!Terminated() && Stream()->IsOpen()) {
        Stream()->GetWriter()->WriteText(block);
        Stream()->WaitSendComplete();
      }
    }
  };
  ServerFixture f(ClientClassOf<Sender>());
  f.server->SetThrottleClientWrite(true);
  f.server->SetThrottleClientWriteRate(20000);
  f.Start();
  const int peer = f.Connect();
  std::atomic<std::int64_t> received{0};
  std::thread reader([&] {
    char buffer[65536];
    for (;;) {
      const ssize_t got = ::recv(peer, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      received += got;
    }
  });
  // Bytes per second over one second, after the connection has settled.
  auto rate = [&] {
    PumpFor(300ms);
    const std::int64_t before = received;
    PumpFor(1s);
    return received - before;
  };
  ASSERT_TRUE(PumpUntil([&] { return f.activated == 1; }));
  const std::int64_t slow = rate();
  f.server->SetThrottleClientWriteRate(200000);
  const std::int64_t faster = rate();
  f.server->SetThrottleClientWrite(false);
  const std::int64_t free = rate();
  ::shutdown(peer, SHUT_RDWR);
  f.server->SetActive(false);
  reader.join();
  EXPECT_LT(slow, 40000);
  EXPECT_GT(slow, 5000);
  EXPECT_GT(faster, 100000);
  EXPECT_LT(faster, 300000);
  EXPECT_GT(free, 1000000);
}

TEST(TCPServer, WhatExecuteWroteLastReachesThePeerBeforeTheEnd) {
  // Writes before the connection has reported that it can send, so the
  // bytes are still queued when Execute returns.
  struct Greeter : TTCPServerClient {
    using TTCPServerClient::TTCPServerClient;
    void Execute() override { Stream()->GetWriter()->WriteText(std::string(100000, 'g') + "\r\n"); }
  };
  ServerFixture f(ClientClassOf<Greeter>());
  f.Start();
  const int peer = f.Connect();
  std::string received;
  std::thread reader([&] { received = test::ReceiveAll(peer, 10000ms); });
  EXPECT_TRUE(PumpUntil([&] { return f.removed == 1; }));
  reader.join();
  EXPECT_EQ(100002u, received.size());
  const std::vector<std::string> events{"server active", "active", "removed", "inactive"};
  EXPECT_EQ(events, f.events);
}

TEST(TCPServer, ASilentPeerIsCutAfterTimeOut) {
  ServerFixture f;
  f.server->SetTimeOut(300);
  f.Start();
  const int peer = f.Connect();
  const auto start = Clock::now();
  ASSERT_TRUE(PumpUntil([&] { return f.removed == 1; }));
  const auto held = Clock::now() - start;
  EXPECT_GE(held, 250ms);
  EXPECT_LT(held, 5s);
  EXPECT_TRUE(PeerSeesEnd(peer, 1000ms));
}

TEST(TCPServer, LogToForgetsADestroyedLog) {
  TFinalServer<ATCPServer> server;
  auto log = std::make_unique<TLog>();
  int lines = 0;
  log->OnLogMessage = [&](TComponent*, int, const std::string&) { ++lines; };
  server.SetLogTo(log.get());
  server.Log(0, "one");
  log.reset();
  EXPECT_EQ(nullptr, server.LogTo());
  server.Log(0, "two");
  EXPECT_EQ(1, lines);
}

TEST(TCPServer, AClientClosesAHandleNoSocketTookOver) {
  TFinalServer<ATCPServer> server;
  test::LoopbackPair pair;
  const int fd = pair.TakeOurs();
  auto client = std::make_unique<TTCPServerClient>(server);
  client->SocketHandle = fd;
  client.reset();
  EXPECT_TRUE(PeerSeesEnd(pair.peer, 2000ms));
}

// While the worker waits to send, the server judges whether the peer takes
// its answer by the bytes the peer acknowledged: a send wait counts as
// taking from the first look on, stays untaken while nothing is
// acknowledged (however full the buffers), and moves on when bytes are.
TEST(TCPServer, AnAnswerIsTakenWhenThePeerAcknowledgesItsBytes) {
  TFinalServer<ATCPServer> server;
  test::LoopbackPair pair;
  auto client = std::make_unique<TTCPServerClient>(server);
  client->SocketHandle = pair.TakeOurs();
  const std::int64_t start = IdleClockMs();
  EXPECT_EQ(0, client->UntakenSince(start)) << "no send wait";
  client->MarkSendWait(false);
  EXPECT_EQ(start + 10, client->UntakenSince(start + 10)) << "first look";
  EXPECT_EQ(start + 10, client->UntakenSince(start + 5000)) << "nothing acknowledged";
  const char bytes[1000] = {};
  ASSERT_EQ(static_cast<ssize_t>(sizeof bytes), ::send(client->SocketHandle, bytes, sizeof bytes, 0));
  std::int64_t now = start + 6000;
  const auto limit = Clock::now() + 2s;
  while (client->UntakenSince(now) != now && Clock::now() < limit) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(now, client->UntakenSince(now)) << "acknowledged bytes";
  EXPECT_EQ(now, client->UntakenSince(now + 3000)) << "nothing more acknowledged";
  client->MarkSendDone();
  EXPECT_EQ(0, client->UntakenSince(now + 4000)) << "the wait ended";
  client->MarkSendWait(false);
  EXPECT_EQ(now + 5000, client->UntakenSince(now + 5000)) << "a new wait is looked at afresh";
}

TEST(TCPServer, DestructionGivesUpOnAStuckWorkerWithoutFreeingItsClient) {
  static std::atomic<bool> release{false};
  static std::atomic<bool> executing{false};
  static std::atomic<bool> freed{false};
  release = false;
  executing = false;
  freed = false;
  // Ignores Terminate until released (a handler stuck in something slow).
  struct Stuck : TTCPServerClient {
    using TTCPServerClient::TTCPServerClient;
    ~Stuck() override { freed = true; }
    void Execute() override {
      const auto limit = Clock::now() + 20s;
      executing = true;
      while (!release && Clock::now() < limit) std::this_thread::sleep_for(5ms);
    }
  };
  std::vector<std::string> lines;
  {
    ServerFixture f(ClientClassOf<Stuck>());
    f.server->ShutdownWait = 300;
    f.server->OnLog = [&](ATCPServer&, const std::string& msg) { lines.push_back(msg); };
    f.Start();
    f.Connect();
    ASSERT_TRUE(PumpUntil([&] { return executing.load(); }));
    const auto start = Clock::now();
    f.server.reset();
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_FALSE(freed);
  }
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ("Client threads still running after 300 ms: 1; left to end on their own", lines.back());
  const int threads = RunningThreads();
  release = true;
  EXPECT_TRUE(PumpUntil([&] { return freed.load(); }));
  EXPECT_TRUE(PumpUntil([&] { return RunningThreads() < threads; }));
}

TEST(TCPServer, ManyConnectionsLeaveNoThreadsOrDescriptorsBehind) {
  const ResourceCount before;
  {
    ServerFixture f;
    f.Start();
    constexpr int kConnections = 1000;
    for (int i = 0; i < kConnections; ++i) {
      const int peer = test::ConnectLoopback(f.port);
      test::SendAll(peer, "quit\r\n");
      ::close(peer);
      ProcessThreadMessages();
    }
    // Finished workers are joined while the server runs, not only when it stops.
    ASSERT_TRUE(PumpUntil([&] { return f.removed == kConnections && f.server->WorkerCount() == 0; }, 60s))
        << f.removed << " removed, " << f.server->WorkerCount() << " workers left";
    EXPECT_EQ(0, f.server->ClientCount());
    EXPECT_TRUE(PumpUntil([&] { return RunningThreads() == before.threads; }));
  }
  EXPECT_EQ(before.descriptors, OpenDescriptors());
}

// Workers run on parked threads of the server's pool: one after the other,
// connections share a thread or two, each served as on a fresh one (also
// after a worker was terminated in the middle of a read); a stopped server
// keeps none of them.
TEST(TCPServer, WorkersReuseParkedThreadsUntilTheServerStops) {
  static std::mutex mutex;
  static std::set<std::thread::id> threads;
  threads.clear();
  struct Recording : EchoClient {
    using EchoClient::EchoClient;
    void Execute() override {
      {
        std::lock_guard lock(mutex);
        threads.insert(std::this_thread::get_id());
      }
      EchoClient::Execute();
    }
  };
  const ResourceCount before;
  {
    ServerFixture f(ClientClassOf<Recording>());
    f.Start();
    for (int i = 0; i < 20; ++i) {
      const int peer = f.Connect();
      test::SendAll(peer, "x" + std::to_string(i) + "\r\n");
      LineReader reader(peer);
      ASSERT_TRUE(PumpUntil([&] { return reader.done.load(); }));
      EXPECT_EQ("echo:x" + std::to_string(i), reader.Take());
      if (i % 2 == 0) {
        f.server->TerminateClients();
      } else {
        test::SendAll(peer, "quit\r\n");
      }
      ASSERT_TRUE(PumpUntil([&] { return f.removed == i + 1 && f.server->WorkerCount() == 0; }));
    }
    {
      std::lock_guard lock(mutex);
      EXPECT_LE(threads.size(), 4u);
    }
    f.server->SetActive(false);
    EXPECT_EQ(before.threads, RunningThreads());
  }
  EXPECT_EQ(before.descriptors, OpenDescriptors());
}

TEST(TCPServer, RunningOutOfDescriptorsNeitherHangsNorLeaks) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizer runtime checks pointers through a pipe, which fails without descriptors";
#endif
  const ResourceCount before;
  {
    ServerFixture f;
    f.server->SetMaxBacklog(16);
    f.Start();
    // Two connections served at once leave two pool threads, each with its
    // event queue, to serve connections without new descriptors.
    std::vector<int> warm{f.Connect(), f.Connect()};
    for (int peer : warm) test::SendAll(peer, "w\r\n");
    for (int peer : warm) {
      LineReader reader(peer);
      PumpUntil([&] { return reader.done.load(); });
      EXPECT_EQ("echo:w", reader.Take());
    }
    for (int peer : warm) test::SendAll(peer, "quit\r\n");
    ASSERT_TRUE(PumpUntil([&] { return f.server->ClientCount() == 0; }));
    std::vector<int> peers;
    for (int i = 0; i < 8; ++i) peers.push_back(f.Connect());
    // Nothing is accepted before the main queue is served. All eight wait,
    // and there is room for three accepted connections and none for another
    // thread's event queue (an epoll, an eventfd and a timerfd), whichever
    // way the accepts and the workers interleave: the first accept pass takes
    // three, two of which at most go to the waiting threads.
    const Deadline queued = Clock::now() + 10s;
    while (WaitingConnections(*f.server) < 8 && Clock::now() < queued) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(8, WaitingConnections(*f.server));
    rlimit old_limit{};
    ::getrlimit(RLIMIT_NOFILE, &old_limit);
    rlimit tight = old_limit;
    tight.rlim_cur = LimitLeaving(3);
    ::setrlimit(RLIMIT_NOFILE, &tight);
    // The peers send only once the shortage has hit: a worker that has
    // served its connection ends without waiting for the main thread, and
    // could otherwise park again in time for the third connection.
    EXPECT_TRUE(PumpUntil([&] {
      return std::any_of(f.lines.begin(), f.lines.end(), [](const std::string& line) {
        return line.rfind("1 Socket creation error: ", 0) == 0;
      });
    }));
    // Each connection is served or closed; none is left hanging.
    for (int peer : peers) test::SendAll(peer, "x\r\nquit\r\n");
    int settled = 0;
    for (int peer : peers) {
      LineReader reader(peer);
      PumpUntil([&] { return reader.done.load(); }, 20s);
      const std::string line = reader.Take();
      EXPECT_TRUE(line == "echo:x" || line.empty()) << line;
      settled += reader.done ? 1 : 0;
    }
    ::setrlimit(RLIMIT_NOFILE, &old_limit);
    EXPECT_EQ(8, settled);
    // A worker that finds no descriptor closes its connection before its
    // line reaches the log; the line comes before the worker's last step,
    // which leaves the list.
    ASSERT_TRUE(PumpUntil([&] { return f.server->ClientCount() == 0; }));
    EXPECT_TRUE(std::any_of(f.lines.begin(), f.lines.end(), [](const std::string& line) {
      return line.rfind("1 Socket creation error: ", 0) == 0;
    })) << "the shortage should hit some worker";
    // The server goes on serving once descriptors are there again.
    const int peer = f.Connect();
    test::SendAll(peer, "again\r\n");
    LineReader reader(peer);
    PumpUntil([&] { return reader.done.load(); });
    EXPECT_EQ("echo:again", reader.Take());
  }
  EXPECT_EQ(before.descriptors, OpenDescriptors());
}

TEST(TCPServer, StartServeAndStopFiftyTimesWithClientsMidRequest) {
  const ResourceCount before;
  for (int round = 0; round < 50; ++round) {
    ServerFixture f;
    f.Start();
    const int idle = f.Connect();
    const int partial = f.Connect();
    const int served = f.Connect();
    test::SendAll(partial, "GET / HT");
    test::SendAll(served, "ping\r\n");
    LineReader reader(served);
    ASSERT_TRUE(PumpUntil([&] { return f.activated == 3 && reader.done; }));
    EXPECT_EQ("echo:ping", reader.Take());
    // Half the rounds stop first, the other half go straight to destruction,
    // which reports no client events.
    const bool stop_first = round % 2 == 0;
    if (stop_first) {
      f.server->SetActive(false);
      EXPECT_EQ(0, f.server->ClientCount());
    }
    f.server.reset();
    EXPECT_EQ(stop_first ? 3 : 0, f.removed);
    EXPECT_TRUE(PeerSeesEnd(idle, 1000ms));
    EXPECT_TRUE(PeerSeesEnd(partial, 1000ms));
  }
  EXPECT_EQ(before.descriptors, OpenDescriptors());
  EXPECT_EQ(before.threads, RunningThreads());
}

// A burst of connections larger than one accept pass takes: every one is
// served, in passes of a bounded size (the listening socket reports again
// while connections wait), so a flood cannot hold the main thread.
TEST(TCPServer, ABurstOfConnectionsIsAcceptedInBoundedPassesAndEveryOneServed) {
  ServerFixture f;
  int passes = 0;
  f.server->OnBeforeAccept = [&](ATCPServer&) { ++passes; };
  f.server->SetMaxBacklog(512);
  f.Start();
  constexpr int kBurst = 150;
  for (int i = 0; i < kBurst; ++i) test::SendAll(f.Connect(), "quit\r\n");
  ASSERT_TRUE(PumpUntil([&] { return f.removed == kBurst && f.server->WorkerCount() == 0; }, 30s))
      << f.removed << " of " << kBurst << " served";
  EXPECT_GE(passes, 3);
  EXPECT_EQ(kBurst, f.activated);
}

// A worker reports its end without waiting for the main thread. A stop must
// complete the clients whose reports are still pending before it returns
// (deactivation with their events, destruction without), on the main
// thread, and a report taken afterwards must find nothing to act on.
TEST(TCPServer, AStopCompletesClientsWhoseEndIsStillPending) {
  static std::atomic<bool> release{false};
  static std::atomic<int> freed{0};
  static std::atomic<int> freed_elsewhere{0};
  struct Quick : TTCPServerClient {
    using TTCPServerClient::TTCPServerClient;
    ~Quick() override {
      ++freed;
      if (!IsMainThread()) ++freed_elsewhere;
    }
    void Execute() override {
      const auto limit = Clock::now() + 10s;
      while (!release && Clock::now() < limit) std::this_thread::sleep_for(1ms);
    }
  };
  constexpr int kClients = 6;
  for (const bool destroy : {false, true}) {
    SCOPED_TRACE(destroy ? "destruction" : "deactivation");
    release = false;
    freed = 0;
    freed_elsewhere = 0;
    ServerFixture f(ClientClassOf<Quick>());
    f.server->SetMaxBacklog(16);
    f.Start();
    for (int i = 0; i < kClients; ++i) f.Connect();
    ASSERT_TRUE(PumpUntil([&] { return f.activated == kClients; }));
    std::vector<const TTCPServerClientThread*> workers;
    for (int i = 0; i < kClients; ++i) workers.push_back(f.server->Client(i)->Thread());
    // Every worker ends; the main thread takes none of their reports yet.
    release = true;
    const auto all_ended = [&] {
      return std::all_of(workers.begin(), workers.end(), [](const auto* w) { return w->Finished(); });
    };
    const auto limit = Clock::now() + 10s;
    while (!all_ended() && Clock::now() < limit) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(all_ended());
    EXPECT_EQ(kClients, f.server->ClientCount());
    EXPECT_EQ(0, freed.load());
    if (destroy) {
      f.server.reset();
      EXPECT_EQ(0, f.removed) << "destruction fires no client event";
      EXPECT_EQ(std::count(f.events.begin(), f.events.end(), "inactive"), 0);
    } else {
      f.server->SetActive(false);
      EXPECT_EQ(kClients, f.removed);
      EXPECT_EQ("server inactive", f.events.back());
      EXPECT_EQ(0, f.server->ClientCount());
      EXPECT_EQ(0, f.server->WorkerCount());
    }
    EXPECT_EQ(kClients, freed.load());
    const std::vector<std::string> events = f.events;
    PumpFor(100ms);  // the reports, stale by now
    EXPECT_EQ(events, f.events);
    EXPECT_EQ(kClients, freed.load());
    EXPECT_EQ(0, freed_elsewhere.load()) << "clients are freed on the main thread";
  }
}

}  // namespace
}  // namespace vt
