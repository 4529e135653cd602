#pragma once

// The notification "window" of a thread and its timer.
//
// TWindowHandle owns one window of the event queue (platform/event_queue.h):
// created on first use (GetHandle) in the calling thread, which from then on
// must pump messages for it. Every message for the window runs HandleWM on
// that thread, one at a time. TTimerHandle adds timer 1 to the window.
//
// Threads. Everything but the following runs on the owning thread: another
// thread may post to Handle(), read Handle() and Terminated(), and call
// Terminate() (which only sets the flag here; subclasses that override it
// say what else they do). Destroying the object on another thread is allowed
// only while the owning thread is not dispatching its messages (it has
// ended, or it is blocked, for instance in Synchronize).
//
// The pumps (ProcessMessage, ProcessMessages, HandleMessage and the bounded
// HandleMessageUntil) take messages of the calling thread's queue, for any of
// its windows. A quit message (kQuitMessage, posted to any window of the
// thread) marks the pumping object Terminated; a Terminated object's pumps
// return false at once.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/event_queue.h"
#include "util/exception.h"

namespace vt {

VT_EXCEPTION_CLASS(EWindowHandle, Exception);

class TWindowHandle {
 public:
  // Returns the message result; sets `handled` when the default processing
  // should not run.
  using TWindowHandleMessageEvent =
      std::function<std::int32_t(std::uint32_t msg, std::int32_t wParam, std::int32_t lParam, bool& handled)>;
  // Receives what a handler raised while a message was handled.
  using TWindowHandleErrorEvent = std::function<void(TWindowHandle& sender, const Exception& error)>;

  TWindowHandle() = default;
  virtual ~TWindowHandle();
  TWindowHandle(const TWindowHandle&) = delete;
  TWindowHandle& operator=(const TWindowHandle&) = delete;

  TWindowHandleMessageEvent OnMessage;
  TWindowHandleErrorEvent OnException;

  // The window; 0 until allocated.
  HWindow Handle() const { return handle_.load(std::memory_order_acquire); }
  // The window, allocated in the calling thread when there is none.
  HWindow GetHandle();
  bool Terminated() const { return terminated_.load(std::memory_order_acquire); }

  // Virtual operations, in slot order.
  // Creates the window in the calling thread's queue; raises EWindowHandle.
  virtual HWindow AllocateHandle();
  // One message in, its result out.
  virtual std::int32_t HandleWM(std::uint32_t msg, std::int32_t wParam, std::int32_t lParam);
  // Removes the window (posts to it are dropped from now on).
  virtual void DestroyHandle();
  // Sets Terminated; any thread.
  virtual void Terminate();

  // Takes at most one message without waiting; false when there was none or
  // when Terminated.
  bool ProcessMessage();
  // ProcessMessage until it returns false.
  void ProcessMessages();
  // Waits for one message and dispatches it; false when Terminated or when
  // the message was the quit message.
  bool HandleMessage();

  enum class WaitResult { kDispatched, kTimedOut, kEnded };
  // HandleMessage that gives up at `deadline`: kDispatched when a message was
  // dispatched, kTimedOut when the deadline passed first, kEnded when
  // HandleMessage would have returned false.
  WaitResult HandleMessageUntil(Deadline deadline);

  // True when the calling thread owns the window (or there is no window yet).
  bool InOwnerThread() const;

 protected:
  void SetTerminated() { terminated_.store(true, std::memory_order_release); }

 private:
  // Shared by the pumps: take a message (see TakeMessage) and dispatch it.
  enum class Pumped { kNone, kQuit, kDispatched, kTerminated };
  Pumped PumpOne(const Deadline* deadline);

  std::atomic<HWindow> handle_{0};
  std::shared_ptr<event_queue_detail::EventQueue> queue_;
  std::atomic<int> owner_tid_{0};  // the thread that allocated the window
  std::atomic<bool> terminated_{false};
};

// TWindowHandle with timer 1 on its window; the tick calls TriggerTimer.
// Same threading as TWindowHandle: the ticks arrive on the owning thread.
class TTimerHandle : public TWindowHandle {
 public:
  using TTimerEvent = std::function<void(TTimerHandle& sender)>;

  TTimerHandle() = default;
  ~TTimerHandle() override;

  // Milliseconds; a plain value: changing it does not restart a running timer.
  std::int32_t TimerInterval = 1000;
  TTimerEvent OnTimer;

  bool TimerActive() const { return timer_active_; }

  // Starts timer 1 with TimerInterval; false (and nothing started) when the
  // interval is 0 or less or the timer cannot be set.
  bool ActivateTimer();

  std::int32_t HandleWM(std::uint32_t msg, std::int32_t wParam, std::int32_t lParam) override;
  void DestroyHandle() override;

  // Virtual operations added, in slot order.
  // Fires OnTimer.
  virtual void TriggerTimer();
  // Starts or stops the timer; an unchanged value does nothing, and a timer
  // that cannot start leaves TimerActive false.
  virtual void SetTimerActive(bool value);

 private:
  bool timer_active_ = false;
};

// The timer with its settings public, for owners that place it by value.
class TfndTimerHandle : public TTimerHandle {};

}  // namespace vt
