#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/thread_ex.h"

namespace vt {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Job : TThreadEx {
  std::atomic<int> runs{0};
  ~Job() override { WaitFor(); }
  void Execute() override { ++runs; }
};

template <typename Pred>
bool Within(std::chrono::milliseconds limit, Pred done) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// A pool with one parked thread.
void ParkOne(TThreadPool& pool) {
  Job first;
  first.Start(&pool);
  first.WaitFor();
  ASSERT_TRUE(Within(5000ms, [&] { return pool.ParkedCount() == 1; }));
}

// A parked thread given an object under a hold runs it only when the hold
// lets it go (or its park time ends first); a hold outlives a closed pool;
// a new thread is never held.
TEST(ThreadPool, AHeldThreadRunsItsObjectOnceReleased) {
  enum class Then { Go, ParkTimeEnds, PoolClosedThenGo, NothingParked };
  const struct {
    const char* name;
    Then then;
    std::chrono::milliseconds park;
  } cases[] = {
      {"released", Then::Go, 5000ms},
      {"park time ends first", Then::ParkTimeEnds, 300ms},
      {"pool closed, then released", Then::PoolClosedThenGo, 5000ms},
      {"nothing parked", Then::NothingParked, 5000ms},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TThreadPool pool(c.park);
    if (c.then != Then::NothingParked) ParkOne(pool);
    Job job;
    TThreadPoolHold hold;
    job.Start(&pool, &hold);
    if (c.then == Then::NothingParked) {
      EXPECT_TRUE(Within(5000ms, [&] { return job.Finished(); })) << "a new thread runs at once";
    } else {
      std::this_thread::sleep_for(50ms);
      EXPECT_EQ(0, job.runs.load()) << "held";
      if (c.then == Then::PoolClosedThenGo) {
        pool.Close(100ms);
        EXPECT_EQ(0, job.runs.load());
      }
      if (c.then == Then::ParkTimeEnds) {
        EXPECT_TRUE(Within(5000ms, [&] { return job.Finished(); }));
      }
      hold.Go();
      EXPECT_TRUE(Within(5000ms, [&] { return job.Finished(); }));
    }
    job.WaitFor();
    EXPECT_EQ(1, job.runs.load());
    hold.Go();  // a second time: nothing
  }
}

}  // namespace
}  // namespace vt
