#include "platform/event_timers.h"

#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace vt {
namespace event_queue_detail {

namespace {

std::int64_t NowNs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

TEventTimers::~TEventTimers() {
  if (timer_fd_ >= 0) ::close(timer_fd_);
}

int TEventTimers::Open() {
  timer_fd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  return timer_fd_ < 0 ? errno : 0;
}

void TEventTimers::SetLocked(HWindow window, std::uint32_t id, std::uint32_t interval_ms) {
  const std::int64_t interval_ns = static_cast<std::int64_t>(interval_ms) * 1000000;
  const std::int64_t due = NowNs() + interval_ns;
  auto timer = std::find_if(timers_.begin(), timers_.end(),
                            [&](const TTimer& t) { return t.window == window && t.id == id; });
  if (timer == timers_.end()) {
    timers_.push_back(TTimer{window, id, interval_ns, due, false});
    CountChangedLocked();
  } else {
    // A tick already queued stays pending; the next one counts from now.
    timer->interval_ns = interval_ns;
    timer->due_ns = due;
  }
  ArmLocked();
}

bool TEventTimers::KillLocked(HWindow window, std::uint32_t id) {
  const bool killed =
      std::erase_if(timers_, [&](const TTimer& t) { return t.window == window && t.id == id; }) != 0;
  CountChangedLocked();
  return killed;
}

void TEventTimers::RemoveWindowLocked(HWindow window) {
  std::erase_if(timers_, [window](const TTimer& timer) { return timer.window == window; });
  CountChangedLocked();
}

void TEventTimers::ClearLocked() {
  timers_.clear();
  CountChangedLocked();
}

void TEventTimers::Fired() {
  std::uint64_t expirations;
  [[maybe_unused]] ssize_t got = ::read(timer_fd_, &expirations, sizeof expirations);
  std::lock_guard lock(lock_);
  armed_ns_ = 0;
}

void TEventTimers::CollectDue(MessageSink& sink) {
  std::lock_guard lock(lock_);
  if (timers_.empty()) return;
  const std::int64_t now = NowNs();
  for (TTimer& timer : timers_) {
    if (!timer.pending && timer.due_ns <= now) {
      sink.Post(timer.window, kTimerMessage, static_cast<std::int32_t>(timer.id), 0);
      timer.pending = true;
      timer.due_ns = now + timer.interval_ns;
    }
  }
  ArmLocked();
}

bool TEventTimers::TickTaken(HWindow window, std::uint32_t id) {
  std::lock_guard lock(lock_);
  for (TTimer& timer : timers_) {
    if (timer.window == window && timer.id == id) {
      timer.pending = false;
      ArmLocked();
      return true;
    }
  }
  return false;
}

void TEventTimers::ArmLocked() {
  std::int64_t earliest = INT64_MAX;
  for (const TTimer& timer : timers_) {
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

}  // namespace event_queue_detail
}  // namespace vt
