#pragma once

// Certificates the program makes for itself, and what it reads back from
// one: a self-signed ECDSA P-256 certificate for the names and addresses
// the server is reached by, and the test whether one must be made again.
//
// Pure functions over PEM text; no files (app/certificate_store.h keeps
// them). Any thread.

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace vt {

struct TPemPair {
  std::string Certificate;  // PEM
  std::string Key;          // PEM, PKCS#8, unencrypted
};

// A new key pair and a self-signed certificate for it: subject CN the first
// of `dnsNames` (or the first address), subject alternative names every one
// of `dnsNames` (DNS) and `ipAddresses` (IP, IPv4 or IPv6 text; one that is
// no address is left out), valid from an hour before `now` for `validDays`
// days, a random serial, usable by a TLS server only. Raises ETls when
// OpenSSL fails.
TPemPair MakeSelfSignedCertificate(const std::vector<std::string>& dnsNames,
                                   const std::vector<std::string>& ipAddresses, std::time_t now,
                                   int validDays = 365);

// What the program looks at in a certificate.
struct TCertificateFacts {
  std::vector<std::string> DnsNames;     // the DNS names among its alternative names
  std::vector<std::string> IpAddresses;  // its IP alternative names, as text ("127.0.0.1", "::1")
  std::time_t NotBefore = 0;
  std::time_t NotAfter = 0;
  std::string Fingerprint;  // SHA-256 of the whole certificate, "AB:CD:..."
};

// The facts of the first certificate in `pem`; none when it holds none.
std::optional<TCertificateFacts> ReadCertificateFacts(const std::string& pem);

// How long before its end a made certificate is made again.
inline constexpr std::time_t kRenewBeforeSeconds = 30 * 24 * 3600;

// Why a made certificate must be made again, or empty when it can serve:
// it ends within `renewBefore` of `now` (or is not valid yet), or it lacks
// one of the names or addresses it is wanted for (names compared without
// regard to case, addresses as addresses).
std::string RenewalReason(const TCertificateFacts& facts, const std::vector<std::string>& dnsNames,
                          const std::vector<std::string>& ipAddresses, std::time_t now,
                          std::time_t renewBefore = kRenewBeforeSeconds);

}  // namespace vt
