#pragma once

// TWorkerScheduling: how a worker thread shares the processor with the rest
// of the process. Every change of a thread's scheduling policy the server
// makes is made here.
//
// A thread of a yielding pool (TPoolThreads::kYielding) runs SCHED_BATCH: a
// woken thread does not take the processor from the thread that is
// running, so the server's main thread finishes its pass over the waiting
// connections instead of losing the processor to the first worker it
// wakes, and to the next. Its share of the processor stays what it was.
//
// Where a thread's own delay matters, its job asks for ordinary scheduling
// (WaitAsOrdinaryFromNow): from the next time the thread blocks on its event
// queue (for a peer, a timer) it runs SCHED_OTHER and is then woken as
// promptly as ordinary threads are. Work done without such a wait keeps
// yielding and costs no system call. When the job is over, the pool's
// thread yields again before it takes the next one, so every job starts as
// on a fresh thread.
//
// A process started under another policy (chrt) keeps it: only a thread
// that runs SCHED_OTHER is made yielding. A thread made by a yielding thread
// inherits SCHED_BATCH; a program started from such a thread runs as the
// process does (ChildRunsOrdinary).
//
// Threads: every call acts on the calling thread; the state is per thread,
// except the process-wide note that some thread was made yielding.

namespace vt {

class TWorkerScheduling {
 public:
  // --- A thread of a yielding pool ---
  // As it starts: SCHED_BATCH. A failure leaves an ordinary thread, which
  // only costs speed.
  static void BeginYielding();
  // After each job: yielding again when the job had the thread changed.
  static void EndJob();

  // --- A job ---
  // From the next blocking wait on the event queue until the job ends, the
  // thread runs as ordinary threads do. Nothing on a thread that does not
  // yield.
  static void WaitAsOrdinaryFromNow();

  // --- The event queue, before it blocks ---
  static void BeforeBlockingWait() {
    if (t_change_at_wait_) ChangeToOrdinary();
  }

  // --- Starting a program ---
  // True when a program started from the calling thread must be set back to
  // SCHED_OTHER: the thread runs SCHED_BATCH because of a yielding pool
  // (its own or the thread's that made it), not because the process was
  // started that way.
  static bool ChildRunsOrdinary();

 private:
  static void ChangeToOrdinary();

  // This thread was made yielding by BeginYielding.
  static constinit thread_local bool t_yielding_;
  // A job asked for ordinary scheduling and the thread has not changed yet.
  static constinit thread_local bool t_change_at_wait_;
  // The thread runs SCHED_OTHER at its job's request.
  static constinit thread_local bool t_changed_;
};

}  // namespace vt
