// The snapshot holder: readers see whole values, never an older one after a
// newer one, and never a value of another holder.

#include "util/snapshot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vt {
namespace {

struct TPair {
  int number = 0;
  std::string text = "0";  // always number's digits: a torn value shows
};

TPair PairOf(int number) { return {number, std::to_string(number)}; }

// Run under ThreadSanitizer too: the kept per-thread value and the version
// check are the parts that could race.
TEST(Snapshot, ReadersOnSeveralThreadsSeeWholeValuesInPublicationOrder) {
  constexpr int kPublications = 2000;
  constexpr int kReaders = 4;
  TSnapshot<TPair> snapshot;
  std::atomic<bool> done{false};
  std::atomic<int> faults{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&] {
      int last = 0;
      for (;;) {
        const bool finished = done.load(std::memory_order_acquire);
        const std::shared_ptr<const TPair> value = snapshot.Current();
        if (!value || value->text != std::to_string(value->number) || value->number < last) ++faults;
        if (value) last = value->number;
        if (finished) {
          // Everything was published before `done`: the last value is seen.
          if (last != kPublications) ++faults;
          return;
        }
      }
    });
  }
  for (int i = 1; i <= kPublications; ++i) snapshot.Publish(PairOf(i));
  done.store(true, std::memory_order_release);
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(0, faults.load());
}

TEST(Snapshot, AValueKeptByAReaderOutlivesLaterPublications) {
  TSnapshot<TPair> snapshot(std::make_shared<const TPair>(PairOf(1)));
  const std::shared_ptr<const TPair> held = snapshot.Current();
  snapshot.Publish(PairOf(2));
  snapshot.Publish(nullptr);  // ignored: readers are promised a value
  EXPECT_EQ(1, held->number);
  EXPECT_EQ(2, snapshot.Current()->number);
}

// A thread keeps its last value per type, not per holder: a new holder in
// the old one's place, or two holders read in turn, must still give their
// own values.
TEST(Snapshot, HoldersOfOneTypeNeverGiveEachOthersValues) {
  std::optional<TSnapshot<TPair>> place;
  place.emplace(std::make_shared<const TPair>(PairOf(7)));
  EXPECT_EQ(7, place->Current()->number);
  place.reset();
  place.emplace(std::make_shared<const TPair>(PairOf(8)));
  EXPECT_EQ(8, place->Current()->number);

  TSnapshot<TPair> a(std::make_shared<const TPair>(PairOf(1)));
  TSnapshot<TPair> b(std::make_shared<const TPair>(PairOf(2)));
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(1, a.Current()->number);
    EXPECT_EQ(2, b.Current()->number);
  }
}

}  // namespace
}  // namespace vt
