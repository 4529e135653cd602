#pragma once

// TFairTurns: one thing at a time (a slow check, say), taken in the order of
// a rank rather than of arrival.
//
// A waiter enters with a rank; when the holder leaves, the turn goes to the
// waiter with the lowest rank, and among equal ranks to the one that came
// first. The password gate ranks a guess by how many guesses its address
// already has taken and not yet won, so a flood from a few addresses queues
// behind everyone else's first try instead of in front of it.
//
// Waiting is bounded by what is queued: each waiter holds a connection, and
// the connections are bounded, so the queue is too.
//
// Threads: any, several at once. A waiter waits on a condition variable of
// its own, so a leave wakes exactly the next holder.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace vt {

class TFairTurns {
 public:
  // Blocks until it is the caller's turn.
  void Enter(int rank);
  // Hands the turn on. Call once per Enter, on the same thread or another.
  void Leave();

  // Waiters queued now (not counting the holder), for tests and figures.
  std::size_t Waiting() const;

 private:
  struct TWaiter {
    int rank = 0;
    std::uint64_t arrival = 0;
    bool turn = false;
    std::condition_variable wake;
  };

  mutable std::mutex mutex_;
  bool held_ = false;
  std::uint64_t arrivals_ = 0;
  std::vector<TWaiter*> waiting_;  // each lives on its thread's stack while queued
};

// Holds a turn for a scope.
class TFairTurn {
 public:
  TFairTurn(TFairTurns& turns, int rank) : turns_(turns) { turns_.Enter(rank); }
  ~TFairTurn() { turns_.Leave(); }
  TFairTurn(const TFairTurn&) = delete;
  TFairTurn& operator=(const TFairTurn&) = delete;

 private:
  TFairTurns& turns_;
};

}  // namespace vt
