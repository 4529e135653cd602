#include "platform/thread_ex.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <list>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/event_queue.h"

#include "platform/synchronize.h"
#include "platform/worker_scheduling.h"
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

// ---------------------------------------------------------------------------
// TThreadPool

namespace {

// A parked thread sleeps on a word of its own (a futex) rather than on a
// condition variable: waking it then costs the giver one call and the
// sleeper none (a condition variable makes the woken thread take its mutex
// as if contended, and its release costs one more call).
constexpr int kParkedAsleep = 0;    // parked, no wake-up yet
constexpr int kParkedWoken = 1;     // woken (or about to be)
constexpr int kParkedSleeping = 2;  // parked, and the thread sleeps on the word

static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free,
              "the wake word is a futex");

// Sleeps while `word` is kParkedAsleep, at most `timeout`; at once when it
// is not (any more). It says so on the word first, so that a wake-up that
// comes before costs neither side a call.
void SleepOnWord(std::atomic<int>& word, std::chrono::nanoseconds timeout) {
  int expected = kParkedAsleep;
  if (!word.compare_exchange_strong(expected, kParkedSleeping, std::memory_order_acq_rel)) return;
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
  timespec relative{static_cast<time_t>(seconds.count()), static_cast<long>((timeout - seconds).count())};
  ::syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAIT_PRIVATE, kParkedSleeping, &relative, nullptr,
            0);
}

void WakeWord(std::atomic<int>& word) {
  if (word.exchange(kParkedWoken, std::memory_order_acq_rel) == kParkedSleeping)
    ::syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

}  // namespace

struct TThreadPool::Worker {
  std::thread thread;
  // What a parked thread sleeps on; the job and the pool's state are read
  // under the pool's mutex, never from the word.
  std::atomic<int> wake{kParkedAsleep};
  TThreadEx* job = nullptr;  // handed over while parked
  bool busy = true;          // running an object (or on the way to park)
  // Set by the object's run as it ends, before its owner can see it over:
  // a busy thread with this set has only its way to the parking left.
  std::atomic<bool> job_over{false};
  bool ended = false;  // the thread function has returned or is about to
};

// Shared with the threads, so that a thread left running an object after
// Close still has it when it ends.
struct TThreadPool::State {
  std::mutex mutex;
  std::condition_variable changed;  // a thread stopped being busy
  std::list<Worker> workers;
  std::vector<Worker*> parked;
  std::size_t busy = 0;
  std::size_t ended = 0;  // workers whose thread has ended and is not joined yet
  bool closing = false;
  std::chrono::milliseconds park_time;
  std::size_t max_parked;
  TPoolThreads kind;
};

std::shared_ptr<TThreadPool::State> TThreadPool::NewState(std::chrono::milliseconds parkTime,
                                                          std::size_t maxParked, TPoolThreads kind) {
  auto state = std::make_shared<State>();
  state->park_time = parkTime;
  state->max_parked = maxParked;
  state->kind = kind;
  return state;
}

TThreadPool::TThreadPool(std::chrono::milliseconds parkTime, std::size_t maxParked, TPoolThreads kind)
    : state_(NewState(parkTime, maxParked, kind)) {}

TThreadPool::~TThreadPool() { Close(std::chrono::milliseconds(0)); }

std::size_t TThreadPool::ParkedCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->parked.size();
}

void TThreadPool::Start(TThreadEx* job) {
  State& state = *state_;
  std::list<Worker> ended;
  Worker* woken = nullptr;
  {
    std::lock_guard lock(state.mutex);
    // Threads that ended after parking too long are joined here; the list
    // is looked through only when there are some.
    for (auto it = state.workers.begin(); state.ended > 0 && it != state.workers.end();) {
      const auto next = std::next(it);
      if (it->ended) {
        ended.splice(ended.end(), state.workers, it);
        --state.ended;
      }
      it = next;
    }
    if (!state.parked.empty()) {
      // The most recently parked: its stack is the warmest.
      Worker* worker = state.parked.back();
      state.parked.pop_back();
      worker->job = job;
      worker->busy = true;
      ++state.busy;
      woken = worker;
    } else {
      Worker& worker = state.workers.emplace_back();
      try {
        worker.thread = std::thread(&TThreadPool::Serve, state_, &worker, job);
      } catch (...) {
        state.workers.pop_back();
        throw;
      }
      ++state.busy;
    }
  }
  // Woken outside the lock, so that it need not wait for it at once. Its
  // record stays: a busy thread is never joined.
  if (woken) WakeWord(woken->wake);
  for (Worker& worker : ended) worker.thread.join();
}

void TThreadPool::Serve(std::shared_ptr<State> state, Worker* self, TThreadEx* job) {
  const bool yielding = state->kind == TPoolThreads::kYielding;
  if (yielding) TWorkerScheduling::BeginYielding();
  for (;;) {
    self->job_over.store(false, std::memory_order_relaxed);
    job->job_over_ = &self->job_over;
    job->Run();  // the object may be gone from here on
    RecycleThreadQueue();
    if (yielding) TWorkerScheduling::EndJob();
    std::unique_lock lock(state->mutex);
    self->busy = false;
    --state->busy;
    state->changed.notify_all();
    if (state->closing || state->parked.size() >= state->max_parked) break;
    state->parked.push_back(self);
    const auto until = std::chrono::steady_clock::now() + state->park_time;
    for (;;) {
      // Reset under the lock, before the look: a giver sets the job (or
      // the pool closes) under it, then wakes the word, so no wake-up is
      // lost; a late wake-up of an earlier job costs one more look.
      self->wake.store(kParkedAsleep, std::memory_order_relaxed);
      if (self->job != nullptr || state->closing) break;
      const auto now = std::chrono::steady_clock::now();
      if (now >= until) break;
      lock.unlock();
      SleepOnWord(self->wake, until - now);
      lock.lock();
    }
    if (self->job) {
      job = std::exchange(self->job, nullptr);  // the giver took us off the parked list
      continue;
    }
    state->parked.erase(std::find(state->parked.begin(), state->parked.end(), self));
    break;
  }
  std::lock_guard lock(state->mutex);
  self->ended = true;
  ++state->ended;
}

void TThreadPool::Close(std::chrono::milliseconds wait) {
  const std::shared_ptr<State> state =
      std::exchange(state_, NewState(state_->park_time, state_->max_parked, state_->kind));
  std::list<Worker> idle;
  {
    std::unique_lock lock(state->mutex);
    state->closing = true;
    for (Worker* worker : state->parked) WakeWord(worker->wake);
    // Only threads whose object's run is over are worth waiting for.
    state->changed.wait_for(lock, wait, [&] {
      return std::none_of(state->workers.begin(), state->workers.end(), [](const Worker& worker) {
        return worker.busy && worker.job_over.load(std::memory_order_acquire);
      });
    });
    // The idle threads are joined; a busy one ends on its own after its
    // object and keeps its record (and the state) until then.
    for (auto it = state->workers.begin(); it != state->workers.end();) {
      const auto next = std::next(it);
      if (it->busy) {
        it->thread.detach();
      } else {
        idle.splice(idle.end(), state->workers, it);
      }
      it = next;
    }
  }
  for (Worker& worker : idle) worker.thread.join();
}

// ---------------------------------------------------------------------------
// TThreadEx

TThreadEx::~TThreadEx() { WaitFor(); }

void TThreadEx::Start(TThreadPool* pool) {
  if (started_) return;
  try {
    if (pool) {
      pool->Start(this);
    } else {
      thread_ = std::thread([this] { Run(); });
    }
  } catch (const std::system_error& e) {
    RaiseOSError(e.code().value());
  }
  started_ = true;
}

void TThreadEx::Run() {
  runner_.store(std::this_thread::get_id(), std::memory_order_release);
  try {
    Execute();
  } catch (...) {
    // Nothing may leave a thread; Execute reports its own failures.
  }
  std::shared_ptr<void> keeper;
  bool abandoned;
  {
    std::lock_guard lock(end_mutex_);
    finished_.store(true, std::memory_order_release);
    abandoned = abandoned_;
    keeper = std::move(keeper_);
  }
  if (abandoned) {
    keeper.reset();  // detached: may free this object, which is not touched again
    return;
  }
  AfterExecute();
  if (job_over_) job_over_->store(true, std::memory_order_release);
  // The waiter may free the object as soon as it sees the run over: nothing
  // touches it after the lock is released.
  std::lock_guard lock(end_mutex_);
  run_over_ = true;
  ended_.notify_all();
}

void TThreadEx::Terminate() { terminated_.store(true, std::memory_order_release); }

void TThreadEx::WaitFor() {
  if (thread_.joinable()) {
    if (thread_.get_id() != std::this_thread::get_id()) thread_.join();
    return;
  }
  if (!started_ || runner_.load(std::memory_order_acquire) == std::this_thread::get_id()) return;
  std::unique_lock lock(end_mutex_);
  ended_.wait(lock, [this] { return run_over_ || abandoned_; });
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

void TThreadEx::Abandon(std::shared_ptr<void> owner) {
  {
    std::lock_guard lock(end_mutex_);
    if (started_ && !finished_.load(std::memory_order_acquire)) {
      abandoned_ = true;
      keeper_ = std::move(owner);
      if (thread_.joinable()) thread_.detach();
      return;
    }
  }
  owner.reset();  // joins a thread that has only its last steps left; may free this object
}

}  // namespace vt
