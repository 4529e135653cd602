#include "platform/window_handle.h"

#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/ticks.h"

namespace vt {
namespace {

// The check that keeps the layers' message numbers apart finds a number that
// two lists share, wherever it is.
static_assert(MessageNumbersDiffer(std::array<std::uint32_t, 2>{1, 2}, std::array<std::uint32_t, 1>{3}));
static_assert(!MessageNumbersDiffer(std::array<std::uint32_t, 2>{1, 2}, std::array<std::uint32_t, 1>{2}));
static_assert(!MessageNumbersDiffer(std::array<std::uint32_t, 3>{5, 6, 5}));

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kUserMessage = 0x400;

// Pumps `window`'s thread until `done` holds or `limit` passes.
template <typename Pred>
bool PumpUntil(TWindowHandle& window, Pred done, Clock::duration limit = 5s) {
  const Deadline deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    window.HandleMessageUntil(deadline);
  }
  return true;
}

// Collects the user messages a window receives.
struct Recorder : TWindowHandle {
  std::vector<std::int32_t> seen;
  Recorder() {
    OnMessage = [this](std::uint32_t msg, std::int32_t wParam, std::int32_t, bool& handled) {
      if (msg == kUserMessage) seen.push_back(wParam);
      handled = true;
      return 7;
    };
  }
};

double ThreadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

TEST(WindowHandle, MessagesFromAnotherThreadArriveInOrder) {
  Recorder window;
  const HWindow handle = window.GetHandle();
  ASSERT_NE(0u, handle);
  constexpr int kCount = 2000;
  std::thread poster([handle] {
    for (int i = 0; i < kCount; ++i) PostMessage(handle, kUserMessage, i, 0);
  });
  EXPECT_TRUE(PumpUntil(window, [&] { return window.seen.size() == kCount; }));
  poster.join();
  for (int i = 0; i < kCount; ++i) ASSERT_EQ(i, window.seen[i]);
}

// Each post comes just as the owner has dispatched the one before and goes
// back to wait, the moment at which it decides, without a lock, whether
// anything is waiting for it. Meanwhile a second thread posts without
// pause, and the owner posts to itself. A post whose wake-up is missed
// (or a post to itself left behind) leaves the owner asleep until its
// deadline, which the poster sees as a message not taken within its bound.
TEST(WindowHandle, PostsAsTheOwnerGoesBackToWaitAreNeverMissed) {
  TWindowHandle window;
  std::mutex mutex;
  std::condition_variable taken_changed;
  int taken = 0;  // the last round-trip message taken
  std::atomic<int> noise{0};
  int own = 0;
  const HWindow handle = window.GetHandle();
  window.OnMessage = [&](std::uint32_t msg, std::int32_t wParam, std::int32_t, bool& handled) {
    handled = true;
    // Every third message is taken through a post to itself, which wakes
    // nobody: the owner must look at it before it waits.
    if (msg == kUserMessage && wParam % 3 == 0) {
      PostMessage(handle, kUserMessage + 2, wParam, 0);
    } else if (msg == kUserMessage || msg == kUserMessage + 2) {
      own += msg == kUserMessage + 2;
      std::lock_guard lock(mutex);
      taken = wParam;
      taken_changed.notify_all();
    } else if (msg == kUserMessage + 1) {
      noise.fetch_add(1, std::memory_order_relaxed);
    } else if (msg == kTimerMessage) {
      KillTimer(handle, 7);
      PostMessage(handle, kUserMessage + 2, -1, 0);
    }
    return 0;
  };
  constexpr int kRoundTrips = 3000;
  constexpr int kNoise = 20000;
  std::atomic<bool> done{false};
  int missed = 0;
  std::thread round_trips([&] {
    for (int i = 1; i <= kRoundTrips && missed == 0; ++i) {
      PostMessage(handle, kUserMessage, i, 0);
      std::unique_lock lock(mutex);
      if (!taken_changed.wait_for(lock, 2s, [&] { return taken == i; })) missed = i;
    }
    done = true;
    PostMessage(handle, kUserMessage + 3, 0, 0);  // ends the owner's last wait
  });
  std::thread flood([&] {
    for (int i = 0; i < kNoise; ++i) PostMessage(handle, kUserMessage + 1, i, 0);
  });
  const auto give_up = Clock::now() + 60s;
  while (!done && Clock::now() < give_up) window.HandleMessageUntil(Clock::now() + 5s);
  round_trips.join();
  flood.join();
  EXPECT_EQ(0, missed) << "a post taken only at the owner's deadline";
  EXPECT_TRUE(PumpUntil(window, [&] { return noise == kNoise && own == kRoundTrips / 3; }));

  // A post to itself from a timer tick's handler, when no other thread has
  // posted anything: the owner takes it before it waits again.
  ASSERT_TRUE(SetTimer(handle, 7, 1));
  EXPECT_TRUE(PumpUntil(
      window, [&] { return taken == -1; }, 2s));
}

TEST(WindowHandle, HandledResultAndDefaultResult) {
  Recorder window;
  EXPECT_EQ(7, window.HandleWM(kUserMessage, 1, 0));
  TWindowHandle plain;
  plain.OnMessage = [](std::uint32_t, std::int32_t, std::int32_t, bool&) { return 5; };
  EXPECT_EQ(0, plain.HandleWM(kUserMessage, 0, 0)) << "unhandled messages get the default result";
}

TEST(WindowHandle, HandlerErrorsGoToOnExceptionOthersPassThrough) {
  TWindowHandle window;
  window.OnMessage = [](std::uint32_t msg, std::int32_t, std::int32_t, bool&) -> std::int32_t {
    if (msg == kUserMessage) throw EWindowHandle("ours");
    throw std::runtime_error("foreign");
  };
  const TWindowHandle* sender = nullptr;
  std::string text;
  window.OnException = [&](TWindowHandle& s, const Exception& e) {
    sender = &s;
    text = e.Message();
  };
  EXPECT_EQ(0, window.HandleWM(kUserMessage, 0, 0));
  EXPECT_EQ(&window, sender);
  EXPECT_EQ("ours", text);

  PostMessage(window.GetHandle(), kUserMessage + 1, 0, 0);
  EXPECT_THROW(window.HandleMessage(), std::runtime_error);
}

TEST(WindowHandle, MessagesToDestroyedOrUnknownWindowsAreDropped) {
  Recorder window;
  const HWindow handle = window.GetHandle();
  ASSERT_TRUE(PostMessage(handle, kUserMessage, 1, 0));
  window.DestroyHandle();
  EXPECT_EQ(0u, window.Handle());
  EXPECT_FALSE(PostMessage(handle, kUserMessage, 2, 0));
  EXPECT_FALSE(PostMessage(0, kUserMessage, 2, 0));

  // The message queued before the window went is not delivered, not even to
  // the window the object gets next.
  const HWindow second = window.GetHandle();
  EXPECT_NE(handle, second);
  window.ProcessMessages();
  EXPECT_TRUE(window.seen.empty());
}

// The same once a message of the window has been dispatched, so that its
// thread knows the window's object from that look-up: the window destroyed
// by its thread, or by another while its thread is held up.
TEST(WindowHandle, AWindowDestroyedAfterItsMessagesWereDispatchedGetsNoMore) {
  for (const bool elsewhere : {false, true}) {
    SCOPED_TRACE(elsewhere ? "destroyed by another thread" : "destroyed by its thread");
    Recorder window;
    const HWindow first = window.GetHandle();
    PostMessage(first, kUserMessage, 1, 0);
    window.ProcessMessages();
    PostMessage(first, kUserMessage, 2, 0);
    if (elsewhere) {
      std::thread([&] { window.DestroyHandle(); }).join();
    } else {
      window.DestroyHandle();
    }
    PostMessage(window.GetHandle(), kUserMessage, 3, 0);
    window.ProcessMessages();
    EXPECT_EQ((std::vector<std::int32_t>{1, 3}), window.seen);
  }
}

TEST(WindowHandle, WindowOfAnEndedThreadTakesNoMoreMessages) {
  auto window = std::make_unique<Recorder>();
  HWindow handle = 0;
  std::thread owner([&] { handle = window->GetHandle(); });
  owner.join();
  EXPECT_FALSE(WindowExists(handle));
  EXPECT_FALSE(PostMessage(handle, kUserMessage, 1, 0));
  window.reset();  // destroying it later, elsewhere, is safe
}

TEST(WindowHandle, QuitEndsThePumps) {
  Recorder window;
  const HWindow handle = window.GetHandle();
  PostMessage(handle, kUserMessage, 1, 0);
  PostMessage(handle, kQuitMessage, 0, 0);
  PostMessage(handle, kUserMessage, 2, 0);
  window.ProcessMessages();
  EXPECT_EQ(std::vector<std::int32_t>{1}, window.seen);
  EXPECT_TRUE(window.Terminated());
  EXPECT_FALSE(window.HandleMessage());

  // What followed the quit stays queued for the thread's next pump.
  Recorder other;
  other.GetHandle();
  EXPECT_TRUE(other.HandleMessage());
  EXPECT_EQ((std::vector<std::int32_t>{1, 2}), window.seen);
  PostMessage(other.Handle(), kQuitMessage, 0, 0);
  EXPECT_FALSE(other.HandleMessage());
  EXPECT_TRUE(other.Terminated());
}

TEST(WindowHandle, TerminatedPumpsReturnAtOnceWithoutTakingMessages) {
  Recorder window;
  PostMessage(window.GetHandle(), kUserMessage, 1, 0);
  window.Terminate();
  EXPECT_FALSE(window.ProcessMessage());
  EXPECT_FALSE(window.HandleMessage());
  EXPECT_EQ(TWindowHandle::WaitResult::kEnded, window.HandleMessageUntil(Clock::now() + 1h));
  EXPECT_TRUE(window.seen.empty());

  Recorder fresh;
  fresh.GetHandle();
  EXPECT_TRUE(fresh.ProcessMessage());  // takes the message left behind
  EXPECT_EQ(std::vector<std::int32_t>{1}, window.seen);
  EXPECT_FALSE(fresh.ProcessMessage());
}

TEST(WindowHandle, BoundedWaitReturnsAtItsDeadlineWithoutSpinning) {
  TWindowHandle window;
  window.GetHandle();
  const double cpu_before = ThreadCpuMs();
  const auto start = Clock::now();
  EXPECT_EQ(TWindowHandle::WaitResult::kTimedOut, window.HandleMessageUntil(start + 200ms));
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, 200ms);
  EXPECT_LT(waited, 2s);
  EXPECT_LT(ThreadCpuMs() - cpu_before, 20.0);
}

TEST(WindowHandle, QuitFromAnotherThreadEndsAWaitAtOnce) {
  TWindowHandle window;
  const HWindow handle = window.GetHandle();
  const auto start = Clock::now();
  std::thread quitter([handle] {
    std::this_thread::sleep_for(50ms);
    PostMessage(handle, kQuitMessage, 0, 0);
  });
  EXPECT_EQ(TWindowHandle::WaitResult::kEnded, window.HandleMessageUntil(start + 30s));
  quitter.join();
  EXPECT_LT(Clock::now() - start, 5s);
  EXPECT_TRUE(window.Terminated());
}

// A thread that takes up new work (a pooled worker) first recycles its queue:
// what was posted for its old windows, a quit among it, never reaches the
// new ones. While a window is left, the queue is closed instead.
TEST(WindowHandle, RecycledQueueForgetsTheOldWindowsMessages) {
  std::thread([] {
    const int queue = ThreadQueueDescriptor();
    {
      Recorder old;
      PostMessage(old.GetHandle(), kQuitMessage, 0, 0);
      PostMessage(old.GetHandle(), kUserMessage, 1, 0);
    }
    RecycleThreadQueue();
    EXPECT_EQ(queue, ThreadQueueDescriptor()) << "the queue is kept";
    Recorder next;
    PostMessage(next.GetHandle(), kUserMessage, 2, 0);
    EXPECT_TRUE(PumpUntil(
        next, [&] { return !next.seen.empty(); }, 1s));
    EXPECT_FALSE(next.Terminated());
    EXPECT_EQ(std::vector<std::int32_t>{2}, next.seen);

    // A window still there: its messages cannot be told apart, so the
    // queue goes and the next use makes a fresh one.
    Recorder left;
    PostMessage(left.GetHandle(), kQuitMessage, 0, 0);
    RecycleThreadQueue();
    left.DestroyHandle();
    Recorder fresh;
    PostMessage(fresh.GetHandle(), kUserMessage, 3, 0);
    EXPECT_TRUE(PumpUntil(
        fresh, [&] { return !fresh.seen.empty(); }, 1s));
    EXPECT_FALSE(fresh.Terminated());
  }).join();
}

TEST(TimerHandle, StartsOnceStopsAndRefusesAZeroInterval) {
  TTimerHandle timer;
  timer.TimerInterval = 0;
  timer.SetTimerActive(true);
  EXPECT_FALSE(timer.TimerActive());

  int ticks = 0;
  timer.OnTimer = [&](TTimerHandle& sender) {
    EXPECT_EQ(&timer, &sender);
    ++ticks;
  };
  timer.TimerInterval = 20;
  timer.SetTimerActive(true);
  timer.SetTimerActive(true);
  EXPECT_TRUE(timer.TimerActive());
  EXPECT_TRUE(PumpUntil(timer, [&] { return ticks >= 3; }));

  timer.SetTimerActive(false);
  timer.SetTimerActive(false);
  EXPECT_FALSE(timer.TimerActive());
  const int stopped_at = ticks;
  timer.HandleMessageUntil(Clock::now() + 150ms);
  EXPECT_EQ(stopped_at, ticks);
}

TEST(TimerHandle, AtMostOneTickIsPending) {
  TTimerHandle timer;
  int ticks = 0;
  timer.OnTimer = [&](TTimerHandle&) { ++ticks; };
  timer.TimerInterval = 5;
  timer.SetTimerActive(true);
  const auto start = GetTickCount();
  while (GetTickCount() - start < 100u) Sleep(10);  // many intervals pass unserved
  timer.ProcessMessages();
  EXPECT_EQ(1, ticks);
}

TEST(TimerHandle, RaisingHandlerKeepsTheTimerAndReportsTheError) {
  TTimerHandle timer;
  int ticks = 0;
  int reports = 0;
  timer.OnTimer = [&](TTimerHandle&) {
    ++ticks;
    throw EWindowHandle("tick failed");
  };
  timer.OnException = [&](TWindowHandle& sender, const Exception& e) {
    EXPECT_EQ(&timer, &sender);
    EXPECT_EQ("tick failed", e.Message());
    ++reports;
  };
  timer.TimerInterval = 10;
  timer.SetTimerActive(true);
  EXPECT_TRUE(PumpUntil(timer, [&] { return ticks >= 3; }));
  EXPECT_EQ(ticks, reports);

  timer.OnException = nullptr;  // without a receiver the error is dropped
  EXPECT_TRUE(PumpUntil(timer, [&] { return ticks >= 5; }));
}

// A thread that waits with no timer of its own still gets the ticks of one
// another thread sets meanwhile, and stops looking for those of one killed.
TEST(WindowHandle, TimersSetAndKilledFromAnotherThreadWhileItWaits) {
  TWindowHandle window;
  std::vector<std::int32_t> ticks;
  window.OnMessage = [&](std::uint32_t msg, std::int32_t wParam, std::int32_t, bool& handled) {
    if (msg == kTimerMessage) ticks.push_back(wParam);
    handled = true;
    return 0;
  };
  const HWindow handle = window.GetHandle();
  struct Step {
    std::uint32_t set;   // the timer set from the other thread
    std::uint32_t kill;  // the one killed first (0: none)
  };
  for (const Step step : {Step{1, 0}, Step{2, 1}, Step{3, 2}}) {
    SCOPED_TRACE(step.set);
    std::thread other([&] {
      Sleep(30);  // the window's thread is waiting by then
      if (step.kill != 0) {
        EXPECT_TRUE(KillTimer(handle, step.kill));
      }
      EXPECT_TRUE(SetTimer(handle, step.set, 5));
    });
    ticks.clear();
    EXPECT_TRUE(PumpUntil(window, [&] {
      return std::count(ticks.begin(), ticks.end(), static_cast<std::int32_t>(step.set)) >= 2;
    }));
    other.join();
    if (step.kill != 0) {
      // A tick queued before the kill may still come; none after it.
      window.ProcessMessages();
      ticks.clear();
      window.HandleMessageUntil(Clock::now() + 30ms);
      EXPECT_EQ(0, std::count(ticks.begin(), ticks.end(), static_cast<std::int32_t>(step.kill)));
    }
  }
  EXPECT_TRUE(KillTimer(handle, 3));
  ticks.clear();
  window.HandleMessageUntil(Clock::now() + 30ms);
  EXPECT_TRUE(ticks.empty());
}

TEST(TimerHandle, DestroyingTheWindowEndsTheTimer) {
  auto timer = std::make_unique<TTimerHandle>();
  int ticks = 0;
  timer->OnTimer = [&](TTimerHandle&) { ++ticks; };
  timer->TimerInterval = 5;
  timer->SetTimerActive(true);
  Sleep(20);
  timer.reset();  // a tick may be due; it must not reach the freed object
  TWindowHandle pump;
  pump.GetHandle();
  pump.HandleMessageUntil(Clock::now() + 50ms);
  EXPECT_EQ(0, ticks);
}

}  // namespace
}  // namespace vt
