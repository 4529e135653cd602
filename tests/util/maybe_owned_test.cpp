#include "util/maybe_owned.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>

namespace vt {
namespace {

// Counts its own destruction, so that a test sees what was freed and when.
struct TCounted {
  explicit TCounted(int& freed) : freed_(freed) {}
  ~TCounted() { ++freed_; }
  int& freed_;
};

// Every way the holder lets go of a pointer frees it exactly when it owned
// it: a leak or a double free here would be a lost file or a crash in the
// streams and messages that hold their parts this way.
TEST(MaybeOwned, FreesExactlyWhatItOwns) {
  using Step = void (*)(TMaybeOwned<TCounted> & holder, TCounted * other);
  struct Case {
    const char* name;
    bool owned;
    Step step;
    int freed_by_step;    // times the object was freed once the step is done
    int freed_by_holder;  // the same once the holder is gone
  };
  const Step nothing = [](TMaybeOwned<TCounted>&, TCounted*) {};
  const Case cases[] = {
      {"owned, holder ends", true, nothing, 0, 1},
      {"borrowed, holder ends", false, nothing, 0, 0},
      {"owned, reset", true, [](TMaybeOwned<TCounted>& h, TCounted*) { h.Reset(); }, 1, 1},
      {"owned, borrows another", true, [](TMaybeOwned<TCounted>& h, TCounted* o) { h.Borrow(o); }, 1, 1},
      // Borrowing what it owns already must not free it under the caller.
      {"owned, borrows itself", true, [](TMaybeOwned<TCounted>& h, TCounted*) { h.Borrow(h.Get()); }, 0, 1},
      {"owned, assigned a borrowed one", true,
       [](TMaybeOwned<TCounted>& h, TCounted* o) { h = TMaybeOwned(o, false); }, 1, 1},
      {"owned, moved away and back", true,
       [](TMaybeOwned<TCounted>& h, TCounted*) {
         TMaybeOwned<TCounted> moved(std::move(h));
         h = std::move(moved);
       },
       0, 1},
      {"owned, moved into a holder that ends", true,
       [](TMaybeOwned<TCounted>& h, TCounted*) { TMaybeOwned<TCounted> gone(std::move(h)); }, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int freed = 0;
    int other_freed = 0;
    TCounted other(other_freed);
    auto object = std::make_unique<TCounted>(freed);
    TCounted* raw = object.get();
    {
      TMaybeOwned<TCounted> holder =
          c.owned ? TMaybeOwned<TCounted>(std::move(object)) : TMaybeOwned<TCounted>(raw, false);
      EXPECT_EQ(c.owned, holder.Owns());
      EXPECT_EQ(raw, static_cast<TCounted*>(holder));
      c.step(holder, &other);
      EXPECT_EQ(c.freed_by_step, freed);
    }
    EXPECT_EQ(c.freed_by_holder, freed);
    EXPECT_EQ(0, other_freed);
  }
}

TEST(MaybeOwned, NullIsNeverOwned) {
  TMaybeOwned<int> holder(nullptr, true);
  EXPECT_FALSE(holder.Owns());
  EXPECT_EQ(nullptr, holder.Get());
  holder.Own(nullptr);
  EXPECT_FALSE(holder.Owns());
}

}  // namespace
}  // namespace vt
