#include "platform/synchronize.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <exception>
#include <memory>
#include <string>
#include <utility>

#include "platform/event_queue.h"
#include "platform/thread_ex.h"

namespace vt {

using namespace event_queue_detail;

namespace {

// One call, living on the caller's stack until it is run or aborted.
//
// The waiter sleeps on the state word itself (a futex), so that the main
// thread wakes it with one call and the waiter, once woken, needs no lock
// the main thread might still hold: a condition variable notified under its
// mutex would make the woken waiter block once more on that mutex (and the
// library's atomic wait spins and yields first, which a loaded machine
// pays for).
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
    int state = state_.load(std::memory_order_acquire);
    while (state == kPending || state == kSleeping) {
      // Says so before sleeping, so that a call run before this point costs
      // the main thread no wake-up.
      if (state == kPending && !state_.compare_exchange_strong(state, kSleeping, std::memory_order_acq_rel))
        continue;
      // Returns when woken, or at once when the word has changed already.
      ::syscall(SYS_futex, reinterpret_cast<int*>(&state_), FUTEX_WAIT_PRIVATE, kSleeping, nullptr, nullptr,
                0);
      state = state_.load(std::memory_order_acquire);
    }
    if (state == kAborted) throw ESynchronize("Main thread no longer serves synchronised calls");
    if (error_) std::rethrow_exception(error_);
  }

 private:
  static constexpr int kPending = 0;
  static constexpr int kDone = 1;
  static constexpr int kAborted = 2;
  static constexpr int kSleeping = 3;  // pending, and the waiter sleeps on the word

  void Finish(int state) {
    // The error is published by the exchange; a waiter that has not gone to
    // sleep yet sees the new state and needs no wake-up. The waiter may
    // return as soon as
    // it sees the new state; the wake-up after it only names the word's
    // address, on the stack of the waiting thread, which outlives the call
    // (a thread waiting here is alive), so at worst it wakes another wait on
    // that address spuriously, which every such wait allows for.
    if (state_.exchange(state, std::memory_order_acq_rel) == kSleeping)
      ::syscall(SYS_futex, reinterpret_cast<int*>(&state_), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
  }

  static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free,
                "the state word is a futex");

  const std::function<void()>& fn_;
  std::atomic<int> state_{kPending};
  std::exception_ptr error_;
};

// Writes one line to standard error, the one place left to report to: for a
// failure nobody waits for.
void WriteErrorLine(const std::string& line) {
  const std::string text = line + "\n";
  // Nothing is left to report a failure to write this line to.
  [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
}

// Runs a posted call on the main thread. Nobody waits for it, and nothing
// above it on the main thread knows it: what it raises is said on standard
// error and goes no further.
void RunPosted(const std::function<void()>& fn) {
  try {
    fn();
  } catch (...) {
    WriteErrorLine("Posted call failed: " + CurrentExceptionMessage());
  }
}

// One posted call; the queue owns it and frees it once it has run or been
// aborted.
class PostedCall : public ThreadTask {
 public:
  explicit PostedCall(std::function<void()> fn) : fn_(std::move(fn)) {}

  void Run() override { RunPosted(fn_); }
  void Abort() override {}

 private:
  std::function<void()> fn_;
};

}  // namespace

bool PostToMainThread(std::function<void()> fn) {
  if (IsMainThread()) {
    RunPosted(fn);
    return true;
  }
  return PostTask(*MainQueue(), std::make_unique<PostedCall>(std::move(fn)));
}

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

bool TellMainThread(const char* what, const std::function<void()>& tell) {
  try {
    tell();
    return true;
  } catch (const ESynchronize&) {
    return false;
  } catch (...) {
    WriteErrorLine(std::string(what) + ": " + CurrentExceptionMessage());
    return false;
  }
}

void ShutdownSynchronize() { RefuseTasks(*MainQueue()); }

}  // namespace vt
