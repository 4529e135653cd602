#include "platform/event_queue.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>

#include "platform/window_handle.h"

namespace vt {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Pipe {
  Pipe() { EXPECT_EQ(0, ::pipe2(fds, O_NONBLOCK | O_CLOEXEC)); }
  ~Pipe() {
    ::close(fds[0]);
    ::close(fds[1]);
  }
  int read_end() const { return fds[0]; }
  void Fill() const { EXPECT_EQ(1, ::write(fds[1], "x", 1)); }
  int fds[2] = {-1, -1};
};

struct CountingWatcher : IoWatcher {
  int ready = 0;
  std::function<void()> on_ready;
  void OnReady(std::uint32_t, MessageSink&) override {
    ++ready;
    if (on_ready) on_ready();
  }
  void OnRecheck(MessageSink&) override {}
};

// Two descriptors become readable together, so that one collection takes
// both events; the first watcher called ends the other's watch (as a
// thread closing that descriptor would while the owner holds its event)
// and may watch that descriptor anew. The event taken for the ended watch
// goes nowhere, and the memory it points at is still there (the sanitizer
// builds see it); the new watch reports on its own; the owner's look-up
// by descriptor finds the watch in place now, not the one it found last;
// and the ended watch is let go of by the next collection.
TEST(EventQueue, AWatchEndedWhileItsEventIsInHandIsNeitherCalledNorFreedEarly) {
  for (const bool watch_anew : {false, true}) {
    SCOPED_TRACE(watch_anew ? "watched anew" : "ended");
    TWindowHandle window;
    const HWindow handle = window.GetHandle();
    Pipe pipes[2];
    std::shared_ptr<CountingWatcher> first[2] = {std::make_shared<CountingWatcher>(),
                                                 std::make_shared<CountingWatcher>()};
    auto later = std::make_shared<CountingWatcher>();
    int ended = -1;
    for (int i = 0; i < 2; ++i) {
      first[i]->on_ready = [&, other = 1 - i] {
        if (ended != -1) return;
        ended = other;
        UnwatchDescriptor(pipes[other].read_end());
        if (watch_anew) {
          EXPECT_EQ(0, WatchDescriptor(handle, pipes[other].read_end(), EPOLLIN, later));
        }
      };
      ASSERT_EQ(0, WatchDescriptor(handle, pipes[i].read_end(), EPOLLIN, first[i]));
      // Looked up once, so that a look-up kept from before would be at hand.
      EXPECT_EQ(first[i].get(), FindThreadWatcher(pipes[i].read_end()));
    }
    pipes[0].Fill();
    pipes[1].Fill();
    window.HandleMessageUntil(Clock::now() + 50ms);
    ASSERT_NE(-1, ended);
    EXPECT_EQ(0, first[ended]->ready);
    EXPECT_EQ(1, first[1 - ended]->ready);
    EXPECT_EQ(watch_anew ? 1 : 0, later->ready);
    EXPECT_EQ(watch_anew ? later.get() : nullptr, FindThreadWatcher(pipes[ended].read_end()));
    EXPECT_EQ(first[1 - ended].get(), FindThreadWatcher(pipes[1 - ended].read_end()));

    window.HandleMessageUntil(Clock::now() + 10ms);
    EXPECT_EQ(1, first[ended].use_count()) << "the ended watch is let go of";
    UnwatchDescriptor(pipes[0].read_end());
    UnwatchDescriptor(pipes[1].read_end());
  }
}

}  // namespace
}  // namespace vt
