#include "platform/worker_scheduling.h"

#include <sched.h>

#include <atomic>

namespace vt {

namespace {
// Some thread was made yielding: until then no thread can run SCHED_BATCH
// because of the server, and a program needs no change.
std::atomic<bool> g_some_thread_yielding{false};
}  // namespace

constinit thread_local bool TWorkerScheduling::t_yielding_ = false;
constinit thread_local bool TWorkerScheduling::t_change_at_wait_ = false;
constinit thread_local bool TWorkerScheduling::t_changed_ = false;

void TWorkerScheduling::BeginYielding() {
  if (::sched_getscheduler(0) != SCHED_OTHER) return;
  const sched_param none{};
  if (::sched_setscheduler(0, SCHED_BATCH, &none) != 0) return;
  t_yielding_ = true;
  g_some_thread_yielding.store(true, std::memory_order_relaxed);
}

void TWorkerScheduling::EndJob() {
  t_change_at_wait_ = false;
  if (!t_changed_) return;
  t_changed_ = false;
  const sched_param none{};
  ::sched_setscheduler(0, SCHED_BATCH, &none);
}

void TWorkerScheduling::WaitAsOrdinaryFromNow() {
  if (t_yielding_ && !t_changed_) t_change_at_wait_ = true;
}

void TWorkerScheduling::ChangeToOrdinary() {
  // Tried once per job: a failure leaves the thread yielding, which only
  // costs time.
  t_change_at_wait_ = false;
  const sched_param none{};
  if (::sched_setscheduler(0, SCHED_OTHER, &none) == 0) t_changed_ = true;
}

bool TWorkerScheduling::ChildRunsOrdinary() {
  return g_some_thread_yielding.load(std::memory_order_relaxed) && ::sched_getscheduler(0) == SCHED_BATCH;
}

}  // namespace vt
