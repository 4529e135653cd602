#include "platform/synchronize.h"

#include <condition_variable>
#include <exception>
#include <mutex>

#include "platform/event_queue.h"

namespace vt {

using namespace event_queue_detail;

namespace {

// One call, living on the caller's stack until it is run or aborted.
class SynchronizedCall : public ThreadTask {
 public:
  explicit SynchronizedCall(const std::function<void()>& fn) : fn_(fn) {}

  void Run() override {
    std::exception_ptr error;
    try {
      fn_();
    } catch (...) {
      error = std::current_exception();
    }
    Finish(State::kDone, std::move(error));
  }

  void Abort() override { Finish(State::kAborted, nullptr); }

  // Blocks until the call has been run or aborted; then rethrows what fn
  // threw, or raises ESynchronize when aborted.
  void Wait() {
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return state_ != State::kPending; });
    if (state_ == State::kAborted) throw ESynchronize("Main thread no longer serves synchronised calls");
    if (error_) std::rethrow_exception(error_);
  }

 private:
  enum class State { kPending, kDone, kAborted };

  void Finish(State state, std::exception_ptr error) {
    // The waiter may destroy this object as soon as it sees the new state, so
    // nothing touches it after the lock is released.
    std::lock_guard lock(mutex_);
    error_ = std::move(error);
    state_ = state;
    done_.notify_one();
  }

  const std::function<void()>& fn_;
  std::mutex mutex_;
  std::condition_variable done_;
  State state_ = State::kPending;
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
