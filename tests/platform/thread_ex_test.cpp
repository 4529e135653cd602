#include "platform/thread_ex.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "platform/event_queue.h"
#include "platform/worker_scheduling.h"

namespace vt {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Polls `done` until it holds or `limit` has passed; the result is the check.
bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
  const auto until = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= until) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Held shut until the test opens it: a job that must not end yet waits here.
class Gate {
 public:
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  void Wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

struct Job : TThreadEx {
  std::function<void()> body;
  std::atomic<bool> running{false};
  std::thread::id ran_on;
  void Execute() override {
    ran_on = std::this_thread::get_id();
    running = true;
    if (body) body();
  }
  ~Job() override { WaitFor(); }
};

// A thread that has run a job parks, and the next job runs on it rather than
// on a new thread; jobs that run at once get threads of their own, and at
// most maxParked of them park afterwards. A parked thread ends after its
// park time.
TEST(ThreadPool, ReusesParkedThreads) {
  TThreadPool pool(10s, 1);
  Job first;
  first.Start(&pool);
  first.WaitFor();
  ASSERT_TRUE(Eventually([&] { return pool.ParkedCount() == 1; }));
  Job second;
  second.Start(&pool);
  second.WaitFor();
  EXPECT_EQ(first.ran_on, second.ran_on);

  ASSERT_TRUE(Eventually([&] { return pool.ParkedCount() == 1; }));
  Gate gate;
  Job a, b;
  a.body = b.body = [&] { gate.Wait(); };
  a.Start(&pool);
  b.Start(&pool);
  EXPECT_EQ(0u, pool.ParkedCount());
  ASSERT_TRUE(Eventually([&] { return a.running && b.running; }));
  EXPECT_NE(a.ran_on, b.ran_on);
  gate.Open();
  a.WaitFor();
  b.WaitFor();
  EXPECT_TRUE(Eventually([&] { return pool.ParkedCount() == 1; }));
  pool.Close(0ms);

  TThreadPool brief(20ms, 4);
  Job short_lived;
  short_lived.Start(&brief);
  short_lived.WaitFor();
  EXPECT_TRUE(Eventually([&] { return brief.ParkedCount() == 0; }))
      << "a parked thread ends after its park time";
}

// Close with a bound returns after the bound while a job still runs; the
// job's thread is let go of, finishes its job and ends on its own. A job
// started after Close runs: the pool can be used again.
TEST(ThreadPool, CloseWithABoundLeavesARunningJob) {
  TThreadPool pool(10s, 4);
  Gate gate;
  Job held;
  held.body = [&] { gate.Wait(); };
  held.Start(&pool);
  ASSERT_TRUE(Eventually([&] { return held.running.load(); }));
  const auto started = Clock::now();
  pool.Close(50ms);
  EXPECT_LT(Clock::now() - started, 5s);
  EXPECT_FALSE(held.Finished());
  gate.Open();
  held.WaitFor();
  EXPECT_TRUE(held.Finished());

  Job later;
  later.Start(&pool);
  later.WaitFor();
  EXPECT_TRUE(later.Finished());
  pool.Close(1s);
  EXPECT_EQ(0u, pool.ParkedCount());
}

// Abandon of a thread still running hands the owner to the thread, which
// frees it when its Execute returns; of a finished thread (or one never
// started), frees it at once. Both with and without a pool.
TEST(ThreadEx, AbandonHandsTheOwnerToARunningThread) {
  TThreadPool pool(10s, 4);
  for (TThreadPool* where : {static_cast<TThreadPool*>(nullptr), &pool}) {
    SCOPED_TRACE(where ? "pool" : "own thread");
    Gate gate;
    auto running = std::make_shared<Job>();
    running->body = [&] { gate.Wait(); };
    running->Start(where);
    ASSERT_TRUE(Eventually([&] { return running->running.load(); }));
    std::weak_ptr<Job> watch = running;
    running->Abandon(std::move(running));
    EXPECT_FALSE(watch.expired()) << "the thread keeps what owns it";
    gate.Open();
    EXPECT_TRUE(Eventually([&] { return watch.expired(); })) << "and lets go of it when it ends";

    auto finished = std::make_shared<Job>();
    finished->Start(where);
    finished->WaitFor();
    watch = finished;
    finished->Abandon(std::move(finished));
    EXPECT_TRUE(watch.expired());

    auto never_started = std::make_shared<Job>();
    watch = never_started;
    never_started->Abandon(std::move(never_started));
    EXPECT_TRUE(watch.expired());
  }
  pool.Close(1s);
}

// What Execute raises stays on its thread; the run still finishes, and a
// pool's thread goes on to the next job.
TEST(ThreadEx, AnExceptionEndsOnlyTheRun) {
  TThreadPool pool(10s, 4);
  Job failing;
  failing.body = [] { throw std::runtime_error("failed"); };
  failing.Start(&pool);
  failing.WaitFor();
  EXPECT_TRUE(failing.Finished());
  ASSERT_TRUE(Eventually([&] { return pool.ParkedCount() == 1; }));
  Job next;
  next.Start(&pool);
  next.WaitFor();
  EXPECT_EQ(failing.ran_on, next.ran_on);
  pool.Close(1s);
}

// A job on a yielding pool's thread runs SCHED_BATCH; once it asks for
// ordinary scheduling, the thread changes at its next blocking wait on the
// event queue (not before), and the pool sets it back before the next job.
// On an ordinary pool the request changes nothing.
TEST(WorkerScheduling, AJobLiftsYieldingFromItsNextWaitUntilItEnds) {
  ASSERT_EQ(SCHED_OTHER, ::sched_getscheduler(0)) << "run without chrt";
  const auto wait_briefly = [] { HandleThreadMessage(Clock::now() + 1ms); };
  const struct {
    TPoolThreads kind;
    int at_start, after_asking, after_wait, next_job;
  } cases[] = {
      {TPoolThreads::kYielding, SCHED_BATCH, SCHED_BATCH, SCHED_OTHER, SCHED_BATCH},
      {TPoolThreads::kOrdinary, SCHED_OTHER, SCHED_OTHER, SCHED_OTHER, SCHED_OTHER},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.kind));
    TThreadPool pool(10s, 1, c.kind);
    int at_start = -1, after_asking = -1, after_wait = -1, next_job = -1;
    Job lifting;
    lifting.body = [&] {
      at_start = ::sched_getscheduler(0);
      TWorkerScheduling::WaitAsOrdinaryFromNow();
      after_asking = ::sched_getscheduler(0);
      wait_briefly();
      after_wait = ::sched_getscheduler(0);
    };
    lifting.Start(&pool);
    lifting.WaitFor();
    ASSERT_TRUE(Eventually([&] { return pool.ParkedCount() == 1; }));
    Job next;
    next.body = [&] {
      wait_briefly();
      next_job = ::sched_getscheduler(0);
    };
    next.Start(&pool);
    next.WaitFor();
    EXPECT_EQ(lifting.ran_on, next.ran_on);
    EXPECT_EQ(c.at_start, at_start);
    EXPECT_EQ(c.after_asking, after_asking);
    EXPECT_EQ(c.after_wait, after_wait);
    EXPECT_EQ(c.next_job, next_job);
    pool.Close(1s);
  }
}

}  // namespace
}  // namespace vt
