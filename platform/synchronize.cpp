#include "platform/synchronize.h"

#include <atomic>
#include <exception>

#include "platform/event_queue.h"

namespace vt {

using namespace event_queue_detail;

namespace {

// One call, living on the caller's stack until it is run or aborted.
//
// The waiter sleeps on the state word itself (a futex), so that the main
// thread wakes it with one call and the waiter, once woken, needs no lock
// the main thread might still hold: a condition variable notified under its
// mutex would make the woken waiter block once more on that mutex.
class SynchronizedCall : public ThreadTask {
 public:
  explicit SynchronizedCall(const std::function<void()>& fn) : fn_(fn) {}

  void Run() override {
    try {
      fn_();
    } catch (...) {
      error_ = std::current_exception();
    }
    Finish(kDone);
  }

  void Abort() override { Finish(kAborted); }

  // Blocks until the call has been run or aborted; then rethrows what fn
  // threw, or raises ESynchronize when aborted.
  void Wait() {
    int state;
    while ((state = state_.load(std::memory_order_acquire)) == kPending) state_.wait(kPending);
    if (state == kAborted) throw ESynchronize("Main thread no longer serves synchronised calls");
    if (error_) std::rethrow_exception(error_);
  }

 private:
  static constexpr int kPending = 0;
  static constexpr int kDone = 1;
  static constexpr int kAborted = 2;

  void Finish(int state) {
    // The error is published by the store. The waiter may return as soon as
    // it sees the new state; the wake-up after it only names the word's
    // address, on the stack of the waiting thread, which outlives the call
    // (a thread waiting here is alive), so at worst it wakes another wait on
    // that address spuriously, which every such wait allows for.
    state_.store(state, std::memory_order_release);
    state_.notify_one();
  }

  const std::function<void()>& fn_;
  std::atomic<int> state_{kPending};
  std::exception_ptr error_;
};

}  // namespace

bool IsMainThread() { return CurrentThreadId() == MainThreadId(); }

void InitMainThread() { SetMainThreadId(CurrentThreadId()); }

void Synchronize(const std::function<void()>& fn) {
  if (IsMainThread()) {
    fn();
    return;
  }
  SynchronizedCall call(fn);
  if (!PostTask(*MainQueue(), &call)) throw ESynchronize("Main thread no longer serves synchronised calls");
  call.Wait();
}

void ShutdownSynchronize() { RefuseTasks(*MainQueue()); }

}  // namespace vt
