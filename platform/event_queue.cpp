#include "platform/event_queue.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <mutex>

#include "platform/descriptor_watches.h"
#include "platform/event_timers.h"
#include "platform/synchronize.h"
#include "platform/window_handle.h"
#include "platform/window_table.h"
#include "platform/worker_scheduling.h"
#include "util/exception.h"

namespace vt {
namespace event_queue_detail {

namespace {

// epoll keys of the queue's own descriptors. A watched descriptor's key is
// the address of its TWatch, never one of these.
constexpr std::uint64_t kWakeKey = 1;
// Wake-ups taken before the eventfd's count is read back: a wake-up costs
// the owner no read, and the count (each write adds 1) stays far below its
// limit of 2^64 - 2.
constexpr std::uint32_t kWakesBetweenReads = 1u << 20;
constexpr std::uint64_t kTimerKey = 2;
constexpr int kMaxEvents = 64;
// The thread messages: run the task in the payload. The caller owns a
// borrowed task and keeps it until it has run or been aborted; the queue
// owns an owned one and frees it after either.
constexpr std::uint32_t kRunTaskMessage = 1;
constexpr std::uint32_t kRunOwnedTaskMessage = 2;

bool IsTask(const Message& m) {
  return m.window == 0 && m.payload != nullptr && (m.msg == kRunTaskMessage || m.msg == kRunOwnedTaskMessage);
}

void RunTask(const Message& m) {
  ThreadTask* task = static_cast<ThreadTask*>(m.payload);
  // Freed however Run ends.
  const std::unique_ptr<ThreadTask> owned(m.msg == kRunOwnedTaskMessage ? task : nullptr);
  task->Run();
}

void AbortTask(const Message& m) {
  ThreadTask* task = static_cast<ThreadTask*>(m.payload);
  const std::unique_ptr<ThreadTask> owned(m.msg == kRunOwnedTaskMessage ? task : nullptr);
  task->Abort();
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

// One thread's queue. Its state is its own: the windows, timers and watches
// are changed only through it, under its state lock; the posts under the
// post lock; the batch, the rechecks and the look-up caches by the owner
// alone. Lock order: the process's window table, then the state lock; the
// post lock is never held with another.
class EventQueue : public std::enable_shared_from_this<EventQueue> {
 public:
  explicit EventQueue(int owner_tid);
  ~EventQueue();
  EventQueue(const EventQueue&) = delete;
  EventQueue& operator=(const EventQueue&) = delete;

  int EpollDescriptor() const { return epoll_fd_; }

  // --- Any thread ---
  bool Post(const Message& message);
  // False when the queue refuses tasks (closed, or refusing them).
  bool PostTask(ThreadTask* task, bool owned);
  void AddWindow(HWindow window, TWindowHandle* object);
  // Forgets the window and its timers.
  void RemoveWindow(HWindow window);
  void SetTimer(HWindow window, std::uint32_t id, std::uint32_t interval_ms);
  bool KillTimer(HWindow window, std::uint32_t id);
  // Returns 0 or an errno value.
  int Watch(int fd, std::uint32_t events, std::shared_ptr<IoWatcher> watcher);
  void Unwatch(int fd);
  // Aborts the queued tasks and refuses new ones. Tasks the owner has
  // already taken still run when another thread calls it.
  void RefuseTasks();

  // --- Owner thread ---
  // Collects a new batch (the old one must be used up). timeout_ms as for
  // epoll_wait. Returns whether the batch holds anything.
  bool Collect(int timeout_ms);
  // Takes the next message of the batch, skipping ticks of killed timers and
  // aborted tasks.
  bool NextFromBatch(Message& message);
  bool BatchEmpty() const { return pos_ >= batch_.size(); }
  // Before handing control back to a foreign event loop: makes sure the
  // epoll descriptor becomes readable for every message still to come.
  void PrepareForForeignLoop();
  // The object of `window`, or null.
  TWindowHandle* WindowTarget(HWindow window) { return windows_.Target(window); }
  // The watch of `fd`, or null; it stays valid until the next collection.
  TWatch* FindWatch(int fd) { return watches_.Find(fd); }
  void RequestRecheck(int fd) { rechecks_.push_back(fd); }
  // Drops every waiting message when no window or watch is left; false
  // (and nothing dropped) otherwise.
  bool Recycle();
  void Close();

 private:
  void Wake();
  // The parts of a collection. Each is called only when its flag or list
  // says there is something for it: most collections have nothing but one
  // readiness event.
  void RunRechecks(MessageSink& sink);
  // Whether posts may be waiting, or a wake-up is owed (see the definition).
  bool IncomingOwed() const;
  // Moves the posts into the batch.
  void TakeIncoming();

  const int owner_tid_;
  int epoll_fd_ = -1;
  int event_fd_ = -1;
  // Wake-ups taken without reading the eventfd (see Collect).
  std::uint32_t wakes_unread_ = 0;

  // Guards windows_, timers_ and watches_ (each keeps a reference to it).
  std::mutex state_mutex_;
  TQueueWindows windows_{state_mutex_};
  TEventTimers timers_{state_mutex_};
  TDescriptorWatches watches_{state_mutex_};

  std::mutex post_mutex_;
  std::vector<Message> incoming_;
  // Both written under post_mutex_; the owner reads them without it before
  // it waits (see IncomingOwed). incoming_ is not empty:
  std::atomic<bool> has_incoming_{false};
  // A wake-up is on its way (or the owner looks before it waits anyway):
  // posters need not write the eventfd.
  std::atomic<bool> signalled_{false};
  bool closed_ = false;
  bool tasks_refused_ = false;

  // Owner thread only.
  std::vector<Message> batch_;
  std::size_t pos_ = 0;
  std::vector<int> rechecks_;
  std::vector<int> recheck_scratch_;
};

namespace {

struct MainQueueHolder {
  std::mutex mutex;
  std::shared_ptr<EventQueue> queue;
  std::atomic<int> tid{0};
};

// Never destroyed: queues of threads that end during process exit still use it.
MainQueueHolder& Main() {
  static MainQueueHolder* main = new MainQueueHolder;
  return *main;
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
  const int tid = Main().tid.load(std::memory_order_acquire);
  if (tid != 0) return tid;
  // The process id, asked once per thread (as the thread id is): every
  // synchronised call asks whether it runs on the main thread.
  thread_local const int process_id = static_cast<int>(::getpid());
  return process_id;
}

void SetMainThreadId(int tid) { Main().tid.store(tid, std::memory_order_release); }

EventQueue::EventQueue(int owner) : owner_tid_(owner) {
  epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
  event_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  int error = (epoll_fd_ < 0 || event_fd_ < 0) ? errno : 0;
  if (error == 0) error = timers_.Open();
  if (error == 0) {
    epoll_event wake{};
    // Edge-triggered: every write reports once, so the owner need not read
    // the eventfd back after each wake-up (see Collect).
    wake.events = EPOLLIN | EPOLLET;
    wake.data.u64 = kWakeKey;
    epoll_event timer{};
    timer.events = EPOLLIN;
    timer.data.u64 = kTimerKey;
    if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, event_fd_, &wake) != 0 ||
        ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, timers_.Descriptor(), &timer) != 0)
      error = errno;
  }
  if (error != 0) {
    CloseFd(epoll_fd_);
    CloseFd(event_fd_);
    RaiseOSError(error);  // the timerfd goes with timers_
  }
}

EventQueue::~EventQueue() {
  CloseFd(epoll_fd_);
  CloseFd(event_fd_);
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
    if (!signalled_.load(std::memory_order_relaxed) && CurrentThreadId() != owner_tid_) {
      signalled_.store(true, std::memory_order_relaxed);
      wake = true;
    }
  }
  if (wake) Wake();
  return true;
}

bool EventQueue::PostTask(ThreadTask* task, bool owned) {
  return Post(Message{0, owned ? kRunOwnedTaskMessage : kRunTaskMessage, 0, 0, task});
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
  watches_.FreeEnded();
  MessageSink sink(batch_);
  if (!rechecks_.empty()) RunRechecks(sink);
  if (IncomingOwed()) TakeIncoming();

  epoll_event events[kMaxEvents];
  if (batch_.empty() && timeout_ms != 0) TWorkerScheduling::BeforeBlockingWait();
  int count = ::epoll_wait(epoll_fd_, events, kMaxEvents, batch_.empty() ? timeout_ms : 0);
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
      timers_.Fired();
    } else {
      // Alive until the next collection even if it ended meanwhile.
      const TWatch* watch = static_cast<const TWatch*>(events[i].data.ptr);
      if (!watch->ended.load(std::memory_order_acquire)) watch->watcher->OnReady(events[i].events, sink);
    }
  }
  if (timers_.MayHaveTimers()) timers_.CollectDue(sink);
  if (woken) TakeIncoming();
  return !batch_.empty();
}

bool EventQueue::NextFromBatch(Message& message) {
  while (pos_ < batch_.size()) {
    message = batch_[pos_++];
    if (message.msg == kTimerMessage && message.window != 0 &&
        !timers_.TickTaken(message.window, static_cast<std::uint32_t>(message.wParam)))
      continue;  // the timer was killed after its tick was queued
    if (message.window == 0 && message.payload == nullptr) continue;  // an aborted task
    return true;
  }
  return false;
}

void EventQueue::RunRechecks(MessageSink& sink) {
  recheck_scratch_.swap(rechecks_);
  for (int fd : recheck_scratch_) {
    if (TWatch* watch = FindWatch(fd)) watch->watcher->OnRecheck(sink);
  }
  recheck_scratch_.clear();
}

void EventQueue::AddWindow(HWindow window, TWindowHandle* object) {
  std::lock_guard lock(state_mutex_);
  windows_.AddLocked(window, object);
}

void EventQueue::RemoveWindow(HWindow window) {
  std::lock_guard lock(state_mutex_);
  windows_.RemoveLocked(window);
  timers_.RemoveWindowLocked(window);
}

void EventQueue::SetTimer(HWindow window, std::uint32_t id, std::uint32_t interval_ms) {
  std::lock_guard lock(state_mutex_);
  timers_.SetLocked(window, id, interval_ms);
}

bool EventQueue::KillTimer(HWindow window, std::uint32_t id) {
  std::lock_guard lock(state_mutex_);
  return timers_.KillLocked(window, id);
}

int EventQueue::Watch(int fd, std::uint32_t events, std::shared_ptr<IoWatcher> watcher) {
  epoll_event event{};
  event.events = events | EPOLLET;
  auto watch = std::make_unique<TWatch>(fd, std::move(watcher));
  event.data.ptr = watch.get();
  // Registered under the lock, so that an Unwatch from another thread finds
  // the watch registered or not at all.
  std::lock_guard lock(state_mutex_);
  if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event) != 0) return errno;  // freed outside the lock
  watches_.AddLocked(std::move(watch));
  return 0;
}

void EventQueue::Unwatch(int fd) {
  std::lock_guard lock(state_mutex_);
  // Explicitly: a copy of the descriptor in a child between fork and exec
  // would keep the registration alive past close(). Before the watch is
  // handed to the owner to free: no wait of the owner's that starts after
  // that can report it.
  ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
  watches_.EndLocked(fd);
}

void EventQueue::RefuseTasks() {
  std::vector<Message> taken;
  {
    std::lock_guard lock(post_mutex_);
    tasks_refused_ = true;
    auto is_thread_message = [](const Message& m) { return m.window == 0; };
    for (const Message& m : incoming_) {
      if (is_thread_message(m)) taken.push_back(m);
    }
    std::erase_if(incoming_, is_thread_message);
    has_incoming_.store(!incoming_.empty(), std::memory_order_relaxed);
  }
  // The batch belongs to the owner; when another thread refuses, the owner
  // still runs the tasks it has already taken.
  for (std::size_t i = pos_; CurrentThreadId() == owner_tid_ && i < batch_.size(); ++i) {
    if (batch_[i].window == 0) {
      taken.push_back(batch_[i]);
      batch_[i].payload = nullptr;
    }
  }
  for (const Message& m : taken) {
    if (IsTask(m)) AbortTask(m);
  }
}

void EventQueue::Close() {
  std::vector<HWindow> gone;
  {
    std::lock_guard lock(state_mutex_);
    gone = windows_.ListLocked();
  }
  TWindowTable::Process().Remove(gone);
  {
    std::lock_guard lock(post_mutex_);
    closed_ = true;
  }
  RefuseTasks();
  std::vector<std::unique_ptr<TWatch>> watches;  // freed outside the lock
  {
    std::lock_guard lock(state_mutex_);
    windows_.ClearLocked();
    timers_.ClearLocked();
    watches_.TakeAllLocked(watches);
  }
  batch_.clear();
  pos_ = 0;
}

bool EventQueue::Recycle() {
  {
    std::lock_guard lock(state_mutex_);
    if (!windows_.EmptyLocked() || !watches_.EmptyLocked()) return false;
  }
  watches_.FreeEnded();
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
  rechecks_.clear();
  // Tasks come only to queues that serve synchronised calls; should one be
  // here, it must not wait for ever (nor, when the queue owns it, leak).
  for (const Message& m : dropped) {
    if (IsTask(m)) AbortTask(m);
  }
  return true;
}

std::shared_ptr<EventQueue> MainQueue() {
  MainQueueHolder& main = Main();
  std::lock_guard lock(main.mutex);
  if (!main.queue) main.queue = std::make_shared<EventQueue>(MainThreadId());
  return main.queue;
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
  TWindowTable& table = TWindowTable::Process();
  const HWindow window = table.NewWindow();
  current->AddWindow(window, object);
  table.Add(window, current.get());
  queue = std::move(current);
  return window;
}

void UnregisterWindow(HWindow window, EventQueue& queue) {
  TWindowTable::Process().Remove(window);
  queue.RemoveWindow(window);
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
    if (IsTask(message)) RunTask(message);
    return;
  }
  if (TWindowHandle* target = Current().WindowTarget(message.window))
    target->HandleWM(message.msg, message.wParam, message.lParam);
}

bool PostTask(EventQueue& queue, ThreadTask* task) { return queue.PostTask(task, false); }

bool PostTask(EventQueue& queue, std::unique_ptr<ThreadTask> task) {
  if (!queue.PostTask(task.get(), true)) return false;  // freed here
  task.release();                                       // the queue's now
  return true;
}

void RefuseTasks(EventQueue& queue) { queue.RefuseTasks(); }

}  // namespace event_queue_detail

using namespace event_queue_detail;

bool PostMessage(HWindow window, std::uint32_t msg, std::int32_t wParam, std::int32_t lParam) {
  if (window == 0) return false;
  return TWindowTable::Process().With(window, false, [&](EventQueue& queue) {
    return queue.Post(Message{window, msg, wParam, lParam, nullptr});
  });
}

bool WindowExists(HWindow window) { return TWindowTable::Process().Exists(window); }

bool SetTimer(HWindow window, std::uint32_t id, std::uint32_t interval_ms) {
  if (interval_ms == 0) return false;
  return TWindowTable::Process().With(window, false, [&](EventQueue& queue) {
    queue.SetTimer(window, id, interval_ms);
    return true;
  });
}

bool KillTimer(HWindow window, std::uint32_t id) {
  return TWindowTable::Process().With(window, false,
                                      [&](EventQueue& queue) { return queue.KillTimer(window, id); });
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

int ThreadQueueDescriptor() { return Current().EpollDescriptor(); }

int MainQueueDescriptor() { return MainQueue()->EpollDescriptor(); }

int WatchDescriptor(HWindow window, int fd, std::uint32_t events, std::shared_ptr<IoWatcher> watcher) {
  std::shared_ptr<EventQueue> queue = TWindowTable::Process().With(
      window, std::shared_ptr<EventQueue>(), [](EventQueue& owner) { return owner.shared_from_this(); });
  if (!queue) return EINVAL;
  UnwatchDescriptor(fd);
  if (const int error = queue->Watch(fd, events, std::move(watcher)); error != 0) return error;
  TWatchOwners::Process().Set(fd, std::move(queue));
  return 0;
}

void UnwatchDescriptor(int fd) {
  if (std::shared_ptr<EventQueue> queue = TWatchOwners::Process().Take(fd)) queue->Unwatch(fd);
}

IoWatcher* FindThreadWatcher(int fd) {
  EventQueue* queue = t_holder.queue.get();
  if (!queue) return nullptr;
  TWatch* watch = queue->FindWatch(fd);
  return watch ? watch->watcher.get() : nullptr;
}

void RequestRecheck(int fd) {
  if (EventQueue* queue = t_holder.queue.get()) queue->RequestRecheck(fd);
}

}  // namespace vt
