#include "sockets/host_lookup.h"

#include <gtest/gtest.h>

#include <chrono>

namespace vt {
namespace {

using namespace std::chrono_literals;

// Pumps the calling (main) thread until the lookup is no longer in progress.
bool PumpUntilDone(TSocketHostLookup& lookup) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (lookup.LookupState() == TSocketHostLookup::kLookupInProgress) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    HandleThreadMessage(std::chrono::steady_clock::now() + 100ms);
  }
  return true;
}

TEST(HostLookup, ResolvesByEveryMethod) {
  TInAddr loopback = 0;
  ParseDottedAddress("127.0.0.1", loopback);
  for (auto method : {TSocketHostLookup::kLookupBlocking, TSocketHostLookup::kLookupAsync,
                      TSocketHostLookup::kLookupThread}) {
    SCOPED_TRACE(static_cast<int>(method));
    TSocketHostLookup lookup;
    lookup.LookupMethod = method;
    lookup.Host = "localhost";
    int starts = 0;
    int completions = 0;
    lookup.OnLookupStart = [&](TSocketHostLookup&) { ++starts; };
    lookup.OnLookupComplete = [&](TSocketHostLookup& sender) {
      EXPECT_EQ(&lookup, &sender);
      ++completions;
    };
    lookup.Lookup();
    EXPECT_TRUE(PumpUntilDone(lookup));
    EXPECT_EQ(1, starts);
    EXPECT_EQ(1, completions);
    EXPECT_EQ(TSocketHostLookup::kLookupDone, lookup.LookupState());
    EXPECT_EQ(0, lookup.ErrorCode());
    ASSERT_FALSE(lookup.Addresses().empty());
    EXPECT_EQ(loopback, lookup.Addresses()[0]);

    // The worker serves a second request too; an unknown host completes
    // with an error.
    lookup.Host = "no-such-host.invalid";
    lookup.Lookup();
    EXPECT_TRUE(PumpUntilDone(lookup));
    EXPECT_EQ(2, completions);
    EXPECT_NE(0, lookup.ErrorCode());
    EXPECT_TRUE(lookup.Addresses().empty());
  }
}

TEST(HostLookup, RefusesOverlappingOrEmptyRequestsAndIgnoresAbandonedOnes) {
  TSocketHostLookup lookup;
  EXPECT_THROW(lookup.Lookup(), ESocketHostLookup);
  lookup.Host = "localhost";
  int completions = 0;
  lookup.OnLookupComplete = [&](TSocketHostLookup&) { ++completions; };
  lookup.Lookup();
  try {
    lookup.Lookup();
    FAIL();
  } catch (const ESocketHostLookup& e) {
    EXPECT_EQ("Lookup in progress", e.Message());
  }
  lookup.Abandon();
  EXPECT_EQ(TSocketHostLookup::kLookupAbandoned, lookup.LookupState());
  lookup.Lookup();  // allowed again; the abandoned reply must not complete it
  EXPECT_TRUE(PumpUntilDone(lookup));
  EXPECT_EQ(1, completions);
}

}  // namespace
}  // namespace vt
