#pragma once

// The per-thread event queue that delivers every asynchronous notification of
// the system: posted messages, timer ticks and socket readiness.
//
// Each thread that needs one owns one queue, created on its first need and
// closed when the thread ends. A queue is an epoll instance with
//  - an eventfd that other threads write to wake it for posted messages,
//  - a timerfd armed to the earliest timer of the thread,
//  - the descriptors that the socket layer watches (edge-triggered).
//
// Windows. A window is a non-zero 64-bit number from a process-wide table
// {window -> owning queue, TWindowHandle*}. Numbers are never reused, so a
// message posted to a window that has gone is dropped, never delivered to a
// newcomer. PostMessage works from any thread.
//
// Order and fairness. The owning thread takes messages from a batch. When the
// batch runs out it collects a new one in a single pass: first every message
// posted so far (one lock), then one epoll_wait (readiness of watched
// descriptors, timer expiry, wake-ups), then the ticks of due timers. A
// stream of posted messages therefore never starves readiness or timers: both
// are looked at once per batch, and a batch is finite. The pass costs one
// epoll_wait, not one system call per message.
//
// Timers. SetTimer/KillTimer on a window; a timer posts kTimerMessage with
// wParam = timer id. At most one tick per timer is pending at a time; the next
// interval is counted from when the tick was queued. A tick taken after its
// timer was killed is dropped.

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/messages.h"

namespace vt {

class TWindowHandle;

// A window: 0 means none.
using HWindow = std::uint64_t;

using Deadline = std::chrono::steady_clock::time_point;

struct Message {
  HWindow window = 0;  // 0 for a message to the thread itself (internal tasks)
  std::uint32_t msg = 0;
  std::int32_t wParam = 0;
  std::int32_t lParam = 0;
  void* payload = nullptr;  // internal: the task of a thread message
};

// Queues a message for `window` on the thread that owns it. Any thread may
// call it. Returns false (and drops the message) when the window does not
// exist (never allocated, destroyed, or its thread has ended).
bool PostMessage(HWindow window, std::uint32_t msg, std::int32_t wParam, std::int32_t lParam);

// True while `window` exists.
bool WindowExists(HWindow window);

// Starts (or restarts) timer `id` of `window` with the given interval in
// milliseconds. False when the window does not exist or the interval is 0.
// Any thread may call it; the ticks arrive on the window's thread.
bool SetTimer(HWindow window, std::uint32_t id, std::uint32_t interval_ms);

// Stops timer `id` of `window`; false when there was no such timer.
bool KillTimer(HWindow window, std::uint32_t id);

// Thread-level pumps, for loops that are not tied to one TWindowHandle (the
// main thread under a foreign event loop, or while it waits for workers at
// shutdown). A quit message taken here is dropped: quitting belongs to the
// pumps of TWindowHandle.
//
// Dispatches every message that is pending for the calling thread without
// waiting; returns how many were dispatched.
int ProcessThreadMessages();
// Waits until one message has been dispatched (true) or the deadline has
// passed (false). Waiting costs no processor time.
bool HandleThreadMessage(Deadline deadline);

// For a thread that is about to take up unrelated work (a pooled thread
// between two jobs): when none of its windows is left, forgets every message
// still waiting in its queue (posted to windows that have gone), so that the
// next job starts as on a fresh thread, and keeps the queue's kernel objects
// for it. When windows or watches are left, the queue is closed instead
// (the next use makes a new one). Not on the main thread.
void RecycleThreadQueue();

// The epoll descriptor of the calling thread's queue (created when missing),
// for a foreign event loop to watch (for instance with a socket notifier).
// It becomes readable when a timer falls due, when a watched descriptor has
// a new readiness edge, and when another thread posts while the owner is
// not in the middle of a batch; ProcessThreadMessages leaves it readable
// when it returns with posts still waiting. Some work does not make it
// readable, because the queue expects its owner to look again before it
// waits: messages the owning thread posts to itself, socket notifications
// re-enabled by the owner's own reads and writes, and posts from other
// threads while a dispatched handler runs a nested loop. So a foreign loop
// must also call ProcessThreadMessages each time before it blocks.
int ThreadQueueDescriptor();

// ---------------------------------------------------------------------------
// Descriptor watching, the base of the socket notifications.
//
// A watcher is registered for a descriptor on the queue of a window. The queue
// registers the descriptor edge-triggered; on the owning thread, while it
// collects a batch, it hands every epoll event to the watcher, which turns it
// into messages through the sink. A watcher may ask (from the owning thread)
// to be looked at again at the next collection (RequestRecheck), which is how
// notifications are re-enabled without a system call.

class MessageSink {
 public:
  explicit MessageSink(std::vector<Message>& out) : out_(out) {}
  void Post(HWindow window, std::uint32_t msg, std::int32_t wParam, std::int32_t lParam) {
    out_.push_back(Message{window, msg, wParam, lParam, nullptr});
  }

 private:
  std::vector<Message>& out_;
};

class IoWatcher {
 public:
  virtual ~IoWatcher() = default;
  // Runs on the owning thread with the epoll event bits.
  virtual void OnReady(std::uint32_t events, MessageSink& sink) = 0;
  // Runs on the owning thread at the collection after a RequestRecheck.
  virtual void OnRecheck(MessageSink& sink) = 0;
};

// Watches `fd` for `events` (EPOLLIN, EPOLLOUT, EPOLLRDHUP...; EPOLLET is
// added) on the queue that owns `window`, replacing an earlier watch of the
// same descriptor. Returns 0, or an errno value.
int WatchDescriptor(HWindow window, int fd, std::uint32_t events, std::shared_ptr<IoWatcher> watcher);

// Ends the watch of `fd`, wherever it is; any thread. Call it before closing
// the descriptor.
void UnwatchDescriptor(int fd);

// The watcher of `fd` on the calling thread's queue, or null. It stays valid
// until the thread next collects messages (a watch ended meanwhile, from
// any thread, is freed only then), so it is for use at once. Asked again
// for the same descriptor, it costs no lock while no watch of the queue has
// begun or ended.
IoWatcher* FindThreadWatcher(int fd);

// Asks the calling thread's queue to call OnRecheck of the watcher of `fd`
// when it next collects messages.
void RequestRecheck(int fd);

// ---------------------------------------------------------------------------
// Internal interface of TWindowHandle and Synchronize.
namespace event_queue_detail {

class EventQueue;

// A unit of work run on a queue's thread (window 0 messages).
class ThreadTask {
 public:
  virtual ~ThreadTask() = default;
  virtual void Run() = 0;
  // The queue will never run the task (its thread is shutting down).
  virtual void Abort() = 0;
};

// The calling thread's queue, created when missing. Raises EOSError when the
// kernel objects cannot be created.
std::shared_ptr<EventQueue> CurrentQueue();
// The main thread's queue, created when missing (from any thread).
std::shared_ptr<EventQueue> MainQueue();

// Adds a window for `object` to the calling thread's queue. Returns the window
// and its queue, or raises EOSError.
HWindow RegisterWindow(TWindowHandle* object, std::shared_ptr<EventQueue>& queue);
// Removes the window (table entry first, then its timers); any thread.
void UnregisterWindow(HWindow window, EventQueue& queue);

// Takes the next message of the calling thread. With a deadline, returns false
// when it passes with nothing to take; without one, waits as long as needed.
bool TakeMessage(Message& message, const Deadline* deadline);
// Dispatches a message taken by TakeMessage.
void DispatchMessage(const Message& message);

// Queues a task for `queue`'s thread; false when the queue refuses (closed,
// or refusing tasks). The caller keeps the task, alive until it has run or
// been aborted.
bool PostTask(EventQueue& queue, ThreadTask* task);
// The same with a task the queue owns: it frees the task once it has run or
// been aborted, and at once when it refuses it.
bool PostTask(EventQueue& queue, std::unique_ptr<ThreadTask> task);
// Aborts the queued tasks of `queue` and refuses new ones. Tasks the owner has
// already taken still run when another thread calls it.
void RefuseTasks(EventQueue& queue);

// The thread id (gettid) of the calling thread, cached.
int CurrentThreadId();
// The thread id that counts as the main thread.
int MainThreadId();
void SetMainThreadId(int tid);

}  // namespace event_queue_detail
}  // namespace vt
