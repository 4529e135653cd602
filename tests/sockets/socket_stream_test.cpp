#include "sockets/socket_stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "socket_test_support.h"

namespace vt {
namespace {

using namespace std::chrono_literals;
using test::Clock;
using test::LoopbackPair;

// A connection whose near end is read through a blocking stream.
struct StreamFixture {
  explicit StreamFixture(std::uint32_t timeOut = 0)
      : socket(pair.TakeOurs()), stream(&socket, swmHandleMessage, timeOut, false) {}
  void PeerSends(const std::string& data) { test::SendAll(pair.peer, data); }
  void PeerCloses() {
    ::close(pair.peer);
    pair.peer = -1;
  }

  LoopbackPair pair;
  TTCPServerClientSocket socket;
  TSocketStream stream;
};

// A connection fresh from accept, taken over the way a server's worker
// does: what has arrived is read at once, an answer leaves without waiting,
// and the socket is watched only from its first wait, which still sees all
// that happened before it (more data, the peer's end, a stop from another
// thread) at once rather than after the time-out.
TEST(SocketStream, AFreshConnectionReadFirstAndWatchedAtItsFirstWait) {
  enum class Before { kNothing, kLine };    // what the peer sent before the takeover
  enum class After { kLine, kEnd, kQuit };  // what comes before the first wait
  struct Case {
    const char* name;
    Before before;
    After after;
  };
  const std::vector<Case> cases{
      {"request there, next one later", Before::kLine, After::kLine},
      {"request there, then the peer's end", Before::kLine, After::kEnd},
      {"request there, then stopped", Before::kLine, After::kQuit},
      {"nothing yet, request later", Before::kNothing, After::kLine},
      {"nothing yet, then the peer's end", Before::kNothing, After::kEnd},
      {"nothing yet, then stopped", Before::kNothing, After::kQuit},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackPair pair;
    if (c.before == Before::kLine) {
      test::SendAll(pair.peer, "first\r\n");
      pollfd arrived{pair.ours, POLLIN, 0};  // as with a handshake
      ASSERT_EQ(1, ::poll(&arrived, 1, 5000));
    }
    const int ours = pair.TakeOurs();
    ASSERT_EQ(0, ::fcntl(ours, F_SETFL, ::fcntl(ours, F_GETFL) | O_NONBLOCK));
    TTCPServerClientSocket socket;
    socket.InitWithAcceptedHandle(ours, true);
    TSocketStream stream(&socket, swmHandleMessage, 5000, false);
    if (c.before == Before::kLine) {
      EXPECT_EQ(7, socket.Available()) << "read before any wait";
      EXPECT_EQ("first", stream.GetReader()->ReadLine(100, false));
    }
    // The answer leaves at once, with nothing pumped on this side.
    stream.GetWriter()->WriteText("answer\n");
    pollfd peer{pair.peer, POLLIN, 0};
    ASSERT_EQ(1, ::poll(&peer, 1, 2000)) << "the answer waited for a notification";
    char got[16];
    EXPECT_EQ(7, ::recv(pair.peer, got, sizeof got, 0));

    const HWindow window = socket.Handle();
    ASSERT_NE(0u, window) << "a stop from another thread needs the window";
    switch (c.after) {
      case After::kLine:
        test::SendAll(pair.peer, "second\r\n");
        break;
      case After::kEnd:
        ::shutdown(pair.peer, SHUT_WR);
        break;
      case After::kQuit:
        PostMessage(window, kQuitMessage, 0, 0);
        break;
    }
    const auto start = Clock::now();
    if (c.after == After::kLine) {
      EXPECT_EQ("second", stream.GetReader()->ReadLine(100, false));
    } else {
      EXPECT_THROW(stream.GetReader()->ReadLine(100, false), EReader);
      EXPECT_TRUE(stream.AtEnd());
    }
    EXPECT_LT(Clock::now() - start, 2s);
  }
}

TEST(SocketStream, ShortDataThenCloseFailsCountedTextButNotRead) {
  {
    StreamFixture f;
    f.PeerSends("abc");
    f.PeerCloses();
    try {
      f.stream.GetReader()->ReadText(5);
      FAIL();
    } catch (const EReader& e) {
      EXPECT_EQ("Read error", e.Message());
    }
    EXPECT_EQ(0, f.stream.GetPosition());
  }
  {
    StreamFixture f;
    f.PeerSends("abc");
    f.PeerCloses();
    char buffer[5];
    EXPECT_EQ(3, f.stream.Read(buffer, 5));
    EXPECT_EQ("abc", std::string(buffer, 3));
    EXPECT_EQ(3, f.stream.GetPosition());
    EXPECT_TRUE(f.stream.AtEnd());
    EXPECT_EQ(0, f.stream.Read(buffer, 5));
  }
}

TEST(SocketStream, TimeOutEndsAWaitOnASilentPeer) {
  StreamFixture f(300);
  const double cpu_before = test::ThreadCpuMs();
  const auto start = Clock::now();
  EXPECT_THROW(f.stream.GetReader()->ReadText(1), EReader);
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, 250ms);
  EXPECT_LE(waited, 2000ms);
  EXPECT_LT(test::ThreadCpuMs() - cpu_before, 50.0) << "the wait must sleep";
  EXPECT_FALSE(f.stream.AtEnd()) << "a time-out is not the end of the connection";
}

TEST(SocketStream, QuitFromAnotherThreadEndsAnUnlimitedWaitAtOnce) {
  StreamFixture f(0);
  f.socket.GetHandle();
  const HWindow window = f.socket.Handle();
  std::thread quitter([window] {
    std::this_thread::sleep_for(100ms);
    PostMessage(window, kQuitMessage, 0, 0);
  });
  const auto start = Clock::now();
  EXPECT_THROW(f.stream.GetReader()->ReadText(10), EReader);
  quitter.join();
  EXPECT_LT(Clock::now() - start, 5s);
  EXPECT_TRUE(f.stream.AtEnd()) << "a reader whose window got the quit message is at its end";
  EXPECT_FALSE(f.stream.IsOpen());
}

TEST(SocketStream, LineReaderConsumesExactlyTheTerminator) {
  StreamFixture f(5000);
  std::thread peer([&] {
    // In pieces, so that the reader has to wait inside lines and terminators.
    for (const char* piece : {"GET / HT", "TP/1.1\r", "\nHost: a\r\n", "\r\nbody"}) {
      f.PeerSends(piece);
      std::this_thread::sleep_for(20ms);
    }
  });
  AReaderEx& reader = *f.stream.GetReader();
  EXPECT_EQ("GET / HTTP/1.1", reader.ReadLine(4096, false));
  EXPECT_EQ(16, reader.GetPosition());
  EXPECT_EQ("Host: a", reader.ReadLine(-1, true));
  EXPECT_EQ("", reader.ReadLine(-1, true));
  EXPECT_EQ(27, reader.GetPosition());
  EXPECT_EQ('b', reader.PeekByte());
  EXPECT_EQ('b', reader.ReadByte());
  EXPECT_EQ("ody", reader.ReadText(3));
  peer.join();
}

TEST(SocketStream, BoundedSearchGivesUpWithoutWaitingForMore) {
  StreamFixture f(0);
  f.PeerSends("0123456789abcdefghij");
  AReaderEx& reader = *f.stream.GetReader();
  EXPECT_TRUE(f.stream.WaitForData(20));
  const auto start = Clock::now();
  EXPECT_EQ(-1, reader.FindText("\r\n", 10, true));
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_EQ(3, reader.FindByte('3', false, 10));
  EXPECT_EQ(0, reader.GetPosition()) << "searching consumes nothing";

  // Unbounded, the search waits for the bytes that complete the pattern.
  std::thread peer([&] {
    std::this_thread::sleep_for(50ms);
    f.PeerSends("\r");
    std::this_thread::sleep_for(50ms);
    f.PeerSends("\nrest");
  });
  EXPECT_EQ(20, reader.FindText("\r\n", -1, true));
  EXPECT_EQ(-1, reader.FindText("", -1, true));
  peer.join();
  EXPECT_TRUE(reader.MatchText("0123", true));
}

TEST(SocketStream, PositionsOfReaderAndWriter) {
  StreamFixture f(5000);
  f.PeerSends("0123456789");
  AReaderEx& reader = *f.stream.GetReader();
  reader.SetPosition(0);
  reader.SetPosition(4);
  EXPECT_EQ("45", reader.ReadText(2));
  try {
    reader.SetPosition(1);
    FAIL();
  } catch (const EReader& e) {
    EXPECT_EQ("Seeking not supported", e.Message());
  }
  EXPECT_EQ(-1, f.stream.GetSize());
  EXPECT_THROW(f.stream.SetSize(0), ESocketStream);

  AWriterEx& writer = *f.stream.GetWriter();
  writer.WriteText("hello ");
  EXPECT_EQ(5, writer.Write("world", 5));
  EXPECT_EQ(11, writer.GetPosition());
  writer.SetPosition(11);
  try {
    writer.SetPosition(0);
    FAIL();
  } catch (const EWriter& e) {
    EXPECT_EQ("SetPosition failed", e.Message());
  }
  EXPECT_THROW(writer.Truncate(), EWriter);
  EXPECT_TRUE(f.stream.WaitSendComplete());
  f.stream.Close();
  EXPECT_EQ(kSocketClosed, f.socket.State());
  EXPECT_EQ("hello world", test::ReceiveAll(f.pair.peer));
  EXPECT_THROW(writer.WriteText("late"), EWinSock);
}

TEST(SocketStream, CloseSendsALargeQueueBeforeTheEndOfTheStream) {
  StreamFixture f(10000);
  const std::string body = test::Pattern(2 * 1024 * 1024, 3);
  std::string received;
  std::thread peer([&] { received = test::ReceiveAll(f.pair.peer); });
  // Nothing has been dispatched yet, so the socket is not known writable and
  // every block is queued; Close must send them all before the end.
  for (std::size_t offset = 0; offset < body.size(); offset += 2048)
    f.stream.GetWriter()->WriteText(body.substr(offset, 2048));
  f.stream.Close();
  EXPECT_EQ(kSocketClosed, f.socket.State());
  peer.join();
  EXPECT_TRUE(received == body);
}

TEST(SocketStream, PeerThatEndsItsSideEndsTheReadsButNotTheAnswer) {
  StreamFixture f(10000);
  const int small = 4096;
  ::setsockopt(f.socket.SocketHandle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  const std::string body = test::Pattern(4 * 1024 * 1024, 5);
  for (std::size_t offset = 0; offset < body.size(); offset += 2048)
    f.stream.GetWriter()->WriteText(body.substr(offset, 2048));
  f.PeerSends("request");
  ::shutdown(f.pair.peer, SHUT_WR);
  AReaderEx& reader = *f.stream.GetReader();
  EXPECT_EQ("request", reader.ReadText(7));
  const auto start = Clock::now();
  char c;
  EXPECT_EQ(0, reader.Read(&c, 1));
  EXPECT_THROW(reader.ReadByte(), EReader);
  EXPECT_LT(Clock::now() - start, 5s) << "the peer's end ends the wait, not the time-out";
  EXPECT_TRUE(f.stream.AtEnd());
  EXPECT_TRUE(f.stream.IsOpen()) << "still sending";
  std::string received;
  std::thread peer([&] { received = test::ReceiveAll(f.pair.peer); });
  EXPECT_TRUE(f.stream.WaitSendComplete());
  f.stream.Close();
  EXPECT_EQ(kSocketClosed, f.socket.State());
  peer.join();
  EXPECT_TRUE(received == body);
}

TEST(SocketStream, APeerThatStopsReadingCannotHoldTheSenderForEver) {
  StreamFixture f(300);
  const int small = 4096;
  ::setsockopt(f.socket.SocketHandle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  const std::string block = test::Pattern(65536);
  for (int i = 0; i < 256; ++i) f.stream.GetWriter()->WriteText(block);  // 16 MB, more than the kernel holds
  const auto start = Clock::now();
  EXPECT_FALSE(f.stream.WaitSendComplete());
  f.stream.Close();
  const auto waited = Clock::now() - start;
  EXPECT_EQ(kSocketClosed, f.socket.State());
  EXPECT_GE(waited, 500ms) << "each wait allows the time-out without progress";
  EXPECT_LT(waited, 5s);
}

}  // namespace
}  // namespace vt
