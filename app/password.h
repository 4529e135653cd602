#pragma once

// The optional password of the published folder: its hash, and the gate
// every request passes when one is set.
//
// The hash is libsodium's crypto_pwhash_str: Argon2id with a random salt and
// the library's interactive limits (about 64 MiB and a tenth of a second per
// check), written as "$argon2id$v=19$m=65536,t=2,p=1$<salt>$<hash>". The
// settings keep only that text, never the password.
//
// TBasicAuthGate checks a request's HTTP Basic credentials against the user
// and the hash:
// - names and passwords are compared in constant time (keyed digests for
//   the name, the slow hash's own check for the password, run even when the
//   name is wrong, so that timing tells nothing about either);
// - credentials that passed once are remembered by a keyed digest, so a
//   browser that sends them with every request costs one slow check, not
//   one per request; checks run one at a time, so a flood of guesses
//   cannot take every core or a gigabyte of memory;
// - a guess counts from the moment it is taken: from one address (IPv4
//   addresses one by one, IPv6 ones by their /64 network, which one user
//   holds whole) at most kFreeGuesses are checked or waiting to be, unless
//   they win; the next ones are refused without being checked, and past
//   kFreeGuesses failures in a row the address gets one guess at a time,
//   each after a pause that doubles with each further failure, up to
//   kLongestPause; a success ends it. Refusing rather than waiting keeps no
//   connection's worker busy. The table of addresses is bounded
//   (kMaxFailureEntries);
// - credentials that passed are let through before any of that, so a
//   guesser at the owner's address does not lock the owner out;
// - the slow checks take turns by address: an address's first guess goes
//   before any address's further ones (TFairTurns), so a flood of guesses
//   from elsewhere keeps a newcomer waiting about one check, not the flood.
//
// Threads: Configure on the main thread; Check on any thread, several at
// once.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sockets/winsock.h"
#include "util/exception.h"
#include "util/fair_turns.h"

namespace vt {

VT_EXCEPTION_CLASS(EPassword, Exception);

// The hash of a password (see above); raises EPassword when the library
// cannot make one (out of memory).
std::string HashPassword(const std::string& password);
// `text` has the form HashPassword gives (not whether it matches anything).
bool IsPasswordHash(const std::string& text);
// `password` matches `hash` (false for a malformed hash). Slow on purpose.
bool VerifyPassword(const std::string& hash, const std::string& password);

// The realm of the password prompt.
inline constexpr const char* kAuthRealm = "Veltrana Web Server";

class TBasicAuthGate {
 public:
  // Guesses from one address, failed in a row or still being checked, before
  // its pause.
  static constexpr int kFreeGuesses = 4;
  // The first pause after those, doubled with each failure, and the longest.
  static constexpr std::chrono::milliseconds kFirstPause{1000};
  static constexpr std::chrono::milliseconds kLongestPause{60000};
  // A failure this old no longer counts.
  static constexpr std::chrono::minutes kForgetAfter{15};
  // Addresses remembered at most; the oldest go first.
  static constexpr std::size_t kMaxFailureEntries = 4096;

  enum class TVerdict {
    kPass,    // no password is set, or the credentials match
    kRefuse,  // none sent, or they do not match
    kPaused,  // refused unchecked: too many failures from that address
  };
  struct TResult {
    TVerdict verdict = TVerdict::kPass;
    std::string user;                    // kPass with a password set: the user name
    int failures = 0;                    // failures in a row from the address, this one included
    std::chrono::milliseconds pause{0};  // how long its attempts are now refused
  };

  TBasicAuthGate();

  // The user name (empty: any name) and the hash (empty: no password, every
  // request passes). A changed pair forgets the credentials that passed.
  void Configure(const std::string& user, const std::string& hash);
  // A password is set.
  bool Enabled() const;

  // `credentials`: the request's decoded Basic credentials ("user:password";
  // empty when it sent none). The clock is read when the guess is taken and
  // again when its check ends: a pause runs from the failure it follows.
  TResult Check(const std::string& credentials, const TSocketAddress& peer) {
    return CheckAt(credentials, peer, std::nullopt);
  }
  // For tests: the clock stands at `now` throughout.
  TResult Check(const std::string& credentials, const TSocketAddress& peer,
                std::chrono::steady_clock::time_point now) {
    return CheckAt(credentials, peer, now);
  }

 private:
  using Digest = std::array<unsigned char, 32>;
  struct TConfig {
    std::string user;
    std::string hash;
    Digest user_digest{};
  };
  struct TFailures {
    int count = 0;    // failed in a row
    int pending = 0;  // taken, still being checked
    std::chrono::steady_clock::time_point last{};
    std::chrono::steady_clock::time_point paused_until{};
  };

  TResult CheckAt(const std::string& credentials, const TSocketAddress& peer,
                  std::optional<std::chrono::steady_clock::time_point> fixed_now);
  Digest DigestOf(const std::string& text) const;
  static std::string AddressKey(const TSocketAddress& peer);
  void ForgetOldFailures(std::chrono::steady_clock::time_point now);

  unsigned char key_[32];     // of the digests, random per process
  mutable std::mutex mutex_;  // config_, passed_, failures_
  std::shared_ptr<const TConfig> config_;
  // config_ is set: read without the lock on every request, written with it.
  std::atomic<bool> enabled_{false};
  std::vector<Digest> passed_;  // credentials that passed the current config
  std::map<std::string, TFailures> failures_;
  TFairTurns checks_;  // one slow check at a time
};

}  // namespace vt
