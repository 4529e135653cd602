#include "platform/synchronize.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/window_handle.h"

namespace vt {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(Synchronize, RunsOnTheMainThreadInCallOrder) {
  ASSERT_TRUE(IsMainThread());
  TWindowHandle pump;
  pump.GetHandle();
  std::vector<int> order;  // touched on the main thread only
  std::atomic<bool> finished{false};
  bool off_main = false;
  std::thread worker([&] {
    off_main = !IsMainThread();
    for (int i = 0; i < 100; ++i) {
      Synchronize([&, i] {
        EXPECT_TRUE(IsMainThread());
        order.push_back(i);
      });
    }
    finished = true;
  });
  const Deadline deadline = Clock::now() + 10s;
  while (!finished && Clock::now() < deadline) pump.HandleMessageUntil(Clock::now() + 100ms);
  worker.join();
  EXPECT_TRUE(off_main);
  ASSERT_EQ(100u, order.size());
  for (int i = 0; i < 100; ++i) EXPECT_EQ(i, order[i]);

  int inline_runs = 0;
  Synchronize([&] { ++inline_runs; });  // on the main thread: at once
  EXPECT_EQ(1, inline_runs);
}

// Posted calls do not wait, yet keep their place among the caller's
// synchronised ones; a failing one is said on standard error and goes no
// further; refused ones are told.
TEST(Synchronize, PostedCallsKeepTheirPlaceWithoutWaiting) {
  testing::internal::CaptureStderr();
  std::vector<int> order;  // main thread only
  std::atomic<bool> finished{false};
  std::atomic<bool> posted_all{false};
  std::thread worker([&] {
    for (int i = 0; i < 50; ++i) {
      EXPECT_TRUE(PostToMainThread([&, i] {
        EXPECT_TRUE(IsMainThread());
        order.push_back(i);
        if (i == 10) throw std::runtime_error("dropped");
      }));
    }
    posted_all = true;  // while the main thread has not run any of them
    Synchronize([&] { order.push_back(50); });
    EXPECT_TRUE(PostToMainThread([&] { order.push_back(51); }));
    finished = true;
  });
  const Deadline posted_deadline = Clock::now() + 10s;
  while (!posted_all && Clock::now() < posted_deadline) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(posted_all) << "posting waits for nobody";
  const Deadline deadline = Clock::now() + 10s;
  while ((!finished || order.size() < 52) && Clock::now() < deadline)
    HandleThreadMessage(Clock::now() + 100ms);
  worker.join();
  EXPECT_EQ("Posted call failed: dropped\n", testing::internal::GetCapturedStderr());
  ASSERT_EQ(52u, order.size());
  for (int i = 0; i < 52; ++i) EXPECT_EQ(i, order[static_cast<std::size_t>(i)]);
  int inline_runs = 0;
  EXPECT_TRUE(PostToMainThread([&] { ++inline_runs; }));  // on the main thread: at once
  EXPECT_EQ(1, inline_runs);

  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        // A call still waiting when the main thread stops serving is freed
        // unrun, and so is one refused.
        const auto token = std::make_shared<int>(0);
        std::thread before([&] { PostToMainThread([token] { std::exit(2); }); });
        before.join();
        ShutdownSynchronize();
        bool refused = false;
        std::thread later([&] { refused = !PostToMainThread([token] {}); });
        later.join();
        std::exit(refused && token.use_count() == 1 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(Synchronize, RethrowsInTheCallerWhatTheCallThrew) {
  std::atomic<int> outcome{0};
  std::thread worker([&] {
    try {
      Synchronize([] { throw std::out_of_range("from main"); });
    } catch (const std::out_of_range& e) {
      outcome = std::string(e.what()) == "from main" ? 1 : 2;
    }
  });
  const Deadline deadline = Clock::now() + 10s;
  while (outcome == 0 && Clock::now() < deadline) HandleThreadMessage(Clock::now() + 100ms);
  worker.join();
  EXPECT_EQ(1, outcome);
}

TEST(Synchronize, MainQueueDescriptorSignalsWorkForAForeignLoop) {
  const int fd = MainQueueDescriptor();
  ProcessThreadMessages();  // start from a quiet queue
  std::atomic<bool> done{false};
  std::thread worker([&] {
    Synchronize([] {});
    done = true;
  });
  const Deadline deadline = Clock::now() + 10s;
  while (!done && Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) == 1) ProcessThreadMessages();
  }
  worker.join();
  EXPECT_TRUE(done);
}

TEST(Synchronize, AStormOfCallsDoesNotStarveADueTimer) {
  TTimerHandle timer;
  int ticks = 0;
  timer.OnTimer = [&](TTimerHandle&) { ++ticks; };
  timer.TimerInterval = 20;
  timer.SetTimerActive(true);

  std::atomic<bool> stop{false};
  std::atomic<long> calls{0};
  std::atomic<int> finished{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < 4; ++w) {
    workers.emplace_back([&] {
      while (!stop) Synchronize([&] { calls.fetch_add(1, std::memory_order_relaxed); });
      ++finished;
    });
  }
  const auto start = Clock::now();
  while (Clock::now() - start < 600ms) timer.HandleMessageUntil(start + 600ms);
  stop = true;
  const Deadline deadline = Clock::now() + 10s;
  while (finished < 4 && Clock::now() < deadline) timer.HandleMessageUntil(Clock::now() + 10ms);
  for (auto& w : workers) w.join();
  EXPECT_GT(calls.load(), 100);
  // 600 ms at 20 ms gives up to 30 ticks; a starved timer would give none.
  EXPECT_GE(ticks, 8);
}

TEST(Synchronize, RefusedCallsRaiseInsteadOfWaiting) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // In a child process: refusing is final for the process.
  EXPECT_EXIT(
      {
        std::atomic<int> outcome{0};
        std::thread waiting([&] {
          try {
            Synchronize([] {});
            outcome = 1;
          } catch (const ESynchronize&) {
            outcome = 2;
          }
        });
        std::this_thread::sleep_for(100ms);  // the call is queued, unserved
        ShutdownSynchronize();
        waiting.join();
        bool later_refused = false;
        std::thread later([&] {
          try {
            Synchronize([] {});
          } catch (const ESynchronize&) {
            later_refused = true;
          }
        });
        later.join();
        std::exit(outcome == 2 && later_refused ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vt
