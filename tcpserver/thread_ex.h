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
// Synchronize). When a thread cannot be waited for, Abandon hands the object
// to the thread, which deletes it when Execute returns.
//
// Threads: Start, WaitFor, Abandon and the destructor run on the owner's
// thread; Terminate, Terminated and Finished on any thread; Synchronize on
// the object's own thread (on the main thread it runs the call at once).
//
// Owners rely on nothing but Start, Finished, WaitFor, Terminate and Abandon,
// so a pool of reusable threads could run Execute behind them (Start hands
// the object to an idle thread, WaitFor waits for Finished) without changing
// what the owner sees.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace vt {

// Inside a catch block: the message of the exception being handled
// ("Unknown exception" for one that is not a std::exception).
std::string CurrentExceptionMessage();

class TThreadEx {
 public:
  TThreadEx() = default;
  virtual ~TThreadEx();
  TThreadEx(const TThreadEx&) = delete;
  TThreadEx& operator=(const TThreadEx&) = delete;

  // Runs Execute on a new thread; raises EOSError when no thread can be
  // made. Only the first call starts anything.
  void Start();
  bool Started() const { return started_; }
  // Execute has returned (or raised).
  bool Finished() const { return finished_.load(std::memory_order_acquire); }
  bool Terminated() const { return terminated_.load(std::memory_order_acquire); }

  // Asks the thread to end: sets Terminated. Subclasses add what wakes their
  // Execute. Any thread.
  virtual void Terminate();

  // Waits until the thread has ended (at once when it never started).
  void WaitFor();

  // Runs `fn` on the main thread and waits for it; rethrows what it raised.
  // Raises ESynchronize when the main thread no longer serves calls.
  void Synchronize(const std::function<void()>& fn);
  // Main thread: a Synchronize call of this thread is running right now
  // (further down the main thread's stack).
  bool InSynchronize() const { return sync_depth_ > 0; }

  // Gives up the object: joined and deleted now when the thread has finished
  // (or never started), otherwise detached and deleted by the thread itself
  // when Execute returns.
  static void Abandon(std::unique_ptr<TThreadEx> thread);

 protected:
  // The thread's work. Exceptions that leave it are swallowed.
  virtual void Execute() = 0;
  // Runs on the thread after Execute, once Finished is set, unless the object
  // was abandoned. The owner may already be joining: keep it short.
  virtual void AfterExecute() {}

 private:
  void Run();

  std::thread thread_;
  bool started_ = false;
  int sync_depth_ = 0;  // main thread only
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::mutex end_mutex_;  // orders the end of Run against Abandon
  bool abandoned_ = false;
};

}  // namespace vt
