#include "util/sequence_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace vt {
namespace {

// Three fields that every write sets from one number: a reading that mixes
// two writes shows as fields that disagree.
struct TTriple {
  TSequenceLock lock;
  TSequenced<std::uint64_t> a, b, c;

  void Write(std::uint64_t n) {
    lock.BeginWrite();
    a.Store(n);
    b.Store(n * 3);
    c.Store(~n);
    lock.EndWrite();
  }
};

// Readers on other threads, while writers (one alone, or several kept apart
// by a mutex) write, never accept a torn reading; once the writers stop, a
// reading stands at the first try and shows the last write.
TEST(SequenceLock, ReadersNeverAcceptATornReading) {
  constexpr std::uint64_t kWrites = 20000;
  const struct {
    const char* why;
    int writers;
  } cases[] = {
      {"a single writing thread", 1},
      {"writers kept apart by a mutex", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    TTriple triple;
    std::mutex writers_apart;
    std::atomic<int> writing{c.writers};
    std::atomic<std::uint64_t> torn{0}, accepted{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < c.writers; ++w) {
      threads.emplace_back([&, w] {
        for (std::uint64_t n = 1; n <= kWrites; ++n) {
          std::lock_guard lock(writers_apart);
          triple.Write(n * 4 + static_cast<std::uint64_t>(w));
        }
        writing.fetch_sub(1);
      });
    }
    for (int r = 0; r < 2; ++r) {
      threads.emplace_back([&] {
        while (writing.load() > 0) {
          std::uint64_t a = 0, b = 0, cc = 0;
          if (!triple.lock.Read(8, [&] {
                a = triple.a.Load();
                b = triple.b.Load();
                cc = triple.c.Load();
              }))
            continue;
          accepted.fetch_add(1);
          if (a != 0 && (b != a * 3 || cc != ~a)) torn.fetch_add(1);
        }
      });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(0u, torn.load()) << "of " << accepted.load() << " readings accepted";

    std::uint64_t last = 0;
    int reads = 0;
    EXPECT_TRUE(triple.lock.Read(1, [&] {
      ++reads;
      last = triple.a.Load();
    }));
    EXPECT_EQ(1, reads);
    EXPECT_EQ(kWrites, last / 4);
  }
}

// A reading is accepted only when no write began or ended while it ran:
// one that a write overlaps is run again, and a write left open (a writer
// stopped halfway) makes readers give up after their tries without reading
// anything it has touched.
TEST(SequenceLock, AReadingAWriteOverlapsDoesNotStand) {
  TTriple triple;
  triple.Write(7);
  std::vector<std::uint64_t> seen;
  EXPECT_TRUE(triple.lock.Read(3, [&] {
    seen.push_back(triple.a.Load());
    if (seen.size() == 1) triple.Write(9);
  }));
  EXPECT_EQ((std::vector<std::uint64_t>{7, 9}), seen);

  triple.lock.BeginWrite();
  triple.a.Store(8);
  int reads = 0;
  EXPECT_FALSE(triple.lock.Read(5, [&] { ++reads; }));
  EXPECT_EQ(0, reads);
  triple.lock.EndWrite();
  EXPECT_TRUE(triple.lock.Read(1, [&] { ++reads; }));
  EXPECT_EQ(1, reads);
}

}  // namespace
}  // namespace vt
