#include "app/password.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>

namespace vt {

namespace {

void RequireSodium() {
  if (sodium_init() < 0) throw EPassword("The password library could not be started");
}

}  // namespace

std::string HashPassword(const std::string& password) {
  RequireSodium();
  char hash[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(hash, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                        crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
    throw EPassword("The password could not be hashed (out of memory)");
  return hash;
}

bool IsPasswordHash(const std::string& text) {
  // "$argon2id$v=19$m=...,t=...,p=...$salt$hash": the form libsodium writes
  // (and the older $argon2i$ it still checks).
  if (text.size() >= crypto_pwhash_STRBYTES) return false;
  if (text.rfind("$argon2id$v=", 0) != 0 && text.rfind("$argon2i$v=", 0) != 0) return false;
  return std::count(text.begin(), text.end(), '$') == 5;
}

bool VerifyPassword(const std::string& hash, const std::string& password) {
  RequireSodium();
  if (!IsPasswordHash(hash)) return false;
  return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

// ---------------------------------------------------------------------------

TBasicAuthGate::TBasicAuthGate() {
  RequireSodium();
  randombytes_buf(key_, sizeof key_);
}

TBasicAuthGate::Digest TBasicAuthGate::DigestOf(const std::string& text) const {
  Digest digest{};
  crypto_generichash(digest.data(), digest.size(), reinterpret_cast<const unsigned char*>(text.data()),
                     text.size(), key_, sizeof key_);
  return digest;
}

void TBasicAuthGate::Configure(const std::string& user, const std::string& hash) {
  std::lock_guard lock(mutex_);
  if (config_ && config_->user == user && config_->hash == hash) return;
  if (hash.empty()) {
    config_.reset();
  } else {
    auto config = std::make_shared<TConfig>();
    config->user = user;
    config->hash = hash;
    config->user_digest = DigestOf(user);
    config_ = std::move(config);
  }
  enabled_.store(config_ != nullptr, std::memory_order_release);
  passed_.clear();
}

bool TBasicAuthGate::Enabled() const { return enabled_.load(std::memory_order_acquire); }

std::string TBasicAuthGate::AddressKey(const TSocketAddress& peer) {
  if (peer.IsIPv4() || peer.Family() != AF_INET6) return peer.HostText();
  // One IPv6 user holds a whole /64: its addresses count as one.
  TSocketAddress network = peer;
  std::memset(network.v6.sin6_addr.s6_addr + 8, 0, 8);
  network.v6.sin6_scope_id = 0;
  return network.HostText() + "/64";
}

void TBasicAuthGate::ForgetOldFailures(std::chrono::steady_clock::time_point now) {
  // An address with a guess still being checked keeps its record: the check
  // settles there when it ends.
  std::erase_if(failures_, [now](const auto& entry) {
    return entry.second.pending == 0 && now - entry.second.last > kForgetAfter &&
           now >= entry.second.paused_until;
  });
  while (failures_.size() >= kMaxFailureEntries) {
    auto oldest = failures_.end();
    for (auto it = failures_.begin(); it != failures_.end(); ++it)
      if (it->second.pending == 0 && (oldest == failures_.end() || it->second.last < oldest->second.last))
        oldest = it;
    // Every record has a check in flight: they are bounded by the
    // connections, so the table grows past its bound only by those.
    if (oldest == failures_.end()) break;
    failures_.erase(oldest);
  }
}

TBasicAuthGate::TResult TBasicAuthGate::CheckAt(
    const std::string& credentials, const TSocketAddress& peer,
    std::optional<std::chrono::steady_clock::time_point> fixed_now) {
  std::chrono::steady_clock::time_point now = fixed_now.value_or(std::chrono::steady_clock::now());
  TResult result;
  std::shared_ptr<const TConfig> config;
  std::string key;
  Digest digest{};
  int rank = 0;
  {
    std::lock_guard lock(mutex_);
    config = config_;
    if (!config) return result;
    result.verdict = TVerdict::kRefuse;
    if (credentials.empty()) return result;  // a client's first try: nothing to count
    digest = DigestOf(credentials);
    // Credentials that passed before pass whatever others at the same address
    // guess: the owner is not locked out by someone sharing the address. They
    // clear nothing either, so the guesser gains no fresh tries from them.
    for (const Digest& known : passed_) {
      if (sodium_memcmp(known.data(), digest.data(), digest.size()) == 0) {
        result.verdict = TVerdict::kPass;
        result.user = credentials.substr(0, credentials.find(':'));
        return result;
      }
    }
    // Made only here: without a password, or without credentials, a request
    // does not pay for the address's text.
    key = AddressKey(peer);
    auto found = failures_.find(key);
    if (found == failures_.end()) {
      ForgetOldFailures(now);
      found = failures_.emplace(key, TFailures{}).first;
    }
    TFailures& failures = found->second;
    if (failures.pending == 0 && now - failures.last > kForgetAfter) failures.count = 0;
    // A guess counts from the moment it is taken, not once its slow check
    // has failed: guesses sent side by side share the free ones. Past them,
    // one guess at a time, each after its pause.
    const int allowed = failures.count < kFreeGuesses ? kFreeGuesses - failures.count : 1;
    if (now < failures.paused_until || failures.pending >= allowed) {
      result.verdict = TVerdict::kPaused;
      result.failures = failures.count;
      result.pause = now < failures.paused_until
                         ? std::chrono::duration_cast<std::chrono::milliseconds>(failures.paused_until - now)
                         : kFirstPause;  // the guesses in flight decide the pause
      return result;
    }
    rank = failures.count + failures.pending;
    ++failures.pending;
  }

  const std::size_t colon = credentials.find(':');
  const std::string user = credentials.substr(0, colon);
  const std::string password = colon == std::string::npos ? std::string() : credentials.substr(colon + 1);
  const Digest user_digest = DigestOf(user);
  bool matches;
  {
    // One slow check at a time, an address's first guess before anyone's
    // further ones.
    TFairTurn turn(checks_, rank);
    // The slow check runs whatever the name, so time tells nothing about it.
    const bool password_matches = VerifyPassword(config->hash, password);
    const bool user_matches =
        config->user.empty() ||
        sodium_memcmp(user_digest.data(), config->user_digest.data(), user_digest.size()) == 0;
    matches = password_matches && user_matches && colon != std::string::npos;
  }

  now = fixed_now.value_or(std::chrono::steady_clock::now());
  std::lock_guard lock(mutex_);
  TFailures& failures = failures_[key];  // kept while pending
  --failures.pending;
  if (matches) {
    failures.count = 0;
    failures.paused_until = {};
    if (failures.pending == 0) failures_.erase(key);
    // Only while the configuration that was checked is still the one in use.
    if (config_ == config && passed_.size() < 8) passed_.push_back(digest);
    result.verdict = TVerdict::kPass;
    result.user = user;
    return result;
  }
  ++failures.count;
  failures.last = now;
  result.failures = failures.count;
  if (failures.count >= kFreeGuesses) {
    auto pause = kFirstPause;
    for (int i = kFreeGuesses; i < failures.count && pause < kLongestPause; ++i) pause *= 2;
    result.pause = std::min(pause, kLongestPause);
    failures.paused_until = now + result.pause;
  }
  return result;
}

}  // namespace vt
