#pragma once

// Running code on the main thread.
//
// The main thread is the process's initial thread (the one whose thread id
// equals the process id), unless InitMainThread names another before any
// queue is used. Its event queue (platform/event_queue.h) is the main queue:
// whoever pumps it (HandleMessage of a TWindowHandle, or ProcessThreadMessages
// under a foreign event loop watching MainQueueDescriptor) also runs the
// synchronised calls of the other threads, in the order they were made.
//
// Shutdown: ShutdownSynchronize (on the main thread), or the end of the main
// thread, makes every waiting and every later Synchronize of another thread
// raise ESynchronize instead of waiting for a main thread that no longer
// pumps. A worker therefore never waits forever, as long as the main thread
// either pumps or shuts synchronising down.

#include <functional>

#include "util/exception.h"

namespace vt {

// Raised by Synchronize when the main thread no longer serves calls.
VT_EXCEPTION_CLASS(ESynchronize, Exception);

// Runs `fn` on the main thread and returns when it has run. On the main
// thread it runs at once. An exception thrown by `fn` is rethrown here.
void Synchronize(const std::function<void()>& fn);

// Runs `fn` on the main thread later, without waiting for it: after the
// calls the calling thread has made so far (synchronised or posted), in
// order. On the main thread it runs at once. What `fn` raises goes no
// further than a line on standard error: nobody waits for the call.
// False (and `fn` dropped) when the main thread no longer serves calls.
bool PostToMainThread(std::function<void()> fn);

// For what a thread tells the main thread on its way (a log line, most
// often): runs `tell`, which reaches the main thread through Synchronize.
// A main thread that no longer serves calls is no failure here (the program
// is ending and nobody is left to tell): false, quietly. Any other failure
// of `tell` goes to standard error, the one place left to say it, prefixed
// with `what`; false as well. True when `tell` ran.
bool TellMainThread(const char* what, const std::function<void()>& tell);

// True on the main thread.
bool IsMainThread();

// Names the calling thread the main thread. Only needed when that is not the
// process's initial thread; call it before any queue or window is created.
void InitMainThread();

// The epoll descriptor of the main queue, for a foreign event loop to watch.
// It does not signal all work (see ThreadQueueDescriptor): the loop must
// also call ProcessThreadMessages each time before it blocks. Call it on
// the main thread.
int MainQueueDescriptor();

// Refuses synchronised calls from now on: the waiting ones and all later ones
// raise ESynchronize in their threads. Call it on the main thread.
void ShutdownSynchronize();

}  // namespace vt
