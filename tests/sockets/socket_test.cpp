#include "sockets/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/ticks.h"
#include "socket_test_support.h"
#include "sockets/tcp_client_socket.h"
#include "sockets/tcp_server_socket.h"

namespace vt {
namespace {

using namespace std::chrono_literals;
using test::Clock;
using test::LoopbackPair;
using test::Pattern;
using test::PumpFor;
using test::PumpUntil;

TEST(Budget, AllowanceOnFixedTicks) {
  TBudgetWindow window{1000, 0};
  EXPECT_EQ(20, BudgetAllowance(window, 100, 1000, 1000)) << "a fresh window sends a 20 ms slice";
  BudgetAdd(window, 20);
  EXPECT_EQ(10, BudgetAllowance(window, 100, 1000, 1010));
  EXPECT_EQ(5, BudgetAllowance(window, 5, 1000, 1010)) << "never more than asked";
  EXPECT_EQ(0, BudgetAllowance(window, 100, 1000, 1000)) << "over budget gives 0, not less";
  EXPECT_EQ(0, BudgetAllowance(window, 100, 0, 1500));

  // A window older than a second is halved, length and bytes together, until
  // it is at most 50 ms long: 3000 ms / 3000 bytes -> 46 ms / 46 bytes.
  TBudgetWindow old{0, 3000};
  EXPECT_EQ(20, BudgetAllowance(old, 1000, 1000, 3000));
  EXPECT_EQ(2954u, old.StartTick);
  EXPECT_EQ(46, old.Bytes);

  TBudgetWindow wrapped{0xfffffff0u, 0};
  EXPECT_EQ(52, BudgetAllowance(wrapped, 1000, 1000, 0x10u)) << "32 ms across the tick wrap";

  TBudgetWindow fast{0, 0};
  EXPECT_EQ(20000000, BudgetAllowance(fast, 50000000, 1000000000, 0)) << "no 32-bit overflow at high rates";

  TBudgetWindow full{0, 0};
  BudgetAdd(full, 0x7fffffffLL);
  BudgetAdd(full, 10);
  EXPECT_EQ(0x7fffffff, full.Bytes);
}

// A sender that takes its whole allowance at every tick gets its rate, second
// by second, also across the cuts of the window (halving the byte count with
// the length dropped the unused part of the latest interval: 3% of every
// second at 50 ms ticks); old unused budget fades, up to 50 ms worth.
TEST(Budget, SenderThatKeepsUpGetsItsRateEverySecond) {
  const std::int32_t rate = 102400;
  for (std::uint32_t period : {10u, 23u, 50u}) {
    TBudgetWindow window{0, 0};
    std::int64_t per_second[10] = {};
    for (std::uint32_t now = 0; now < 10000; now += period) {
      const std::int32_t allowed = BudgetAllowance(window, 1 << 30, rate, now);
      BudgetAdd(window, allowed);
      per_second[now / 1000] += allowed;
    }
    for (int second = 1; second < 10; ++second)
      EXPECT_NEAR(rate, per_second[second], rate * (period + 2) / 1000.0)
          << period << " ms, second " << second;
    std::int64_t total = 0;
    for (std::int64_t bytes : per_second) total += bytes;
    EXPECT_NEAR(rate * 10.0, static_cast<double>(total), rate * 0.05) << period << " ms";
  }
  TBudgetWindow idle{0, 0};
  EXPECT_EQ(rate * 70 / 1000, BudgetAllowance(idle, 1 << 30, rate, 60000)) << "an hour idle: 50 ms + 20 ms";
}

TEST(ClientSocket, PeerThatSendsAndClosesIsReadToItsLastByte) {
  for (bool throttled : {false, true}) {
    SCOPED_TRACE(throttled ? "throttled" : "unthrottled");
    LoopbackPair pair;
    TTCPServerClientSocket socket(pair.TakeOurs());
    ASSERT_EQ(kSocketConnected, socket.State());
    if (throttled) socket.ApplyThrottling(true, 400000, false, 0);
    const std::string data = Pattern(throttled ? 100000 : 200000);
    std::thread peer([&] {
      test::SendAll(pair.peer, data);
      ::close(pair.peer);
      pair.peer = -1;
    });
    int closes = 0;
    std::int32_t available_at_close = -1;
    socket.OnClose = [&](ASocket&) {
      ++closes;
      available_at_close = socket.Available();
    };
    EXPECT_TRUE(PumpUntil(socket, [&] { return socket.State() == kSocketClosed; }));
    peer.join();
    EXPECT_EQ(1, closes);
    EXPECT_EQ(static_cast<std::int32_t>(data.size()), available_at_close);
    EXPECT_TRUE(socket.TakeAll() == data);
    EXPECT_EQ(0, socket.ErrorCode());
  }
}

// A peer that sends far more than is taken (a flood, or pipelining far
// ahead of a slow answer) is held back by its own window, not buffered
// without end; what it sent all arrives once it is taken, then the close.
TEST(ClientSocket, UnreadDataIsBoundedAndNothingIsLostOnceTaken) {
  LoopbackPair pair;
  TTCPServerClientSocket socket(pair.TakeOurs());
  const std::string data = Pattern(8 * 1024 * 1024, 3);
  std::thread peer([&] {
    test::SendAll(pair.peer, data);
    ::close(pair.peer);
    pair.peer = -1;
  });
  std::int32_t most_unread = 0;
  socket.OnDataAvailable = [&](ASocket&) { most_unread = std::max(most_unread, socket.Available()); };
  PumpFor(socket, 1s);
  EXPECT_GT(most_unread, 0);
  EXPECT_LE(most_unread, 512 * 1024) << "unread data is held in the system's queue, not ours";
  EXPECT_NE(kSocketClosed, socket.State()) << "the close waits behind the data";

  std::string received;
  socket.OnDataAvailable = [&](ASocket&) {
    while (socket.Available() > 0) received += socket.ReadText(socket.Available());
  };
  received += socket.TakeAll();
  EXPECT_TRUE(PumpUntil(
      socket, [&] { return socket.State() == kSocketClosed; }, 20s));
  received += socket.TakeAll();
  peer.join();
  EXPECT_EQ(data.size(), received.size());
  EXPECT_TRUE(received == data);
}

TEST(ClientSocket, BufferReadsSearchesAndPeeks) {
  LoopbackPair pair;
  TTCPServerClientSocket socket(pair.TakeOurs());
  test::SendAll(pair.peer, "GET / HTTP/1.1\r\nHost: x\r\n\r\nrest");
  EXPECT_TRUE(PumpUntil(socket, [&] { return socket.Available() == 31; }));
  EXPECT_EQ(14, socket.FindText("\r\n"));
  EXPECT_EQ(23, socket.FindText("\r\n\r\n"));
  EXPECT_EQ(-1, socket.FindText("\n\n"));
  EXPECT_EQ(16, socket.FindText("host", false));
  EXPECT_EQ(-1, socket.FindText("host", true));
  EXPECT_EQ(3, socket.FindByte(' '));
  EXPECT_EQ(1, socket.FindByte('G', true));
  EXPECT_EQ(3, socket.FindByteInSet(ByteSet::Whitespace()));
  EXPECT_TRUE(socket.MatchText("get /", false));
  EXPECT_FALSE(socket.MatchText("get /", true));
  EXPECT_FALSE(socket.MatchText(""));
  EXPECT_EQ("GET", socket.PeekText(3));
  EXPECT_EQ(31, socket.Available()) << "searching and peeking consume nothing";

  EXPECT_EQ("GET", socket.ReadText(3));
  EXPECT_EQ(3, socket.Consume(3));
  char line[8];
  EXPECT_EQ(8, socket.Read(line, 8));
  EXPECT_EQ("HTTP/1.1", std::string(line, 8));
  EXPECT_EQ("\r\nHost: x\r\n\r\nrest", socket.ReadText(1000)) << "only what is buffered";
  EXPECT_EQ("", socket.ReadText(10));

  // Reads that go past the buffer take the rest straight from the socket.
  test::SendAll(pair.peer, "abcdef");
  char direct[6] = {};
  const auto deadline = Clock::now() + 5s;
  std::int32_t got = 0;
  while (got < 6 && Clock::now() < deadline) got += socket.Read(direct + got, 6 - got);
  EXPECT_EQ("abcdef", std::string(direct, 6));
}

TEST(ClientSocket, LargeTransferThroughTheBufferKeepsOrderAndMemoryBounded) {
  LoopbackPair pair;
  TTCPServerClientSocket socket(pair.TakeOurs());
  const std::string data = Pattern(3 * 1024 * 1024, 7);
  std::thread peer([&] { test::SendAll(pair.peer, data); });
  std::string received;
  socket.OnDataAvailable = [&](ASocket&) {
    // Consume in odd pieces so that the buffer is compacted along the way.
    while (socket.Available() >= 1000) received += socket.ReadText(999);
  };
  EXPECT_TRUE(PumpUntil(socket, [&] { return received.size() + socket.Available() >= data.size(); }));
  received += socket.TakeAll();
  peer.join();
  EXPECT_TRUE(received == data);
}

// Fills the peer's receive window and our send buffer so that writes queue.
struct QueuedWriter {
  LoopbackPair pair;
  TTCPServerClientSocket socket{pair.TakeOurs()};
  std::string written;
  int empties = 0;
  int closes = 0;

  QueuedWriter() {
    // A small send buffer; the peer does not read until the test says so.
    const int small = 4096;
    ::setsockopt(socket.SocketHandle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    socket.OnSendBufferEmpty = [this](ASocket&) { ++empties; };
    socket.OnClose = [this](ASocket&) { ++closes; };
    PumpUntil(socket, [this] { return socket.Writable(); });
    // 2048-byte blocks, as the response body copy writes them.
    for (std::size_t block = 0; block < 400; ++block) {
      const std::string piece = Pattern(2048, block * 2048);
      EXPECT_EQ(2048, socket.WriteText(piece));
      written += piece;
    }
  }
};

TEST(ClientSocket, QueuedWritesLeaveInOrderThenTheQueueReportsEmpty) {
  QueuedWriter writer;
  EXPECT_FALSE(writer.socket.IsSendComplete()) << "the peer is not reading: data must be queued";
  std::string received;
  std::thread reader([&] {
    char buffer[65536];
    while (received.size() < writer.written.size()) {
      const ssize_t got = ::recv(writer.pair.peer, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      received.append(buffer, static_cast<std::size_t>(got));
    }
  });
  EXPECT_TRUE(PumpUntil(writer.socket, [&] { return writer.empties > 0; }));
  reader.join();
  EXPECT_EQ(1, writer.empties);
  EXPECT_TRUE(writer.socket.IsSendComplete());
  EXPECT_TRUE(received == writer.written);
}

TEST(ClientSocket, GracefulShutdownClosesAfterTheQueueHasDrained) {
  QueuedWriter writer;
  writer.socket.Shutdown(true);
  EXPECT_EQ(kSocketConnected, writer.socket.State()) << "queued data holds the close back";
  std::string received;
  std::thread reader([&] { received = test::ReceiveAll(writer.pair.peer); });
  EXPECT_TRUE(PumpUntil(writer.socket, [&] { return writer.socket.State() == kSocketClosed; }));
  reader.join();
  EXPECT_EQ(1, writer.closes);
  EXPECT_EQ(0, writer.empties) << "a graceful close replaces the empty-queue event";
  EXPECT_TRUE(received == writer.written) << "every queued byte arrives before the end of the stream";
}

TEST(ClientSocket, PeerThatEndsItsSideStillGetsTheQueueAndLaterWrites) {
  QueuedWriter writer;
  TTCPServerClientSocket& socket = writer.socket;
  // A last request, then the end of the peer's side (as "nc -N" sends).
  test::SendAll(writer.pair.peer, "last");
  ::shutdown(writer.pair.peer, SHUT_WR);
  EXPECT_TRUE(PumpUntil(socket, [&] { return socket.ReceiveEnded(); }));
  EXPECT_EQ(kSocketConnected, socket.State()) << "the queue holds the close back";
  EXPECT_EQ(0, writer.closes);
  EXPECT_EQ("last", socket.TakeAll());
  const std::string more = Pattern(100000, 99);
  EXPECT_EQ(100000, socket.WriteText(more));
  writer.written += more;
  std::string received;
  std::thread reader([&] { received = test::ReceiveAll(writer.pair.peer); });
  EXPECT_TRUE(PumpUntil(socket, [&] { return socket.IsSendComplete(); }));
  EXPECT_EQ(kSocketConnected, socket.State()) << "the owner decides when it has written everything";
  socket.Shutdown(true);
  EXPECT_EQ(kSocketClosed, socket.State());
  reader.join();
  EXPECT_EQ(1, writer.closes);
  EXPECT_EQ(0, socket.ErrorCode());
  EXPECT_TRUE(received == writer.written);
}

TEST(ClientSocket, PeerThatLeavesAfterEndingItsSideClosesTheSocketWithAnError) {
  QueuedWriter writer;
  TTCPServerClientSocket& socket = writer.socket;
  ::shutdown(writer.pair.peer, SHUT_WR);
  EXPECT_TRUE(PumpUntil(socket, [&] { return socket.ReceiveEnded(); }));
  EXPECT_EQ(kSocketConnected, socket.State());
  // Closing with our bytes unread makes the peer's system reset the
  // connection; the queue can never drain.
  ::close(writer.pair.peer);
  writer.pair.peer = -1;
  EXPECT_TRUE(PumpUntil(
      socket, [&] { return socket.State() == kSocketClosed; }, 5s));
  EXPECT_EQ(1, writer.closes);
  EXPECT_NE(0, socket.ErrorCode());
  EXPECT_FALSE(socket.IsSendComplete()) << "what was queued did not go out";
}

TEST(ClientSocket, ImmediateShutdownAndWritingWhenClosed) {
  LoopbackPair pair;
  TTCPServerClientSocket socket(pair.TakeOurs());
  std::vector<std::pair<int, int>> states;
  socket.OnStateChange = [&](ASocket&, std::uint8_t from, std::uint8_t to) { states.emplace_back(from, to); };
  socket.Shutdown(false);
  EXPECT_EQ(kSocketClosed, socket.State());
  EXPECT_EQ(kInvalidSocket, socket.SocketHandle());
  EXPECT_EQ((std::vector<std::pair<int, int>>{{kSocketConnected, kSocketClosed}}), states);
  try {
    socket.WriteText("late");
    FAIL();
  } catch (const EWinSock& e) {
    EXPECT_EQ("Socket not connected", e.Message());
    EXPECT_EQ(kErrorNotConnected, e.ErrorCode());
  }
  EXPECT_EQ(0, socket.WriteText(""));
  EXPECT_EQ("", test::ReceiveAll(pair.peer, 2s));
}

TEST(ClientSocket, DeadHandleLeavesTheSocketClosed) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ::close(fd);
  TTCPServerClientSocket socket(fd);
  EXPECT_EQ(kSocketClosed, socket.State());
  EXPECT_EQ(0, socket.Available());
}

TEST(ClientSocket, PeerAddressAndHostName) {
  LoopbackPair pair;
  TTCPServerClientSocket socket(pair.TakeOurs());
  EXPECT_EQ("127.0.0.1", socket.GetPeerAddressText());
  const std::string name = socket.GetPeerHostName();
  EXPECT_FALSE(name.empty());
  EXPECT_EQ(name, socket.GetPeerHostName());
  socket.CloseNow();
  EXPECT_THROW(socket.GetPeerAddress(), EWinSock);
  EXPECT_EQ(name, socket.GetPeerHostName()) << "cached for the life of the socket";
}

TEST(ClientSocket, ThrottledWriteKeepsItsRate) {
  LoopbackPair pair;
  TTCPServerClientSocket socket(pair.TakeOurs());
  socket.ApplyThrottling(false, 0, true, 50000);
  PumpUntil(socket, [&] { return socket.Writable(); });
  const std::string data = Pattern(150000);
  std::atomic<bool> done{false};
  std::string received;
  Clock::time_point first{}, last{};
  std::thread reader([&] {
    char buffer[65536];
    while (received.size() < data.size()) {
      const ssize_t got = ::recv(pair.peer, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      if (received.empty()) first = Clock::now();
      received.append(buffer, static_cast<std::size_t>(got));
    }
    last = Clock::now();
    done = true;
  });
  const double cpu_before = test::ThreadCpuMs();
  const auto start = Clock::now();
  for (std::size_t offset = 0; offset < data.size(); offset += 2048)
    socket.WriteText(data.substr(offset, 2048));
  EXPECT_TRUE(PumpUntil(
      socket, [&] { return done.load(); }, 20s));
  const double cpu_ms = test::ThreadCpuMs() - cpu_before;
  reader.join();
  ASSERT_TRUE(received == data);
  const double seconds = std::chrono::duration<double>(last - start).count();
  const double rate = static_cast<double>(data.size()) / seconds;
  EXPECT_NEAR(50000.0, rate, 5000.0) << "measured over " << seconds << " s";
  EXPECT_LT(cpu_ms, 0.05 * seconds * 1000.0) << "throttling must wait, not spin";
  (void)first;
}

TEST(ClientSocket, ThrottledReaderTakesNothingAndSpinsNot) {
  LoopbackPair pair;
  TTCPServerClientSocket socket(pair.TakeOurs());
  socket.ApplyThrottling(true, 0, false, 0);
  test::SendAll(pair.peer, Pattern(20000));
  const double cpu_before = test::ThreadCpuMs();
  PumpFor(socket, 500ms);
  EXPECT_LT(test::ThreadCpuMs() - cpu_before, 50.0);
  EXPECT_EQ(0, socket.Available()) << "a zero budget reads nothing";

  // Switching it off reads the held-back data without waiting for the peer.
  socket.SetThrottleRead(false);
  EXPECT_TRUE(PumpUntil(
      socket, [&] { return socket.Available() == 20000; }, 5s));
}

TEST(ClientSocket, SwitchingWriteThrottlingOffSendsTheHeldBackQueue) {
  LoopbackPair pair;
  TTCPServerClientSocket socket(pair.TakeOurs());
  socket.ApplyThrottling(false, 0, true, 0);
  PumpUntil(socket, [&] { return socket.Writable(); });
  const std::string data = Pattern(10000);
  socket.WriteText(data);
  PumpFor(socket, 200ms);
  EXPECT_FALSE(socket.IsSendComplete()) << "a zero rate sends nothing";
  EXPECT_EQ(kSocketConnected, socket.State());
  socket.SetThrottleWrite(false);
  int empties = 0;
  socket.OnSendBufferEmpty = [&](ASocket&) { ++empties; };
  EXPECT_TRUE(PumpUntil(
      socket, [&] { return empties == 1; }, 5s));
  socket.Shutdown(true);
  EXPECT_TRUE(test::ReceiveAll(pair.peer) == data);
}

TEST(ClientSocket, SilentConnectionCostsNoProcessorTime) {
  LoopbackPair pair;
  TTCPServerClientSocket socket(pair.TakeOurs());
  PumpFor(socket, 50ms);  // the first FD_WRITE
  // A notification left over from another handle is ignored.
  PostMessage(socket.Handle(), kSocketMessage, socket.SocketHandle() + 1000, FD_CLOSE);
  const double cpu_before = test::ThreadCpuMs();
  PumpFor(socket, 500ms);
  EXPECT_LT(test::ThreadCpuMs() - cpu_before, 20.0);
  EXPECT_EQ(kSocketConnected, socket.State());
}

TEST(ClientSocket, TerminateFromAnotherThreadEndsTheOwnersWait) {
  LoopbackPair pair;
  std::atomic<ATCPClientSocket*> shared{nullptr};
  std::atomic<bool> ended{false};
  const int ours = pair.TakeOurs();
  std::thread owner([&] {
    TTCPServerClientSocket socket(ours);
    shared = &socket;
    while (socket.HandleMessage()) {
    }
    ended = true;
    // The owner closes; until then the handle stayed valid for it.
    EXPECT_NE(kInvalidSocket, socket.SocketHandle());
    while (shared.load() != nullptr) std::this_thread::yield();
  });
  while (shared.load() == nullptr) std::this_thread::yield();
  ATCPClientSocket* socket = shared.load();
  socket->Terminate();
  PostMessage(socket->Handle(), kQuitMessage, 0, 0);
  const auto deadline = Clock::now() + 5s;
  while (!ended && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(ended);
  EXPECT_TRUE(socket->Terminated());
  shared = nullptr;
  owner.join();
  EXPECT_EQ("", test::ReceiveAll(pair.peer, 2s)) << "the connection was shut down";
}

TEST(ServerSocket, AcceptsWaitingConnections) {
  TTCPServerSocket server;
  server.SetLocalHost("127.0.0.1");
  int listens = 0;
  server.OnListen = [&](ASocket&) { ++listens; };
  server.Listen();
  EXPECT_EQ(1, listens);
  EXPECT_EQ(kSocketListening, server.State());
  const std::string port = server.LocalPort();
  ASSERT_NE("0", port);

  sockaddr_in address{};
  address.sin_port = 99;
  EXPECT_EQ(kInvalidSocket, server.Accept(address)) << "nothing waits";
  EXPECT_EQ(0, address.sin_port);

  std::vector<int> clients;
  for (int i = 0; i < 3; ++i)
    clients.push_back(test::ConnectLoopback(static_cast<std::uint16_t>(std::stoi(port))));
  std::vector<TSocket> accepted;
  server.OnAccept = [&](ASocket&) {
    sockaddr_in peer{};
    for (TSocket s; (s = server.Accept(peer)) != kInvalidSocket;) {
      EXPECT_EQ(htonl(INADDR_LOOPBACK), peer.sin_addr.s_addr);
      accepted.push_back(s);
    }
  };
  EXPECT_TRUE(PumpUntil(server, [&] { return accepted.size() == 3; }));
  for (TSocket s : accepted) {
    // Set once on the listening socket, which every connection inherits: a
    // body written after its header must not wait for an acknowledgement.
    int nodelay = 0;
    socklen_t size = sizeof nodelay;
    ASSERT_EQ(0, ::getsockopt(s, IPPROTO_TCP, TCP_NODELAY, &nodelay, &size));
    EXPECT_NE(0, nodelay);
    EXPECT_NE(0, ::fcntl(s, F_GETFL) & O_NONBLOCK);
  }
  for (TSocket s : accepted) ::close(s);
  for (int c : clients) ::close(c);

  server.StopListening();
  EXPECT_EQ(kSocketClosed, server.State());
  try {
    server.Accept(address);
    FAIL();
  } catch (const EWinSock& e) {
    EXPECT_EQ("Socket closed", e.Message());
    EXPECT_EQ(-1, e.ErrorCode());
  }
}

TEST(ServerSocket, BindFailureAndClosedSocketRules) {
  TTCPServerSocket first;
  first.SetLocalHost("127.0.0.1");
  first.Listen();
  const std::string port = first.LocalPort();

  TTCPServerSocket second;
  second.SetLocalHost("127.0.0.1");
  second.SetListenPort(port);
  int errors = 0;
  second.OnError = [&](ASocket&) { ++errors; };
  try {
    second.Listen();
    FAIL();
  } catch (const EWinSock& e) {
    EXPECT_EQ("Socket bind failed: Address in use", e.Message());
    EXPECT_EQ(10048, e.ErrorCode());
  }
  EXPECT_EQ(1, errors);
  EXPECT_EQ(10048, second.ErrorCode());
  EXPECT_EQ(kSocketClosed, second.State());

  first.SetMaxBacklog(4);  // unchanged values never raise
  first.SetLocalHost("127.0.0.1");
  const auto expect_closed_error = [](const std::function<void()>& change, const std::string& operation) {
    try {
      change();
      ADD_FAILURE() << operation;
    } catch (const EWinSock& e) {
      EXPECT_EQ("Operation only allowed on closed socket: " + operation, e.Message());
      EXPECT_EQ(kErrorNotClosed, e.ErrorCode());
    }
  };
  expect_closed_error([&] { first.SetLocalPort("1"); }, "SetLocalPort");
  expect_closed_error([&] { first.SetListenPort("1"); }, "SetListenPort");
  expect_closed_error([&] { first.SetMaxBacklog(16); }, "SetMaxBacklog");
  expect_closed_error([&] { first.Listen(); }, "Listen");
  try {
    first.SetSocketHandle(0);
    FAIL();
  } catch (const EWinSock& e) {
    EXPECT_EQ("Socket handle can not be set on open socket", e.Message());
    EXPECT_EQ(kErrorHandleOnOpen, e.ErrorCode());
  }

  TTCPServerSocket unknown;
  unknown.SetListenPort("no-such-service");
  EXPECT_THROW(unknown.Listen(), EWinSock) << "an unknown service must not bind any free port";

  TTCPServerSocket nowhere;
  nowhere.SetLocalHost("no-such-host.invalid");
  EXPECT_THROW(nowhere.Listen(), EWinSock) << "an unknown host must not bind every address";
  EXPECT_EQ(kSocketClosed, nowhere.State());
}

// Where a listening socket listens decides who gets in: every address is
// IPv6 and IPv4 on one socket, whose IPv4 peers still look like IPv4 peers;
// one address takes its own family only. Clients on loopback addresses only.
TEST(ServerSocket, ListensWhereToldWithBothFamilies) {
  if (const std::string why = test::NoIPv6Loopback(); !why.empty()) GTEST_SKIP() << why;
  const struct {
    const char* local_host;
    const char* client;
    bool reaches;
    const char* peer;  // the peer's text; its IPv4 view is that address for IPv4 peers, zeros otherwise
  } cases[] = {
      {"", "127.0.0.1", true, "127.0.0.1"},
      {"", "127.0.0.2", true, "127.0.0.2"},
      {"", "::1", true, "::1"},
      {"127.0.0.1", "127.0.0.1", true, "127.0.0.1"},
      {"127.0.0.1", "::1", false, ""},
      {"127.0.0.1", "127.0.0.2", false, ""},
      {"::1", "::1", true, "::1"},
      {"[::1]", "::1", true, "::1"},
      {"::1", "127.0.0.1", false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.local_host) + " <- " + c.client);
    TTCPServerSocket server;
    server.SetLocalHost(c.local_host);
    server.Listen();
    const TSocketAddress bound = server.GetLocalAddress();
    EXPECT_EQ(*c.local_host == 0, bound.IsWildcard());
    const int client = test::ConnectTo(c.client, bound.Port());
    EXPECT_EQ(c.reaches, client >= 0);
    if (client < 0) continue;
    TSocketAddress peer;
    TSocket accepted = kInvalidSocket;
    server.OnAccept = [&](ASocket&) { accepted = server.Accept(peer); };
    ASSERT_TRUE(PumpUntil(server, [&] { return accepted != kInvalidSocket; }));
    EXPECT_EQ(c.peer, peer.HostText());
    EXPECT_NE(0, peer.Port());
    const sockaddr_in view = peer.IPv4View();
    if (peer.IsIPv4()) {
      EXPECT_EQ(c.peer, AddressToText(view.sin_addr.s_addr));
    } else {
      EXPECT_EQ(0, view.sin_family);
    }
    TTCPServerClientSocket connection(accepted);
    EXPECT_EQ(c.peer, connection.GetPeerAddressText());
    EXPECT_EQ(peer.IsIPv4() ? view.sin_addr.s_addr : kInAddrNone, connection.GetPeerAddress());
    EXPECT_FALSE(connection.GetPeerHostName().empty());
    ::close(client);
  }
}

}  // namespace
}  // namespace vt
