#include "tcpserver/thread_ex.h"

#include <system_error>

#include "platform/synchronize.h"
#include "util/exception.h"

namespace vt {

std::string CurrentExceptionMessage() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown exception";
  }
}

TThreadEx::~TThreadEx() { WaitFor(); }

void TThreadEx::Start() {
  if (started_) return;
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error& e) {
    RaiseOSError(e.code().value());
  }
  started_ = true;
}

void TThreadEx::Run() {
  try {
    Execute();
  } catch (...) {
    // Nothing may leave a thread; Execute reports its own failures.
  }
  bool abandoned;
  {
    std::lock_guard lock(end_mutex_);
    finished_.store(true, std::memory_order_release);
    abandoned = abandoned_;
  }
  if (abandoned) {
    delete this;  // detached: nobody else holds the object any more
    return;
  }
  AfterExecute();
}

void TThreadEx::Terminate() { terminated_.store(true, std::memory_order_release); }

void TThreadEx::WaitFor() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void TThreadEx::Synchronize(const std::function<void()>& fn) {
  if (IsMainThread()) {
    fn();  // not a wait of this thread: leave InSynchronize alone
    return;
  }
  vt::Synchronize([this, &fn] {
    ++sync_depth_;
    try {
      fn();
    } catch (...) {
      --sync_depth_;
      throw;
    }
    --sync_depth_;
  });
}

void TThreadEx::Abandon(std::unique_ptr<TThreadEx> thread) {
  if (!thread) return;
  {
    std::lock_guard lock(thread->end_mutex_);
    if (thread->started_ && !thread->finished_.load(std::memory_order_acquire)) {
      thread->abandoned_ = true;
      thread->thread_.detach();
      thread.release();  // the thread deletes it when Execute returns
      return;
    }
  }
  thread.reset();  // joins a thread that has only its last steps left
}

}  // namespace vt
