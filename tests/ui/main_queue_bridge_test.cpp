#include "ui/main_queue_bridge.h"

#include <gtest/gtest.h>

#include <QDialog>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/synchronize.h"
#include "platform/window_handle.h"

namespace vt {
namespace {

constexpr int kPatienceMs = 10000;

// Runs an event loop (`run`, which blocks between events as a program's loop
// does) and ends it with `quit` from a timer once `done` holds or the
// patience runs out. Returns whether `done` held.
bool RunUntil(QObject& context, const std::function<void()>& run, const std::function<void()>& quit,
              const std::function<bool()>& done) {
  QTimer poll;
  QElapsedTimer waited;
  waited.start();
  QObject::connect(&poll, &QTimer::timeout, &context, [&] {
    if (done() || waited.elapsed() > kPatienceMs) quit();
  });
  poll.start(5);
  run();
  return done();
}

// Runs `dialog` modally until `done` holds.
bool ExecUntil(QDialog& dialog, const std::function<bool()>& done) {
  return RunUntil(
      dialog, [&] { dialog.exec(); }, [&] { dialog.reject(); }, done);
}

// Runs Qt's event loop until `done` holds.
bool RunLoopUntil(const std::function<bool()>& done) {
  QEventLoop loop;
  return RunUntil(
      loop, [&] { loop.exec(); }, [&] { loop.quit(); }, done);
}

// A worker's body; a failed test shuts synchronising down, and the worker
// then ends quietly instead of taking the test program down.
std::function<void()> Guarded(std::function<void()> body) {
  return [body = std::move(body)] {
    try {
      body();
    } catch (const ESynchronize&) {
    }
  };
}

TEST(MainQueueBridge, ServesWorkersAndTimersWhileAModalDialogRuns) {
  TMainQueueBridge bridge;
  int ticks = 0;
  TTimerHandle timer;  // a timer of the main thread, like the up-time timer
  timer.TimerInterval = 10;
  timer.OnTimer = [&](TTimerHandle&) { ++ticks; };
  timer.SetTimerActive(true);

  std::atomic<int> calls{0};
  std::atomic<bool> ran_on_main{true};
  std::thread worker(Guarded([&] {
    for (int i = 0; i < 20; ++i) {
      Synchronize([&] {
        if (!IsMainThread()) ran_on_main = false;
        ++calls;
      });
    }
  }));
  QDialog dialog;
  const bool served = ExecUntil(dialog, [&] { return calls == 20 && ticks >= 3; });
  if (!served) ShutdownSynchronize();  // lets the worker end rather than hang the test
  worker.join();
  EXPECT_TRUE(served) << calls << " calls, " << ticks << " ticks";
  EXPECT_TRUE(ran_on_main);
}

TEST(MainQueueBridge, DeliversWhatTheMainThreadPostsToItselfFromQt) {
  TMainQueueBridge bridge;
  TWindowHandle window;
  std::vector<int> received;
  window.OnMessage = [&](std::uint32_t msg, std::int32_t wParam, std::int32_t, bool& handled) {
    if (msg == 8247) received.push_back(wParam);
    handled = true;
    return 0;
  };
  const HWindow handle = window.GetHandle();
  // Posted from a Qt handler, with nothing else on the queue to wake it.
  QTimer::singleShot(0, [&] {
    PostMessage(handle, 8247, 1, 0);
    PostMessage(handle, 8247, 2, 0);
  });
  EXPECT_TRUE(RunLoopUntil([&] { return received.size() == 2; }));
  EXPECT_EQ((std::vector<int>{1, 2}), received);
}

TEST(MainQueueBridge, ADialogOpenedByASynchronisedCallKeepsServingOthers) {
  TMainQueueBridge bridge;
  std::atomic<bool> second_done{false};
  bool second_ran_inside = false;
  bool dialog_ran = false;
  std::thread second;
  std::thread first(Guarded([&] {
    Synchronize([&] {
      dialog_ran = true;
      second = std::thread(Guarded([&] {
        Synchronize([&] { second_ran_inside = true; });
        second_done = true;
      }));
      QDialog dialog;
      ExecUntil(dialog, [&] { return second_done.load(); });
    });
  }));
  const bool finished = RunLoopUntil([&] { return dialog_ran && second_done; });
  if (!finished) ShutdownSynchronize();
  first.join();
  if (second.joinable()) second.join();
  EXPECT_TRUE(finished);
  EXPECT_TRUE(second_ran_inside);
}

TEST(MainQueueBridge, AnEscapedExceptionIsReportedAndTheQueueGoesOn) {
  TMainQueueBridge bridge;
  std::vector<std::string> reported;
  bridge.OnException = [&](const std::exception& error) { reported.push_back(error.what()); };
  TWindowHandle window;
  std::vector<int> received;
  window.OnMessage = [&](std::uint32_t, std::int32_t wParam, std::int32_t, bool&) -> std::int32_t {
    if (wParam == 1) throw std::runtime_error("not one of ours");
    received.push_back(wParam);
    return 0;
  };
  const HWindow handle = window.GetHandle();
  std::thread poster([handle] {  // from another thread: one batch, one wake-up
    for (int i = 1; i <= 3; ++i) PostMessage(handle, 2000, i, 0);
  });
  poster.join();
  EXPECT_TRUE(RunLoopUntil([&] { return received.size() == 2; }));
  EXPECT_EQ((std::vector<int>{2, 3}), received);
  EXPECT_EQ((std::vector<std::string>{"not one of ours"}), reported);
}

}  // namespace
}  // namespace vt
