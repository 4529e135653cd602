#pragma once

// TThreadEx: a thread object that is made suspended and started once.
//
// Execute runs on a new std::thread after Start. Synchronize runs a call on
// the main thread and waits for it (platform/synchronize.h); the thread
// object remembers while such a call is being run, so that the main thread,
// when it waits for threads to end, can tell a thread that waits for the
// main thread itself (and can only go on after the wait) from one that is
// still busy.
//
// Lifetime: the owner deletes the object; the destructor joins the thread,
// so the owner first makes sure the thread ends (Terminate, and keep serving
// Synchronize). A derived class calls WaitFor in its own destructor too: the
// run makes its virtual AfterExecute call after Finished is set, and must
// not meet the object half taken apart. When a thread cannot be waited for, Abandon hands what owns
// the object to the thread, which lets go of it when Execute returns.
//
// Threads: Start, WaitFor, Abandon and the destructor run on the owner's
// thread; Terminate, Terminated and Finished on any thread; Synchronize on
// the object's own thread (on the main thread it runs the call at once).
//
// Owners rely on nothing but Start, Finished, WaitFor, Terminate and Abandon,
// so a pool of reusable threads (TThreadPool) can run Execute behind them
// without changing what the owner sees: Start hands the object to a parked
// thread of the pool, and WaitFor waits until the object's run is over
// rather than for the thread's end.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace vt {

class TThreadEx;

// How a pool's threads share the processor with the rest of the process.
enum class TPoolThreads {
  kOrdinary,
  // A woken thread does not take the processor from the thread that is
  // running (SCHED_BATCH); its share of the processor stays what it was.
  // For threads woken by one that has more to hand out; the policy and how
  // a job lifts it are TWorkerScheduling's (platform/worker_scheduling.h).
  kYielding,
};

// Threads that run TThreadEx objects one after the other: a thread that has
// run one parks for the next, so that an owner that makes a thread object
// for every connection pays for making and ending an OS thread (and its
// event queue) only when more objects run at once than ever before. Between
// two objects a thread's event queue is emptied (RecycleThreadQueue), so
// every object starts as on a fresh thread. A thread parked for ParkTime
// without work ends; at most MaxParked threads are parked at once.
//
// Threads: Start (through TThreadEx::Start) and Close on the owner's
// thread. The owner closes the pool (or destroys it) once the objects it
// started have ended.
class TThreadPool {
 public:
  explicit TThreadPool(std::chrono::milliseconds parkTime = std::chrono::milliseconds(2000),
                       std::size_t maxParked = 64, TPoolThreads kind = TPoolThreads::kOrdinary);
  // Close with no wait for threads still running an object.
  ~TThreadPool();
  TThreadPool(const TThreadPool&) = delete;
  TThreadPool& operator=(const TThreadPool&) = delete;

  // Ends the parked threads and waits until they are gone. Threads still
  // running an object are waited for up to `wait`; those still busy then
  // end on their own when their object's run is over. The pool can be used
  // again afterwards.
  void Close(std::chrono::milliseconds wait);
  // Threads parked now.
  std::size_t ParkedCount() const;

 private:
  friend class TThreadEx;
  struct Worker;
  struct State;
  // Runs `job` on a parked thread, else on a new one; raises
  // std::system_error when no thread can be made.
  void Start(TThreadEx* job);
  static void Serve(std::shared_ptr<State> state, Worker* self, TThreadEx* job);
  static std::shared_ptr<State> NewState(std::chrono::milliseconds parkTime, std::size_t maxParked,
                                         TPoolThreads kind);

  std::shared_ptr<State> state_;
};

// Inside a catch block: the message of the exception being handled
// ("Unknown exception" for one that is not a std::exception).
std::string CurrentExceptionMessage();

class TThreadEx {
 public:
  TThreadEx() = default;
  virtual ~TThreadEx();
  TThreadEx(const TThreadEx&) = delete;
  TThreadEx& operator=(const TThreadEx&) = delete;

  // Runs Execute on a new thread, or on a thread of `pool` when given;
  // raises EOSError when no thread can be made. Only the first call starts
  // anything.
  void Start(TThreadPool* pool = nullptr);
  bool Started() const { return started_; }
  // Execute has returned (or raised).
  bool Finished() const { return finished_.load(std::memory_order_acquire); }
  bool Terminated() const { return terminated_.load(std::memory_order_acquire); }

  // Asks the thread to end: sets Terminated. Subclasses add what wakes their
  // Execute. Any thread.
  virtual void Terminate();

  // Waits until the thread has ended, or for a pool's thread until the
  // object's run on it is over (at once when it never started, or when
  // called on that thread itself).
  void WaitFor();

  // Runs `fn` on the main thread and waits for it; rethrows what it raised.
  // Raises ESynchronize when the main thread no longer serves calls.
  void Synchronize(const std::function<void()>& fn);
  // Main thread: a Synchronize call of this thread is running right now
  // (further down the main thread's stack).
  bool InSynchronize() const { return sync_depth_ > 0; }

  // Gives up waiting for the thread. `owner` owns this object (directly or
  // through what holds it). When the thread has finished (or never started)
  // the owner is let go of now, which joins the thread; otherwise the thread
  // is detached, keeps the owner and lets go of it when Execute returns,
  // touching the object no more afterwards. Owner's thread; once.
  void Abandon(std::shared_ptr<void> owner);

 protected:
  // The thread's work. Exceptions that leave it are swallowed.
  virtual void Execute() = 0;
  // Runs on the thread after Execute, once Finished is set, unless the object
  // was abandoned. The owner may already be joining: keep it short.
  virtual void AfterExecute() {}

 private:
  friend class TThreadPool;

  // The object's run; the last step of it that touches the object sets
  // run_over_.
  void Run();

  std::thread thread_;  // a thread of its own (no pool)
  bool started_ = false;
  int sync_depth_ = 0;  // main thread only
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::mutex end_mutex_;  // orders the end of Run against Abandon and WaitFor
  std::condition_variable ended_;
  bool run_over_ = false;  // under end_mutex_
  bool abandoned_ = false;
  std::shared_ptr<void> keeper_;           // under end_mutex_: what owns an abandoned object
  std::atomic<std::thread::id> runner_{};  // the thread that runs Run
  std::atomic<bool>* job_over_ = nullptr;  // the pool thread's mark, set as the run ends
};

}  // namespace vt
