#include "util/fair_turns.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vt {
namespace {

using namespace std::chrono_literals;

// Waits (bounded) until `turns` has `count` waiters queued.
bool WaitForQueued(const TFairTurns& turns, std::size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (turns.Waiting() < count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// While one holds the turn, waiters queue up one after another with the
// given ranks; the order in which they get the turn is checked.
TEST(FairTurns, LowestRankFirstThenFirstCome) {
  const struct {
    const char* why;
    std::vector<int> ranks;  // in the order the waiters arrive
    std::string order;       // the waiters' letters in the order of their turns
  } cases[] = {
      {"equal ranks go in arrival order", {0, 0, 0}, "abc"},
      {"a newcomer's first try passes a flood's further ones", {3, 2, 1, 0}, "dcba"},
      {"ties within a rank keep arrival order", {1, 0, 1, 0}, "bdac"},
      {"one waiter", {5}, "a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    TFairTurns turns;
    turns.Enter(0);
    std::mutex order_mutex;
    std::string order;
    std::vector<std::thread> waiters;
    for (std::size_t i = 0; i < c.ranks.size(); ++i) {
      waiters.emplace_back([&, i] {
        TFairTurn turn(turns, c.ranks[i]);
        std::lock_guard lock(order_mutex);
        order += static_cast<char>('a' + i);
      });
      // Arrival order is the order of entering the queue.
      ASSERT_TRUE(WaitForQueued(turns, i + 1));
    }
    turns.Leave();
    for (auto& waiter : waiters) waiter.join();
    EXPECT_EQ(c.order, order);
    EXPECT_EQ(0u, turns.Waiting());
  }
}

// Many threads taking turns: never two inside at once, and the turn is free
// again after the last one left.
TEST(FairTurns, OneAtATimeAndFreeAfterTheLastLeaves) {
  TFairTurns turns;
  std::atomic<int> inside{0};
  std::atomic<int> most_inside{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&, i] {
      for (int j = 0; j < 50; ++j) {
        TFairTurn turn(turns, (i + j) % 3);
        const int now_inside = inside.fetch_add(1) + 1;
        int most = most_inside.load();
        while (now_inside > most && !most_inside.compare_exchange_weak(most, now_inside)) {
        }
        std::this_thread::yield();
        inside.fetch_sub(1);
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(1, most_inside.load());
  turns.Enter(7);  // would block for good if the turn were still held
  turns.Leave();
}

}  // namespace
}  // namespace vt
