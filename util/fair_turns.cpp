#include "util/fair_turns.h"

#include <algorithm>

namespace vt {

void TFairTurns::Enter(int rank) {
  std::unique_lock lock(mutex_);
  if (!held_ && waiting_.empty()) {
    held_ = true;
    return;
  }
  TWaiter me;
  me.rank = rank;
  me.arrival = arrivals_++;
  waiting_.push_back(&me);
  me.wake.wait(lock, [&me] { return me.turn; });
  // Leave took it off the list and handed the turn over: held_ stayed true.
}

void TFairTurns::Leave() {
  std::lock_guard lock(mutex_);
  if (waiting_.empty()) {
    held_ = false;
    return;
  }
  const auto next =
      std::min_element(waiting_.begin(), waiting_.end(), [](const TWaiter* a, const TWaiter* b) {
        return a->rank != b->rank ? a->rank < b->rank : a->arrival < b->arrival;
      });
  TWaiter* waiter = *next;
  waiting_.erase(next);
  waiter->turn = true;
  // Notified under the lock: the waiter's record lives on its stack and goes
  // as soon as it sees its turn, which it cannot before the lock is free.
  waiter->wake.notify_one();
}

std::size_t TFairTurns::Waiting() const {
  std::lock_guard lock(mutex_);
  return waiting_.size();
}

}  // namespace vt
