#pragma once

// TMainQueueBridge: lets Qt's event loop serve the main thread's own event
// queue (platform/event_queue.h), so that the other threads' Synchronize
// calls, the main thread's timers and its sockets keep being served while
// Qt runs, in nested loops (modal dialogs, menus) as well.
//
// How: a QSocketNotifier watches the main queue's epoll descriptor
// (MainQueueDescriptor), which is readable whenever the queue has work: a
// post from another thread, a due timer, a ready socket. It then runs
// ProcessThreadMessages, which dispatches a bounded batch and keeps the
// descriptor readable when work is left, so Qt's own events are never
// starved either. Some work does not make the descriptor readable, because
// the queue expects its owner to look again before it waits: messages the
// main thread posts to itself, socket re-checks it asks for, and posts from
// other threads while a dispatched handler runs a nested loop. So the bridge
// also runs ProcessThreadMessages whenever Qt's loop is about to block.
//
// A handler that opens a modal dialog while being dispatched gets a nested
// loop that goes on serving the queue, as in any message loop.
//
// An exception that escapes a message handler (the window handles catch
// only the system's own exceptions) must not unwind through Qt's event
// loop: the bridge catches it, reports it to OnException, and serves the
// remaining messages on its next turn.
//
// Lifetime: one object for the program's run, created on the main thread
// after the QApplication (and destroyed before it). Main thread only.

#include <QObject>
#include <exception>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace vt {

class TMainQueueBridge : public QObject {
 public:
  explicit TMainQueueBridge(QObject* parent = nullptr);
  ~TMainQueueBridge() override;

  // Receives what escaped a message handler; without a handler the message
  // is written to standard error.
  std::function<void(const std::exception& error)> OnException;

  // Runs the queue's pending work now; returns how many messages ran.
  int Serve();

 private:
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace vt
