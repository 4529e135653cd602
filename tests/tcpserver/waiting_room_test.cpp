#include "tcpserver/waiting_room.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/synchronize.h"
#include "socket_test_support.h"

namespace vt {
namespace {

using namespace std::chrono_literals;

// "abca": connections from 127.0.0.(2 + letter), oldest first.
std::vector<TSocketAddress> Held(const std::string& letters) {
  std::vector<TSocketAddress> held;
  for (const char letter : letters) {
    TSocketAddress address;
    EXPECT_TRUE(ParseSocketAddress("127.0.0." + std::to_string(2 + letter - 'a'), 1000, address));
    held.push_back(address);
  }
  return held;
}

// A blocking client of 127.0.0.1:port from the loopback address `source`.
int ConnectFrom(const std::string& source, std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  ::inet_pton(AF_INET, source.c_str(), &address.sin_addr);
  EXPECT_EQ(0, ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address)) << source;
  address.sin_port = htons(port);
  ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  EXPECT_EQ(0, ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address)) << source;
  return fd;
}

// Whether the room takes one more, and which one goes when it holds one
// too many: the newest of the address holding the most.
TEST(WaitingRoom, TakesWhileThereIsRoomOrAnAddressHoldsTwoPlaces) {
  struct Row {
    const char* why;
    std::string held;
    std::size_t room;
    bool takes;
  };
  const Row rows[] = {
      {"empty", "", 2, true},
      {"a free place", "a", 2, true},
      {"full, one place each", "ab", 2, false},
      {"full, one address holds two: one of them would go", "aa", 2, true},
      {"no places at all", "", 0, false},
  };
  for (const Row& row : rows) EXPECT_EQ(row.takes, WaitingRoomTakesMore(Held(row.held), row.room)) << row.why;
}

TEST(WaitingRoom, OneTooManyClosesTheNewestOfTheAddressHoldingTheMost) {
  struct Row {
    const char* why;
    std::string held;
    std::size_t dropped;
  };
  const Row rows[] = {
      {"the most, not the newest overall", "ababa", 4},
      {"the most, its newest in the middle", "aab", 1},
      {"equals: the address whose newest came last", "baab", 3},
      {"one each: the newcomer itself", "abc", 2},
  };
  for (const Row& row : rows) EXPECT_EQ(row.dropped, WaitingRoomDropIndex(Held(row.held))) << row.why;
}

// A place that comes free goes to the address that holds the fewest in the
// client list; among equals, to the one that has waited longest.
TEST(WaitingRoom, AFreePlaceGoesToTheAddressHoldingFewest) {
  struct Row {
    const char* why;
    std::string listed;  // the addresses of the clients in the list
    std::string held;
    std::size_t next;
  };
  const Row rows[] = {
      {"an address with no place", "aab", "abc", 2},
      {"fewer places", "aab", "ab", 1},
      {"equals: the oldest", "ab", "aab", 0},
      {"an empty list: the oldest", "", "cba", 0},
  };
  for (const Row& row : rows) {
    TPeerTally places;
    for (const TSocketAddress& address : Held(row.listed)) places.Add(address);
    EXPECT_EQ(row.next, WaitingRoomNextIndex(Held(row.held), places)) << row.why;
  }
}

// Over real loopback connections: the room accepts, bounded per call, keeps
// a peer that has sent its request before ending its side, and closes one
// that ended without a word.
TEST(WaitingRoom, PruneClosesPeersThatLeftWithoutARequest) {
  ProcessThreadMessages();
  TTCPServerSocket listener;
  listener.SetLocalHost("127.0.0.1");
  listener.SetListenPort("0");
  listener.Listen();
  const std::uint16_t port = listener.GetLocalAddress().Port();
  const int silent = ConnectFrom("127.0.0.2", port);
  const int asking = ConnectFrom("127.0.0.3", port);
  const int third = ConnectFrom("127.0.0.4", port);

  TWaitingRoom room;
  TTCPServerSocket* const listeners[] = {&listener};
  // At most `room` per call, and no more than the room takes. (The retries
  // only wait for the connections to reach the accept queue.)
  const auto take_until = [&](std::size_t places, std::size_t size) {
    const auto deadline = test::Clock::now() + 5s;
    do {
      room.Take(listeners, places);
    } while (room.Size() < size && test::Clock::now() < deadline);
  };
  take_until(2, 2);
  ASSERT_EQ(2u, room.Size());
  room.Take(listeners, 2);  // full, one place each: the third waits
  EXPECT_EQ(2u, room.Size());
  take_until(3, 3);
  ASSERT_EQ(3u, room.Size());
  EXPECT_EQ("127.0.0.3", room.Addresses()[1].HostText());

  ::close(silent);
  test::SendAll(asking, "GET / HTTP/1.1\r\n\r\n");
  ::shutdown(asking, SHUT_WR);
  // The ends reach the held sockets at once over loopback; a short retry
  // bound covers a slow machine.
  const auto deadline = test::Clock::now() + 5s;
  do {
    room.Prune();
  } while (room.Size() == 3 && test::Clock::now() < deadline);
  ASSERT_EQ(2u, room.Size());
  EXPECT_EQ("127.0.0.3", room.Addresses()[0].HostText());
  EXPECT_EQ("127.0.0.4", room.Addresses()[1].HostText());

  TPeerTally places;
  places.Add(room.Addresses()[0]);
  const TWaitingRoom::TConnection next = room.TakeNext(places);
  EXPECT_EQ("127.0.0.4", next.Address.HostText());
  EXPECT_EQ(1u, room.Size());
  ::close(next.Handle);
  room.Close();
  EXPECT_TRUE(room.Empty());
  // The room closed the held end: the peer sees its connection end (reset,
  // since its request was never read).
  pollfd end{asking, POLLIN, 0};
  ASSERT_EQ(1, ::poll(&end, 1, 5000));
  char byte;
  EXPECT_LE(::recv(asking, &byte, 1, 0), 0);
  ::close(asking);
  ::close(third);
}

}  // namespace
}  // namespace vt
