#include "sockets/tls_certificate.h"

#include <arpa/inet.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <memory>

#include "sockets/tls_session.h"
#include "util/ascii.h"

namespace vt {

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* pointer) const { Free(pointer); }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using Extension = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;
using Names = std::unique_ptr<GENERAL_NAMES, Deleter<GENERAL_NAMES, GENERAL_NAMES_free>>;

[[noreturn]] void Fail(const std::string& what) {
  const unsigned long code = ERR_peek_last_error();
  ERR_clear_error();
  const char* reason = code ? ERR_reason_error_string(code) : nullptr;
  throw ETls("The certificate cannot be made: " + what +
             (reason ? std::string(": ") + reason : std::string()));
}

// An address in its canonical text, or empty when `text` is none.
std::string CanonicalAddress(const std::string& text) {
  unsigned char bytes[16];
  char out[INET6_ADDRSTRLEN];
  if (::inet_pton(AF_INET, text.c_str(), bytes) == 1) return ::inet_ntop(AF_INET, bytes, out, sizeof out);
  if (::inet_pton(AF_INET6, text.c_str(), bytes) == 1) return ::inet_ntop(AF_INET6, bytes, out, sizeof out);
  return std::string();
}

void AddExtension(X509* certificate, X509V3_CTX& context, int nid, const std::string& value) {
  Extension extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
  if (!extension || X509_add_ext(certificate, extension.get(), -1) != 1) Fail("extension " + value);
}

std::string Pem(int (*write)(BIO*, void*), void* object) {
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio || write(bio.get(), object) != 1) Fail("PEM");
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

std::time_t TimeOf(const ASN1_TIME* time) {
  std::tm parts{};
  if (!time || ASN1_TIME_to_tm(time, &parts) != 1) return 0;
  return ::timegm(&parts);
}

}  // namespace

TPemPair MakeSelfSignedCertificate(const std::vector<std::string>& dnsNames,
                                   const std::vector<std::string>& ipAddresses, std::time_t now,
                                   int validDays) {
  ERR_clear_error();
  Key key(EVP_EC_gen("P-256"));
  if (!key) Fail("no key");
  Certificate certificate(X509_new());
  if (!certificate) Fail("no certificate");
  X509* x = certificate.get();
  X509_set_version(x, 2);
  // A random serial: a browser that saw an earlier certificate of this name
  // must not take the new one for it.
  std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>> serial(BN_new());
  if (!serial || BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1 ||
      !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(x)))
    Fail("serial");
  // An hour early, for a visitor whose clock is a little behind.
  constexpr std::time_t kEarly = 3600;
  if (!ASN1_TIME_set(X509_getm_notBefore(x), now - kEarly) ||
      !ASN1_TIME_set(X509_getm_notAfter(x), now + static_cast<std::time_t>(validDays) * 24 * 3600))
    Fail("validity");
  std::vector<std::string> addresses;
  for (const std::string& address : ipAddresses) {
    const std::string canonical = CanonicalAddress(address);
    if (!canonical.empty() && std::find(addresses.begin(), addresses.end(), canonical) == addresses.end())
      addresses.push_back(canonical);
  }
  const std::string common = !dnsNames.empty()    ? dnsNames.front()
                             : !addresses.empty() ? addresses.front()
                                                  : std::string("localhost");
  X509_NAME* subject = X509_get_subject_name(x);
  if (X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>(common.c_str()), -1, -1, 0) != 1 ||
      X509_set_issuer_name(x, subject) != 1 || X509_set_pubkey(x, key.get()) != 1)
    Fail("subject");
  X509V3_CTX context;
  X509V3_set_ctx(&context, x, x, nullptr, nullptr, 0);
  std::string alternative;
  for (const std::string& name : dnsNames) {
    if (name.empty() || name.find_first_of(",: ") != std::string::npos) continue;
    alternative += (alternative.empty() ? "DNS:" : ",DNS:") + name;
  }
  for (const std::string& address : addresses)
    alternative += (alternative.empty() ? "IP:" : ",IP:") + address;
  AddExtension(x, context, NID_basic_constraints, "critical,CA:FALSE");
  AddExtension(x, context, NID_key_usage, "critical,digitalSignature");
  AddExtension(x, context, NID_ext_key_usage, "serverAuth");
  AddExtension(x, context, NID_subject_key_identifier, "hash");
  if (!alternative.empty()) AddExtension(x, context, NID_subject_alt_name, alternative);
  if (X509_sign(x, key.get(), EVP_sha256()) <= 0) Fail("signature");
  TPemPair pair;
  pair.Certificate =
      Pem([](BIO* bio, void* object) { return PEM_write_bio_X509(bio, static_cast<X509*>(object)); }, x);
  pair.Key = Pem(
      [](BIO* bio, void* object) {
        return PEM_write_bio_PrivateKey(bio, static_cast<EVP_PKEY*>(object), nullptr, nullptr, 0, nullptr,
                                        nullptr);
      },
      key.get());
  return pair;
}

std::optional<TCertificateFacts> ReadCertificateFacts(const std::string& pem) {
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return std::nullopt;
  Certificate certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  ERR_clear_error();
  if (!certificate) return std::nullopt;
  TCertificateFacts facts;
  facts.NotBefore = TimeOf(X509_get0_notBefore(certificate.get()));
  facts.NotAfter = TimeOf(X509_get0_notAfter(certificate.get()));
  Names names(static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(certificate.get(), NID_subject_alt_name, nullptr, nullptr)));
  for (int i = 0; names && i < sk_GENERAL_NAME_num(names.get()); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
    if (name->type == GEN_DNS) {
      const ASN1_STRING* text = name->d.dNSName;
      facts.DnsNames.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                                  static_cast<std::size_t>(ASN1_STRING_length(text)));
    } else if (name->type == GEN_IPADD) {
      const ASN1_OCTET_STRING* bytes = name->d.iPAddress;
      const int length = ASN1_STRING_length(bytes);
      char out[INET6_ADDRSTRLEN];
      if ((length == 4 || length == 16) &&
          ::inet_ntop(length == 4 ? AF_INET : AF_INET6, ASN1_STRING_get0_data(bytes), out, sizeof out))
        facts.IpAddresses.emplace_back(out);
    }
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  if (X509_digest(certificate.get(), EVP_sha256(), digest, &length) == 1) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (unsigned i = 0; i < length; ++i) {
      if (i > 0) facts.Fingerprint += ':';
      facts.Fingerprint += kDigits[digest[i] >> 4];
      facts.Fingerprint += kDigits[digest[i] & 15];
    }
  }
  return facts;
}

std::string RenewalReason(const TCertificateFacts& facts, const std::vector<std::string>& dnsNames,
                          const std::vector<std::string>& ipAddresses, std::time_t now,
                          std::time_t renewBefore) {
  if (facts.NotAfter - renewBefore <= now) return "it ends soon";
  if (facts.NotBefore > now) return "it is not valid yet";
  for (const std::string& name : dnsNames) {
    if (name.empty()) continue;
    const bool found =
        std::any_of(facts.DnsNames.begin(), facts.DnsNames.end(), [&](const std::string& held) {
          return held.size() == name.size() && AsciiEqualFolded(held.data(), name.data(), name.size());
        });
    if (!found) return "it lacks the name " + name;
  }
  for (const std::string& address : ipAddresses) {
    const std::string canonical = CanonicalAddress(address);
    if (canonical.empty()) continue;
    const bool found =
        std::any_of(facts.IpAddresses.begin(), facts.IpAddresses.end(),
                    [&](const std::string& held) { return CanonicalAddress(held) == canonical; });
    if (!found) return "it lacks the address " + canonical;
  }
  return std::string();
}

}  // namespace vt
