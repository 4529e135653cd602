#include "platform/event_queue.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

#include "platform/synchronize.h"
#include "platform/window_handle.h"
#include "platform/worker_scheduling.h"
#include "util/exception.h"

namespace vt {
namespace event_queue_detail {

namespace {

// epoll keys of the queue's own descriptors. A watched descriptor's key is
// the address of its Watch, never one of these.
constexpr std::uint64_t kWakeKey = 1;
// Wake-ups taken before the eventfd's count is read back: a wake-up costs
// the owner no read, and the count (each write adds 1) stays far below its
// limit of 2^64 - 2.
constexpr std::uint32_t kWakesBetweenReads = 1u << 20;
constexpr std::uint64_t kTimerKey = 2;
constexpr int kMaxEvents = 64;
// The one thread message: run the task in the payload.
constexpr std::uint32_t kRunTaskMessage = 1;

std::int64_t NowNs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

struct Timer {
  HWindow window;
  std::uint32_t id;
  std::int64_t interval_ns;
  std::int64_t due_ns;
  bool pending;  // a tick is queued and not yet taken
};

// One registration of a descriptor with the queue's epoll instance, which
// hands its address back with each event. Ended by UnwatchDescriptor (any
// thread), it is kept until the owner next starts a collection: an event it
// took before the removal, or a look-up it made, may still point at it.
struct Watch {
  Watch(int watched_fd, std::shared_ptr<IoWatcher> its_watcher)
      : fd(watched_fd), watcher(std::move(its_watcher)) {}
  const int fd;
  const std::shared_ptr<IoWatcher> watcher;
  // Events taken after the watch ended are dropped.
  std::atomic<bool> ended{false};
};

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

class EventQueue : public std::enable_shared_from_this<EventQueue> {
 public:
  explicit EventQueue(int owner_tid);
  ~EventQueue();
  EventQueue(const EventQueue&) = delete;
  EventQueue& operator=(const EventQueue&) = delete;

  bool Post(const Message& message);
  void Wake();
  // Before handing control back to a foreign event loop: makes sure the
  // epoll descriptor becomes readable for every message still to come.
  void PrepareForForeignLoop();
  // Collects a new batch (the old one must be used up). timeout_ms as for
  // epoll_wait. Returns whether the batch holds anything.
  bool Collect(int timeout_ms);
  // Takes the next message of the batch, skipping ticks of killed timers and
  // aborted tasks.
  bool NextFromBatch(Message& message);
  bool BatchEmpty() const { return pos_ >= batch_.size(); }
  // A tick of (window, id) was taken: true when its timer still exists.
  bool TickTaken(HWindow window, std::uint32_t id);
  void RefuseTasks();
  void Close();
  // Owner thread: drops every waiting message when no window or watch is
  // left; false (and nothing dropped) otherwise.
  bool Recycle();

  const int owner_tid;
  int epoll_fd = -1;

  // Guards windows, timers, watches, ended_watches_ and armed_ns_.
  std::mutex state_mutex;
  std::unordered_map<HWindow, TWindowHandle*> windows;
  std::vector<Timer> timers;
  std::unordered_map<int, std::unique_ptr<Watch>> watches;

  // Owner thread: the object of `window`, or null; no lock while the window
  // looked up last is still there.
  TWindowHandle* WindowTarget(HWindow window);
  // Owner thread: the watch of `fd`, or null; no lock while nothing was
  // watched or unwatched since the last look-up. It stays valid until the
  // owner next starts a collection.
  Watch* FindWatch(int fd);
  // With state_mutex held: `window` has gone.
  void WindowRemovedLocked() { window_changes_.fetch_add(1, std::memory_order_release); }
  // With state_mutex held: adds a watch, or ends one (it is freed by the
  // owner later, see Watch).
  void WatchAddedLocked() { watch_changes_.fetch_add(1, std::memory_order_release); }
  void EndWatchLocked(std::unique_ptr<Watch> watch);

  void ArmTimerLocked();
  // After each change of timers, with state_mutex held.
  void TimersChangedLocked() { has_timers_.store(!timers.empty(), std::memory_order_release); }
  // Owner thread only.
  std::vector<int> rechecks;

 private:
  // The parts of a collection. Each is called only when its flag or list
  // says there is something for it: most collections have nothing but one
  // readiness event.
  void CollectDueTimers(MessageSink& sink);
  void RunRechecks(MessageSink& sink);
  // Frees the watches ended since the last collection.
  void FreeEndedWatches();
  // Whether posts may be waiting, or a wake-up is owed (see the definition).
  bool IncomingOwed() const;
  // Moves the posts into the batch.
  void TakeIncoming();

  int event_fd_ = -1;
  // Wake-ups taken without reading the eventfd (see Collect).
  std::uint32_t wakes_unread_ = 0;
  int timer_fd_ = -1;
  // timers is not empty: looked at without the lock before each wait. A
  // timer added meanwhile arms the timerfd, whose wake-up takes the lock.
  std::atomic<bool> has_timers_{false};
  std::int64_t armed_ns_ = 0;  // when the timerfd fires; 0 when not armed

  std::mutex post_mutex_;
  std::vector<Message> incoming_;
  // Both written under post_mutex_; the owner reads them without it before
  // it waits (see TakeIncoming). incoming_ is not empty:
  std::atomic<bool> has_incoming_{false};
  // A wake-up is on its way (or the owner looks before it waits anyway):
  // posters need not write the eventfd.
  std::atomic<bool> signalled_{false};
  bool closed_ = false;
  bool tasks_refused_ = false;

  // Ended watches not yet freed (under state_mutex), and whether there are
  // any (read by the owner without the lock).
  std::vector<std::unique_ptr<Watch>> ended_watches_;
  std::atomic<bool> has_ended_watches_{false};
  // Counts removals of windows, and additions and ends of watches: the
  // owner's last look-ups stand while these have not moved.
  std::atomic<std::uint64_t> window_changes_{0};
  std::atomic<std::uint64_t> watch_changes_{0};

  // Owner thread only.
  std::vector<Message> batch_;
  std::size_t pos_ = 0;
  std::vector<int> recheck_scratch_;
  HWindow last_window_ = 0;
  TWindowHandle* last_target_ = nullptr;
  std::uint64_t last_window_changes_ = 0;
  int last_fd_ = -1;
  Watch* last_watch_ = nullptr;
  std::uint64_t last_watch_changes_ = ~std::uint64_t{0};
};

namespace {

struct Globals {
  std::shared_mutex table_mutex;
  std::unordered_map<HWindow, EventQueue*> table;  // window -> owning queue
  std::atomic<std::uint64_t> next_window{1};

  std::mutex watch_mutex;
  std::unordered_map<int, std::weak_ptr<EventQueue>> watch_owner;  // fd -> queue watching it

  std::mutex main_mutex;
  std::shared_ptr<EventQueue> main_queue;
  std::atomic<int> main_tid{0};
};

// Never destroyed: queues of threads that end during process exit still use it.
Globals& G() {
  static Globals* globals = new Globals;
  return *globals;
}

// Owns the calling thread's queue; closes it when the thread ends.
struct QueueHolder {
  std::shared_ptr<EventQueue> queue;
  ~QueueHolder() {
    if (queue) queue->Close();
  }
};

thread_local QueueHolder t_holder;

}  // namespace

int CurrentThreadId() {
  thread_local const int tid = static_cast<int>(::gettid());
  return tid;
}

int MainThreadId() {
  const int tid = G().main_tid.load(std::memory_order_acquire);
  if (tid != 0) return tid;
  // The process id, asked once per thread (as the thread id is): every
  // synchronised call asks whether it runs on the main thread.
  thread_local const int process_id = static_cast<int>(::getpid());
  return process_id;
}

void SetMainThreadId(int tid) { G().main_tid.store(tid, std::memory_order_release); }

EventQueue::EventQueue(int owner) : owner_tid(owner) {
  epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
  event_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  timer_fd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  int error = (epoll_fd < 0 || event_fd_ < 0 || timer_fd_ < 0) ? errno : 0;
  if (error == 0) {
    epoll_event wake{};
    // Edge-triggered: every write reports once, so the owner need not read
    // the eventfd back after each wake-up (see Collect).
    wake.events = EPOLLIN | EPOLLET;
    wake.data.u64 = kWakeKey;
    epoll_event timer{};
    timer.events = EPOLLIN;
    timer.data.u64 = kTimerKey;
    if (::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, event_fd_, &wake) != 0 ||
        ::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, timer_fd_, &timer) != 0)
      error = errno;
  }
  if (error != 0) {
    CloseFd(epoll_fd);
    CloseFd(event_fd_);
    CloseFd(timer_fd_);
    RaiseOSError(error);
  }
}

EventQueue::~EventQueue() {
  CloseFd(epoll_fd);
  CloseFd(event_fd_);
  CloseFd(timer_fd_);
}

bool EventQueue::Post(const Message& message) {
  bool wake = false;
  {
    std::lock_guard lock(post_mutex_);
    if (closed_ || (message.window == 0 && tasks_refused_)) return false;
    incoming_.push_back(message);
    has_incoming_.store(true, std::memory_order_relaxed);
    // The owner collects everything posted before it next waits, so only
    // other threads need to wake it, and only once until it has looked.
    if (!signalled_.load(std::memory_order_relaxed) && CurrentThreadId() != owner_tid) {
      signalled_.store(true, std::memory_order_relaxed);
      wake = true;
    }
  }
  if (wake) Wake();
  return true;
}

void EventQueue::Wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t written = ::write(event_fd_, &one, sizeof one);
}

void EventQueue::PrepareForForeignLoop() {
  bool wake = false;
  {
    std::lock_guard lock(post_mutex_);
    // Posts already waiting need a wake-up now; later ones must write one.
    wake = !incoming_.empty();
    signalled_.store(wake, std::memory_order_relaxed);
  }
  if (wake) Wake();
}

bool EventQueue::IncomingOwed() const {
  // Read without the lock before a wait. When neither is set there is
  // nothing to take, and a post from another thread will find signalled_
  // clear and write the eventfd, so the wait that follows cannot miss it.
  // signalled_ is set only by posters (each with a wake-up) and cleared only
  // by the owner in TakeIncoming: read clear, it stays clear until a post
  // that wakes us. has_incoming_ covers the owner's own posts, which wake
  // nobody, and posts that came while signalled_ was set (then it reads
  // set, its last writer being a poster this thread has synchronised with
  // through the lock since). After a wake-up the lock is taken regardless.
  return signalled_.load(std::memory_order_acquire) || has_incoming_.load(std::memory_order_acquire);
}

void EventQueue::TakeIncoming() {
  std::lock_guard lock(post_mutex_);
  if (!incoming_.empty()) {
    if (batch_.empty()) {
      batch_.swap(incoming_);
    } else {
      batch_.insert(batch_.end(), incoming_.begin(), incoming_.end());
      incoming_.clear();
    }
    has_incoming_.store(false, std::memory_order_relaxed);
  }
  // From now on a post must wake us (we may be about to wait).
  if (batch_.empty()) signalled_.store(false, std::memory_order_relaxed);
}

bool EventQueue::Collect(int timeout_ms) {
  batch_.clear();
  pos_ = 0;
  if (has_ended_watches_.load(std::memory_order_acquire)) FreeEndedWatches();
  MessageSink sink(batch_);
  if (!rechecks.empty()) RunRechecks(sink);
  if (IncomingOwed()) TakeIncoming();

  epoll_event events[kMaxEvents];
  if (batch_.empty() && timeout_ms != 0) TWorkerScheduling::BeforeBlockingWait();
  int count = ::epoll_wait(epoll_fd, events, kMaxEvents, batch_.empty() ? timeout_ms : 0);
  if (count < 0) count = 0;  // EINTR: a signal; the caller looks again
  bool woken = false;
  for (int i = 0; i < count; ++i) {
    const std::uint64_t key = events[i].data.u64;
    if (key == kWakeKey) {
      // Each write is a new edge whether or not the count was read, so it
      // is read back only now and then, long before it could fill up (and
      // make a write fail).
      if (++wakes_unread_ == kWakesBetweenReads) {
        std::uint64_t value;
        [[maybe_unused]] ssize_t got = ::read(event_fd_, &value, sizeof value);
        wakes_unread_ = 0;
      }
      woken = true;
    } else if (key == kTimerKey) {
      std::uint64_t expirations;
      [[maybe_unused]] ssize_t got = ::read(timer_fd_, &expirations, sizeof expirations);
      std::lock_guard lock(state_mutex);
      armed_ns_ = 0;
    } else {
      // Alive until the next collection even if it ended meanwhile.
      const Watch* watch = static_cast<const Watch*>(events[i].data.ptr);
      if (!watch->ended.load(std::memory_order_acquire)) watch->watcher->OnReady(events[i].events, sink);
    }
  }
  if (has_timers_.load(std::memory_order_acquire)) CollectDueTimers(sink);
  if (woken) TakeIncoming();
  return !batch_.empty();
}

bool EventQueue::NextFromBatch(Message& message) {
  while (pos_ < batch_.size()) {
    message = batch_[pos_++];
    if (message.msg == kTimerMessage && message.window != 0 &&
        !TickTaken(message.window, static_cast<std::uint32_t>(message.wParam)))
      continue;  // the timer was killed after its tick was queued
    if (message.window == 0 && message.payload == nullptr) continue;  // an aborted task
    return true;
  }
  return false;
}

void EventQueue::RunRechecks(MessageSink& sink) {
  recheck_scratch_.swap(rechecks);
  for (int fd : recheck_scratch_) {
    if (Watch* watch = FindWatch(fd)) watch->watcher->OnRecheck(sink);
  }
  recheck_scratch_.clear();
}

void EventQueue::FreeEndedWatches() {
  std::vector<std::unique_ptr<Watch>> ended;  // freed outside the lock
  std::lock_guard lock(state_mutex);
  ended.swap(ended_watches_);
  has_ended_watches_.store(false, std::memory_order_relaxed);
}

void EventQueue::EndWatchLocked(std::unique_ptr<Watch> watch) {
  watch->ended.store(true, std::memory_order_release);
  ended_watches_.push_back(std::move(watch));
  has_ended_watches_.store(true, std::memory_order_release);
  watch_changes_.fetch_add(1, std::memory_order_release);
}

TWindowHandle* EventQueue::WindowTarget(HWindow window) {
  // The object behind a window is not kept alive by the look-up, locked or
  // not: it is destroyed only while its thread dispatches nothing (see
  // TWindowHandle). The lock only keeps the table whole while another
  // thread removes a window; a removal also moves window_changes_.
  if (window == last_window_ && window_changes_.load(std::memory_order_acquire) == last_window_changes_)
    return last_target_;
  std::lock_guard lock(state_mutex);
  auto it = windows.find(window);
  if (it == windows.end()) return nullptr;
  last_window_ = window;
  last_target_ = it->second;
  last_window_changes_ = window_changes_.load(std::memory_order_relaxed);
  return last_target_;
}

Watch* EventQueue::FindWatch(int fd) {
  if (fd == last_fd_ && watch_changes_.load(std::memory_order_acquire) == last_watch_changes_)
    return last_watch_;
  std::lock_guard lock(state_mutex);
  auto it = watches.find(fd);
  last_fd_ = fd;
  last_watch_ = it == watches.end() ? nullptr : it->second.get();
  last_watch_changes_ = watch_changes_.load(std::memory_order_relaxed);
  return last_watch_;
}

void EventQueue::CollectDueTimers(MessageSink& sink) {
  std::lock_guard lock(state_mutex);
  if (timers.empty()) return;
  const std::int64_t now = NowNs();
  for (Timer& timer : timers) {
    if (!timer.pending && timer.due_ns <= now) {
      sink.Post(timer.window, kTimerMessage, static_cast<std::int32_t>(timer.id), 0);
      timer.pending = true;
      timer.due_ns = now + timer.interval_ns;
    }
  }
  ArmTimerLocked();
}

void EventQueue::ArmTimerLocked() {
  std::int64_t earliest = INT64_MAX;
  for (const Timer& timer : timers) {
    if (!timer.pending) earliest = std::min(earliest, timer.due_ns);
  }
  if (earliest == INT64_MAX) return;
  // An earlier arming still fires first; it will re-arm for this one.
  if (armed_ns_ != 0 && armed_ns_ <= earliest) return;
  earliest = std::max<std::int64_t>(earliest, 1);  // 0 would disarm
  itimerspec when{};
  when.it_value.tv_sec = static_cast<time_t>(earliest / 1000000000);
  when.it_value.tv_nsec = static_cast<long>(earliest % 1000000000);
  if (::timerfd_settime(timer_fd_, TFD_TIMER_ABSTIME, &when, nullptr) == 0) armed_ns_ = earliest;
}

bool EventQueue::TickTaken(HWindow window, std::uint32_t id) {
  std::lock_guard lock(state_mutex);
  for (Timer& timer : timers) {
    if (timer.window == window && timer.id == id) {
      timer.pending = false;
      ArmTimerLocked();
      return true;
    }
  }
  return false;
}

void EventQueue::RefuseTasks() {
  std::vector<Message> taken;
  {
    std::lock_guard lock(post_mutex_);
    tasks_refused_ = true;
    auto is_task = [](const Message& m) { return m.window == 0; };
    for (const Message& m : incoming_) {
      if (is_task(m)) taken.push_back(m);
    }
    incoming_.erase(std::remove_if(incoming_.begin(), incoming_.end(), is_task), incoming_.end());
    has_incoming_.store(!incoming_.empty(), std::memory_order_relaxed);
  }
  // The batch belongs to the owner; when another thread refuses, the owner
  // still runs the tasks it has already taken.
  for (std::size_t i = pos_; CurrentThreadId() == owner_tid && i < batch_.size(); ++i) {
    if (batch_[i].window == 0) {
      taken.push_back(batch_[i]);
      batch_[i].payload = nullptr;
    }
  }
  for (const Message& m : taken) {
    if (m.msg == kRunTaskMessage && m.payload) static_cast<ThreadTask*>(m.payload)->Abort();
  }
}

void EventQueue::Close() {
  std::vector<HWindow> gone;
  {
    std::lock_guard lock(state_mutex);
    for (const auto& entry : windows) gone.push_back(entry.first);
  }
  {
    std::unique_lock lock(G().table_mutex);
    for (HWindow window : gone) G().table.erase(window);
  }
  {
    std::lock_guard lock(post_mutex_);
    closed_ = true;
  }
  RefuseTasks();
  std::unordered_map<int, std::unique_ptr<Watch>> old_watches;
  std::vector<std::unique_ptr<Watch>> ended;
  {
    std::lock_guard lock(state_mutex);
    windows.clear();
    WindowRemovedLocked();
    timers.clear();
    TimersChangedLocked();
    old_watches.swap(watches);
    ended.swap(ended_watches_);
    WatchAddedLocked();
  }
  batch_.clear();
  pos_ = 0;
}

bool EventQueue::Recycle() {
  {
    std::lock_guard lock(state_mutex);
    if (!windows.empty() || !watches.empty()) return false;
  }
  FreeEndedWatches();
  std::vector<Message> dropped;
  {
    std::lock_guard lock(post_mutex_);
    dropped.swap(incoming_);
    has_incoming_.store(false, std::memory_order_relaxed);
  }
  dropped.insert(dropped.end(), batch_.begin() + static_cast<std::ptrdiff_t>(std::min(pos_, batch_.size())),
                 batch_.end());
  batch_.clear();
  pos_ = 0;
  rechecks.clear();
  // Tasks come only to queues that serve synchronised calls; should one be
  // here, it must not wait for ever.
  for (const Message& m : dropped) {
    if (m.window == 0 && m.msg == kRunTaskMessage && m.payload) static_cast<ThreadTask*>(m.payload)->Abort();
  }
  return true;
}

std::shared_ptr<EventQueue> MainQueue() {
  Globals& g = G();
  std::lock_guard lock(g.main_mutex);
  if (!g.main_queue) g.main_queue = std::make_shared<EventQueue>(MainThreadId());
  return g.main_queue;
}

std::shared_ptr<EventQueue> CurrentQueue() {
  if (!t_holder.queue) {
    t_holder.queue =
        CurrentThreadId() == MainThreadId() ? MainQueue() : std::make_shared<EventQueue>(CurrentThreadId());
  }
  return t_holder.queue;
}

namespace {
EventQueue& Current() {
  if (!t_holder.queue) CurrentQueue();
  return *t_holder.queue;
}
}  // namespace

HWindow RegisterWindow(TWindowHandle* object, std::shared_ptr<EventQueue>& queue) {
  std::shared_ptr<EventQueue> current = CurrentQueue();
  const HWindow window = G().next_window.fetch_add(1, std::memory_order_relaxed);
  {
    std::lock_guard lock(current->state_mutex);
    current->windows[window] = object;
  }
  {
    std::unique_lock lock(G().table_mutex);
    G().table[window] = current.get();
  }
  queue = std::move(current);
  return window;
}

void UnregisterWindow(HWindow window, EventQueue& queue) {
  {
    std::unique_lock lock(G().table_mutex);
    G().table.erase(window);
  }
  std::lock_guard lock(queue.state_mutex);
  if (queue.windows.erase(window) != 0) queue.WindowRemovedLocked();
  std::erase_if(queue.timers, [window](const Timer& timer) { return timer.window == window; });
  queue.TimersChangedLocked();
}

bool TakeMessage(Message& message, const Deadline* deadline) {
  EventQueue& queue = Current();
  for (;;) {
    if (queue.NextFromBatch(message)) return true;
    int timeout_ms = -1;
    if (deadline) {
      const auto left = *deadline - std::chrono::steady_clock::now();
      if (left <= std::chrono::steady_clock::duration::zero()) {
        timeout_ms = 0;
      } else {
        // Round up: waking before the deadline would only wait again.
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        timeout_ms = static_cast<int>(std::min<std::int64_t>(ms, INT_MAX));
      }
    }
    if (queue.Collect(timeout_ms)) continue;
    if (deadline && std::chrono::steady_clock::now() >= *deadline) return false;
  }
}

void DispatchMessage(const Message& message) {
  if (message.window == 0) {
    if (message.msg == kRunTaskMessage && message.payload) static_cast<ThreadTask*>(message.payload)->Run();
    return;
  }
  if (TWindowHandle* target = Current().WindowTarget(message.window))
    target->HandleWM(message.msg, message.wParam, message.lParam);
}

bool PostTask(EventQueue& queue, ThreadTask* task) {
  return queue.Post(Message{0, kRunTaskMessage, 0, 0, task});
}

void RefuseTasks(EventQueue& queue) { queue.RefuseTasks(); }

}  // namespace event_queue_detail

using namespace event_queue_detail;

bool PostMessage(HWindow window, std::uint32_t msg, std::int32_t wParam, std::int32_t lParam) {
  if (window == 0) return false;
  // The shared lock keeps the entry, and so its queue, alive while posting.
  std::shared_lock lock(G().table_mutex);
  auto it = G().table.find(window);
  if (it == G().table.end()) return false;
  return it->second->Post(Message{window, msg, wParam, lParam, nullptr});
}

bool WindowExists(HWindow window) {
  std::shared_lock lock(G().table_mutex);
  return G().table.count(window) != 0;
}

bool SetTimer(HWindow window, std::uint32_t id, std::uint32_t interval_ms) {
  if (interval_ms == 0) return false;
  std::shared_lock table_lock(G().table_mutex);
  auto it = G().table.find(window);
  if (it == G().table.end()) return false;
  EventQueue& queue = *it->second;
  std::lock_guard lock(queue.state_mutex);
  const std::int64_t interval_ns = static_cast<std::int64_t>(interval_ms) * 1000000;
  const std::int64_t due = NowNs() + interval_ns;
  auto timer = std::find_if(queue.timers.begin(), queue.timers.end(),
                            [&](const Timer& t) { return t.window == window && t.id == id; });
  if (timer == queue.timers.end()) {
    queue.timers.push_back(Timer{window, id, interval_ns, due, false});
    queue.TimersChangedLocked();
  } else {
    // A tick already queued stays pending; the next one counts from now.
    timer->interval_ns = interval_ns;
    timer->due_ns = due;
  }
  queue.ArmTimerLocked();
  return true;
}

bool KillTimer(HWindow window, std::uint32_t id) {
  std::shared_lock table_lock(G().table_mutex);
  auto it = G().table.find(window);
  if (it == G().table.end()) return false;
  EventQueue& queue = *it->second;
  std::lock_guard lock(queue.state_mutex);
  const bool killed =
      std::erase_if(queue.timers, [&](const Timer& t) { return t.window == window && t.id == id; }) != 0;
  queue.TimersChangedLocked();
  return killed;
}

int ProcessThreadMessages() {
  EventQueue& queue = Current();
  // At most the batch in hand and one fresh collection: a storm of posts must
  // not keep a foreign event loop from its own work. When work is left, the
  // descriptor is kept readable so that the loop calls again.
  int dispatched = 0;
  int collections = 0;
  Message message;
  for (;;) {
    if (queue.BatchEmpty()) {
      if (collections == 1) {
        queue.PrepareForForeignLoop();
        break;
      }
      ++collections;
      if (!queue.Collect(0)) break;
    }
    if (!queue.NextFromBatch(message)) continue;
    if (message.msg != kQuitMessage) DispatchMessage(message);
    ++dispatched;
  }
  return dispatched;
}

bool HandleThreadMessage(Deadline deadline) {
  Message message;
  if (!TakeMessage(message, &deadline)) return false;
  if (message.msg != kQuitMessage) DispatchMessage(message);
  return true;
}

void RecycleThreadQueue() {
  std::shared_ptr<EventQueue>& queue = t_holder.queue;
  if (!queue || CurrentThreadId() == MainThreadId()) return;
  if (queue->Recycle()) return;
  queue->Close();
  queue.reset();
}

int ThreadQueueDescriptor() { return Current().epoll_fd; }

int MainQueueDescriptor() { return MainQueue()->epoll_fd; }

int WatchDescriptor(HWindow window, int fd, std::uint32_t events, std::shared_ptr<IoWatcher> watcher) {
  std::shared_ptr<EventQueue> queue;
  {
    std::shared_lock lock(G().table_mutex);
    auto it = G().table.find(window);
    if (it == G().table.end()) return EINVAL;
    queue = it->second->shared_from_this();
  }
  UnwatchDescriptor(fd);
  epoll_event event{};
  event.events = events | EPOLLET;
  auto watch = std::make_unique<Watch>(fd, std::move(watcher));
  event.data.ptr = watch.get();
  {
    // Registered under the lock, so that an UnwatchDescriptor from another
    // thread finds the watch registered or not at all.
    std::lock_guard lock(queue->state_mutex);
    if (::epoll_ctl(queue->epoll_fd, EPOLL_CTL_ADD, fd, &event) != 0) return errno;  // freed outside the lock
    std::unique_ptr<Watch>& slot = queue->watches[fd];
    if (slot) queue->EndWatchLocked(std::move(slot));
    slot = std::move(watch);
    queue->WatchAddedLocked();
  }
  std::lock_guard lock(G().watch_mutex);
  G().watch_owner[fd] = queue;
  return 0;
}

void UnwatchDescriptor(int fd) {
  std::shared_ptr<EventQueue> queue;
  {
    std::lock_guard lock(G().watch_mutex);
    auto it = G().watch_owner.find(fd);
    if (it == G().watch_owner.end()) return;
    queue = it->second.lock();
    G().watch_owner.erase(it);
  }
  if (!queue) return;
  std::lock_guard lock(queue->state_mutex);
  // Explicitly: a copy of the descriptor in a child between fork and exec
  // would keep the registration alive past close(). Before the watch is
  // handed to the owner to free: no wait of the owner's that starts after
  // that can report it.
  ::epoll_ctl(queue->epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
  auto it = queue->watches.find(fd);
  if (it != queue->watches.end()) {
    queue->EndWatchLocked(std::move(it->second));
    queue->watches.erase(it);
  }
}

IoWatcher* FindThreadWatcher(int fd) {
  EventQueue* queue = t_holder.queue.get();
  if (!queue) return nullptr;
  Watch* watch = queue->FindWatch(fd);
  return watch ? watch->watcher.get() : nullptr;
}

void RequestRecheck(int fd) {
  EventQueue* queue = t_holder.queue.get();
  if (queue) queue->rechecks.push_back(fd);
}

}  // namespace vt
