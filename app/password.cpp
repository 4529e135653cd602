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
  std::erase_if(failures_, [now](const auto& entry) {
    return now - entry.second.last > kForgetAfter && now >= entry.second.paused_until;
  });
  while (failures_.size() >= kMaxFailureEntries) {
    const auto oldest = std::min_element(failures_.begin(), failures_.end(), [](const auto& a, const auto& b) {
      return a.second.last < b.second.last;
    });
    failures_.erase(oldest);
  }
}

TBasicAuthGate::TResult TBasicAuthGate::Check(const std::string& credentials, const TSocketAddress& peer,
                                              std::chrono::steady_clock::time_point now) {
  TResult result;
  std::shared_ptr<const TConfig> config;
  std::string key;
  Digest digest{};
  {
    std::lock_guard lock(mutex_);
    config = config_;
    if (!config) return result;
    result.verdict = TVerdict::kRefuse;
    if (credentials.empty()) return result;  // a client's first try: nothing to count
    // Made only here: without a password, or without credentials, a request
    // does not pay for the address's text.
    key = AddressKey(peer);
    const auto found = failures_.find(key);
    if (found != failures_.end() && now < found->second.paused_until) {
      result.verdict = TVerdict::kPaused;
      result.failures = found->second.count;
      result.pause = std::chrono::duration_cast<std::chrono::milliseconds>(found->second.paused_until - now);
      return result;
    }
    digest = DigestOf(credentials);
    for (const Digest& known : passed_) {
      if (sodium_memcmp(known.data(), digest.data(), digest.size()) == 0) {
        failures_.erase(key);
        result.verdict = TVerdict::kPass;
        result.user = credentials.substr(0, credentials.find(':'));
        return result;
      }
    }
  }

  const std::size_t colon = credentials.find(':');
  const std::string user = credentials.substr(0, colon);
  const std::string password = colon == std::string::npos ? std::string() : credentials.substr(colon + 1);
  const Digest user_digest = DigestOf(user);
  bool matches;
  {
    std::lock_guard check(check_mutex_);
    // The slow check runs whatever the name, so time tells nothing about it.
    const bool password_matches = VerifyPassword(config->hash, password);
    const bool user_matches =
        config->user.empty() ||
        sodium_memcmp(user_digest.data(), config->user_digest.data(), user_digest.size()) == 0;
    matches = password_matches && user_matches && colon != std::string::npos;
  }

  std::lock_guard lock(mutex_);
  if (matches) {
    failures_.erase(key);
    // Only while the configuration that was checked is still the one in use.
    if (config_ == config && passed_.size() < 8) passed_.push_back(digest);
    result.verdict = TVerdict::kPass;
    result.user = user;
    return result;
  }
  if (failures_.find(key) == failures_.end()) ForgetOldFailures(now);
  TFailures& failures = failures_[key];
  if (now - failures.last > kForgetAfter) failures.count = 0;
  ++failures.count;
  failures.last = now;
  result.failures = failures.count;
  if (failures.count > kFreeFailures) {
    auto pause = kFirstPause;
    for (int i = kFreeFailures + 1; i < failures.count && pause < kLongestPause; ++i) pause *= 2;
    result.pause = std::min(pause, kLongestPause);
    failures.paused_until = now + result.pause;
  }
  return result;
}

}  // namespace vt
