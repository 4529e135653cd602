#include "app/password.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace vt {
namespace {

using namespace std::chrono_literals;
using Verdict = TBasicAuthGate::TVerdict;

TSocketAddress Address(const char* text) {
  TSocketAddress address;
  EXPECT_TRUE(ParseSocketAddress(text, 0, address)) << text;
  return address;
}

TEST(Password, HashIsSaltedSlowAndNeverHoldsThePassword) {
  const std::string first = HashPassword("s3cret");
  const std::string second = HashPassword("s3cret");
  EXPECT_EQ(0u, first.rfind("$argon2id$v=19$m=65536,t=2,p=1$", 0)) << first;
  EXPECT_NE(first, second) << "a fresh salt each time";
  EXPECT_EQ(std::string::npos, first.find("s3cret"));
  EXPECT_TRUE(IsPasswordHash(first));
  EXPECT_TRUE(VerifyPassword(first, "s3cret"));
  EXPECT_TRUE(VerifyPassword(second, "s3cret"));
  EXPECT_FALSE(VerifyPassword(first, "S3cret"));
  EXPECT_FALSE(VerifyPassword(first, ""));
  for (const char* text :
       {"", "s3cret", "$argon2id$", "$1$salt$hash", "$argon2id$v=19$m=65536,t=2,p=1$c2FsdA"})
    EXPECT_FALSE(IsPasswordHash(text)) << text;
  EXPECT_FALSE(VerifyPassword("s3cret", "s3cret")) << "a password written as the hash is no hash";
}

TEST(Password, GateAcceptsOnlyTheUserWithThePassword) {
  const std::string hash = HashPassword("s3cret");
  const struct {
    const char* user;  // AuthUser
    const char* hash;  // "*": the hash of s3cret
    const char* credentials;
    Verdict verdict;
    const char* remote_user;
  } cases[] = {
      {"", "", "", Verdict::kPass, ""},  // no password set
      {"", "", "bob:anything", Verdict::kPass, ""},
      {"ann", "*", "", Verdict::kRefuse, ""},
      {"ann", "*", "ann:s3cret", Verdict::kPass, "ann"},
      {"ann", "*", "ann:s3cret", Verdict::kPass, "ann"},  // remembered: no slow check
      {"ann", "*", "ann:S3cret", Verdict::kRefuse, ""},
      {"ann", "*", "Ann:s3cret", Verdict::kRefuse, ""},
      {"ann", "*", "bob:s3cret", Verdict::kRefuse, ""},
      {"ann", "*", "ann:s3cret ", Verdict::kRefuse, ""},
      {"ann", "*", "ann:", Verdict::kRefuse, ""},
      {"ann", "*", "ann", Verdict::kRefuse, ""},
      {"ann", "*", ":s3cret", Verdict::kRefuse, ""},
      {"", "*", "anyone:s3cret", Verdict::kPass, "anyone"},   // no user name set: any name
      {"ann", "s3cret", "ann:s3cret", Verdict::kRefuse, ""},  // no hash at all: nobody gets in
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.user) + " / " + c.credentials);
    TBasicAuthGate gate;
    gate.Configure(c.user, std::string(c.hash) == "*" ? hash : c.hash);
    EXPECT_EQ(*c.hash != 0, gate.Enabled());
    // Each case from an address of its own: no pause gets in the way.
    const TBasicAuthGate::TResult result = gate.Check(c.credentials, Address("127.0.0.1"));
    EXPECT_EQ(c.verdict, result.verdict);
    EXPECT_EQ(c.remote_user, result.user);
  }

  // Credentials remembered for one password are forgotten with it.
  TBasicAuthGate gate;
  gate.Configure("ann", hash);
  ASSERT_EQ(Verdict::kPass, gate.Check("ann:s3cret", Address("::1")).verdict);
  gate.Configure("ann", HashPassword("other"));
  EXPECT_EQ(Verdict::kRefuse, gate.Check("ann:s3cret", Address("::1")).verdict);
  EXPECT_EQ(Verdict::kPass, gate.Check("ann:other", Address("::1")).verdict);
}

// Wrong passwords from one address: a few go unpunished, then that address
// waits longer and longer, refused unchecked meanwhile; others are not
// held up, and a success ends the pause.
TEST(Password, FailuresSlowDownTheirAddress) {
  TBasicAuthGate gate;
  gate.Configure("ann", HashPassword("s3cret"));
  const auto start = std::chrono::steady_clock::now();
  const TSocketAddress attacker = Address("127.0.0.5");
  const struct {
    std::chrono::milliseconds at;
    const char* credentials;
    Verdict verdict;
    int failures;
    std::chrono::milliseconds pause;
  } steps[] = {
      {0ms, "ann:1", Verdict::kRefuse, 1, 0ms},          {0ms, "ann:2", Verdict::kRefuse, 2, 0ms},
      {0ms, "ann:3", Verdict::kRefuse, 3, 0ms},          {0ms, "ann:4", Verdict::kRefuse, 4, 1000ms},
      {500ms, "ann:s3cret", Verdict::kPaused, 4, 500ms},  // even the right one waits
      {1000ms, "ann:5", Verdict::kRefuse, 5, 2000ms},    {2999ms, "ann:6", Verdict::kPaused, 5, 1ms},
      {3000ms, "ann:6", Verdict::kRefuse, 6, 4000ms},    {7000ms, "ann:s3cret", Verdict::kPass, 0, 0ms},
      {7000ms, "ann:7", Verdict::kRefuse, 1, 0ms},  // counted afresh
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(std::to_string(step.at.count()) + " ms " + step.credentials);
    const TBasicAuthGate::TResult result = gate.Check(step.credentials, attacker, start + step.at);
    EXPECT_EQ(step.verdict, result.verdict);
    EXPECT_EQ(step.failures, result.failures);
    EXPECT_EQ(step.pause, result.pause);
  }

  // Another address is not held up; an IPv6 /64 counts as one address.
  for (int i = 0; i < 4; ++i) gate.Check("ann:x", Address("fd00::1"), start);
  EXPECT_EQ(Verdict::kPaused, gate.Check("ann:y", Address("fd00::2"), start).verdict);
  EXPECT_EQ(Verdict::kRefuse, gate.Check("ann:y", Address("fd00:0:0:1::2"), start).verdict);
  EXPECT_EQ(Verdict::kRefuse, gate.Check("ann:y", Address("127.0.0.6"), start).verdict);
  // The pause never grows past its bound.
  for (int i = 0; i < 9; ++i) gate.Check("ann:x", Address("127.0.0.7"), start + i * 61s);
  EXPECT_EQ(TBasicAuthGate::kLongestPause, gate.Check("ann:x", Address("127.0.0.7"), start + 9 * 61s).pause);
  // A failure long ago no longer counts.
  EXPECT_EQ(1, gate.Check("ann:x", Address("127.0.0.7"), start + 2h).failures);
}

// Guesses sent side by side share the free ones: they count when taken, not
// once their slow check has failed, so the rest are refused unchecked. Then
// even the right password is refused from there, until it has passed once:
// credentials that passed still pass during the pause guesses brought on
// their address.
TEST(Password, ParallelGuessesCountWhenTakenAndTheOwnerKeepsIn) {
  TBasicAuthGate gate;
  gate.Configure("ann", HashPassword("s3cret"));
  constexpr int kGuesses = 24;
  std::vector<Verdict> verdicts(kGuesses);
  std::vector<std::thread> guessers;
  std::atomic<int> ready{0};
  for (int i = 0; i < kGuesses; ++i)
    guessers.emplace_back([&, i] {
      ready.fetch_add(1);
      while (ready.load() < kGuesses) std::this_thread::yield();
      verdicts[i] = gate.Check("ann:guess" + std::to_string(i), Address("127.0.0.9")).verdict;
    });
  for (auto& guesser : guessers) guesser.join();
  const auto checked = std::count(verdicts.begin(), verdicts.end(), Verdict::kRefuse);
  EXPECT_EQ(TBasicAuthGate::kFreeGuesses, checked);
  EXPECT_EQ(kGuesses - TBasicAuthGate::kFreeGuesses,
            std::count(verdicts.begin(), verdicts.end(), Verdict::kPaused));
  // Now paused: even the right password is refused unchecked from there.
  EXPECT_EQ(Verdict::kPaused, gate.Check("ann:s3cret", Address("127.0.0.9")).verdict);

  // At the owner's address: wrong guesses pause it, yet the owner's
  // accepted credentials pass, and they give the guesser nothing.
  const TSocketAddress shared = Address("127.0.0.8");
  ASSERT_EQ(Verdict::kPass, gate.Check("ann:s3cret", shared).verdict);
  for (int i = 0; i < TBasicAuthGate::kFreeGuesses; ++i)
    EXPECT_EQ(Verdict::kRefuse, gate.Check("ann:wrong", shared).verdict);
  EXPECT_EQ(Verdict::kPaused, gate.Check("ann:wrong", shared).verdict);
  EXPECT_EQ(Verdict::kPass, gate.Check("ann:s3cret", shared).verdict);
  EXPECT_EQ(Verdict::kPaused, gate.Check("ann:wrong", shared).verdict);
}

}  // namespace
}  // namespace vt
