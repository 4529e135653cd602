#include "sockets/async_select.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/window_handle.h"
#include "socket_test_support.h"

namespace vt {
namespace {

using namespace std::chrono_literals;
using test::LoopbackPair;
using test::PumpFor;
using test::PumpUntil;
using test::SendAll;

// The FD_ events a window receives for one socket, in order.
struct EventRecorder : TWindowHandle {
  std::vector<std::int32_t> events;
  EventRecorder() {
    OnMessage = [this](std::uint32_t msg, std::int32_t, std::int32_t lParam, bool& handled) {
      if (msg == kSocketMessage) events.push_back(lParam & 0xffff);
      handled = true;
      return 0;
    };
  }
};

// What a read leaves to post: the queue looks at the socket again after a
// read only when the read left something due, so each case checks that
// what is due still comes without any new readiness from the system, and
// that a read that emptied the socket still hears of the next bytes.
TEST(AsyncSelect, AReadPostsAgainExactlyWhatItLeftDue) {
  struct Case {
    const char* name;
    bool peer_ends;    // the peer ends its side after its 100 bytes
    std::size_t read;  // what the read asks for
    std::vector<std::int32_t> then;
  };
  const Case cases[] = {
      {"bytes left unread", false, 10, {FD_READ}},
      {"everything read", false, 1000, {}},
      {"bytes left before the peer's end", true, 10, {FD_READ}},
      {"the last bytes before the peer's end", true, 1000, {FD_CLOSE}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackPair pair;
    EventRecorder window;
    ASSERT_EQ(0, WSAAsyncSelect(pair.ours, window.GetHandle(), kSocketMessage, FD_READ | FD_CLOSE));
    SendAll(pair.peer, std::string(100, 'x'));
    if (c.peer_ends) ::shutdown(pair.peer, SHUT_WR);
    ASSERT_TRUE(PumpUntil(window, [&] { return !window.events.empty(); }));
    PumpFor(window, 30ms);
    ASSERT_EQ(std::vector<std::int32_t>{FD_READ}, window.events) << "one notification until it is read";

    window.events.clear();
    char buffer[1000];
    ASSERT_EQ(static_cast<ssize_t>(std::min<std::size_t>(c.read, 100)),
              SocketRecv(pair.ours, buffer, c.read));
    PumpFor(window, 50ms);
    EXPECT_EQ(c.then, window.events);

    if (!c.peer_ends && c.then.empty()) {
      // Nothing was left: a read that would block changes nothing, and the
      // next bytes are told.
      EXPECT_EQ(-1, SocketRecv(pair.ours, buffer, sizeof buffer));
      PumpFor(window, 30ms);
      EXPECT_TRUE(window.events.empty());
      SendAll(pair.peer, "y");
      EXPECT_TRUE(PumpUntil(
          window, [&] { return !window.events.empty(); }, 5s));
      EXPECT_EQ(std::vector<std::int32_t>{FD_READ}, window.events);
    }
    EXPECT_EQ(0, WSAAsyncSelect(pair.ours, window.GetHandle(), kSocketMessage, 0));
  }
}

}  // namespace
}  // namespace vt
