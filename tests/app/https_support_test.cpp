#include "app/https_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>

#include "app/settings.h"
#include "platform/atomic_file.h"
#include "sockets/tls_certificate.h"
#include "support/temp_dir.h"

namespace vt {
namespace {

constexpr std::time_t kDay = 24 * 3600;

TEST(HttpsSupport, PlainHttpIsRedirectedOrRefusedOnlyWhileHttpsServes) {
  using A = TPlainHttpAnswer;
  struct Row {
    TPlainHttpFacts facts;  // tls, serving, redirect, password, over http, loopback
    A answer;
    const char* why;
  };
  const Row rows[] = {
      {{false, false, true, true, false, false}, A::kServe, "no HTTPS serving: nothing to send anyone to"},
      {{true, true, true, true, false, false}, A::kServe, "over TLS already"},
      {{false, true, true, false, false, false}, A::kRedirect, "redirect asked for"},
      {{false, true, true, true, true, true}, A::kRedirect, "the redirect wins over every allowance"},
      {{false, true, false, true, false, false}, A::kRefusePassword, "password, another computer"},
      {{false, true, false, true, false, true},
       A::kServe,
       "password, this computer: nothing crosses a network"},
      {{false, true, false, true, true, false}, A::kServe, "password over HTTP allowed by the user"},
      {{false, true, false, false, false, false}, A::kServe, "no password: nothing secret to protect"},
  };
  for (const Row& row : rows) EXPECT_EQ(row.answer, PlainHttpAnswer(row.facts)) << row.why;
}

TEST(HttpsSupport, TheHttpsAddressKeepsTheHostAndTargetAndTakesTheTlsPort) {
  struct Row {
    const char* host_field;
    const char* line;
    std::uint16_t port;
    const char* location;
    const char* why;
  };
  const Row rows[] = {
      {"example.org:8080", "GET /a%20b?x=1&y HTTP/1.1", 8443, "https://example.org:8443/a%20b?x=1&y",
       "port off the host, target as sent"},
      {"example.org", "GET / HTTP/1.1", 443, "https://example.org/", "443 is left out"},
      {"[::1]:8080", "GET /p HTTP/1.1", 8443, "https://[::1]:8443/p", "an IPv6 literal stays bracketed"},
      {"", "GET /p HTTP/1.0", 8443, "https://192.0.2.7:8443/p", "no Host field: the local address"},
      {"a/b", "GET /p HTTP/1.1", 8443, "https://192.0.2.7:8443/p",
       "a Host field that is no host is not used"},
      {"evil.org@good.org", "GET /p HTTP/1.1", 8443, "https://192.0.2.7:8443/p", "no user part smuggled in"},
      {"h", "GET http://h/q?r HTTP/1.1", 8443, "https://h:8443/q?r", "an absolute target gives its path"},
      {"h", "GET * HTTP/1.1", 8443, "https://h:8443/", "no path: the root"},
  };
  for (const Row& row : rows)
    EXPECT_EQ(row.location,
              HttpsLocation(row.host_field, "192.0.2.7", row.port, TargetOfRequestLine(row.line)))
        << row.why;
  EXPECT_EQ("https://[fe80::1]:8443/", HttpsLocation("", "fe80::1", 8443, "")) << "a bare IPv6 fallback";
}

TEST(HttpsSupport, HttpsUrlsAreThePlainOnesOnTheTlsPort) {
  struct Row {
    std::vector<std::string> http;
    std::uint16_t port;
    std::vector<std::string> https;
  };
  const Row rows[] = {
      {{"http://localhost:8080/", "http://192.168.1.20:8080/"},
       8443,
       {"https://localhost:8443/", "https://192.168.1.20:8443/"}},
      {{"http://localhost/", "http://[2001:db8::1]/"}, 443, {"https://localhost/", "https://[2001:db8::1]/"}},
      {{"http://[2001:db8::1]:8080"}, 9443, {"https://[2001:db8::1]:9443"}},
      {{"ftp://x/"}, 8443, {}},
  };
  for (const Row& row : rows) EXPECT_EQ(row.https, HttpsUrlsOf(row.http, row.port));
}

TEST(HttpsSupport, TheMadeCertificateNamesTheHostLoopbackAndEveryAddressListenedOn) {
  std::vector<TInterfaceAddress> interfaces(2);
  ParseSocketAddress("192.168.1.20", 0, interfaces[0].Address);
  ParseSocketAddress("2001:db8::5", 0, interfaces[1].Address);
  struct Row {
    std::vector<std::string> listen;
    std::vector<std::string> dns;
    std::vector<std::string> ip;
    const char* why;
  };
  const Row rows[] = {
      {{}, {"desk", "localhost"}, {"127.0.0.1", "::1", "192.168.1.20", "2001:db8::5"}, "every address"},
      {{"::"}, {"desk", "localhost"}, {"127.0.0.1", "::1", "192.168.1.20", "2001:db8::5"}, "the wildcard"},
      {{"192.168.1.20"}, {"desk", "localhost"}, {"127.0.0.1", "::1", "192.168.1.20"}, "one address"},
      {{"127.0.0.1", "::1"}, {"desk", "localhost"}, {"127.0.0.1", "::1"}, "loopback once each"},
      {{"files.lan"}, {"desk", "localhost", "files.lan"}, {"127.0.0.1", "::1"}, "a name listened on"},
  };
  for (const Row& row : rows) {
    std::vector<std::string> dns;
    std::vector<std::string> ip;
    CertificateSubjects(row.listen, interfaces, "desk", dns, ip);
    EXPECT_EQ(row.dns, dns) << row.why;
    EXPECT_EQ(row.ip, ip) << row.why;
  }
}

mode_t ModeOf(const std::string& path) {
  struct stat status {};
  ::stat(path.c_str(), &status);
  return status.st_mode & 07777;
}

TEST(HttpsSupport, TheMadeCertificateIsKeptPrivateAndMadeAgainOnlyWhenItMust) {
  test::TempDir dir;
  const std::string tls = dir.Path() + "/veltrana/tls";
  const std::time_t now = std::time(nullptr);
  const std::vector<std::string> dns = {"localhost"};
  std::string note;
  EnsureMadeCertificate(tls, dns, {"127.0.0.1"}, now, note);
  EXPECT_NE("", note);
  EXPECT_EQ(0700u, ModeOf(tls));
  EXPECT_EQ(0600u, ModeOf(tls + "/key.pem"));
  std::string first;
  ASSERT_EQ(0, ReadFileContent(tls + "/cert.pem", first));

  struct Row {
    std::vector<std::string> ip;
    std::time_t when;
    bool made_again;
    const char* why;
  };
  const Row rows[] = {
      {{"127.0.0.1"}, now + kDay, false, "nothing changed"},
      {{"127.0.0.1", "192.0.2.9"}, now + kDay, true, "a new address listened on"},
      {{"127.0.0.1", "192.0.2.9"}, now + 2 * kDay, false, "and it is kept after"},
      {{"127.0.0.1"}, now + 340 * kDay, true, "within a month of its end"},
  };
  for (const Row& row : rows) {
    std::string before;
    ReadFileContent(tls + "/cert.pem", before);
    EnsureMadeCertificate(tls, dns, row.ip, row.when, note);
    std::string after;
    ReadFileContent(tls + "/cert.pem", after);
    EXPECT_EQ(row.made_again, before != after) << row.why;
    EXPECT_EQ(row.made_again, !note.empty()) << row.why;
    EXPECT_EQ(0600u, ModeOf(tls + "/key.pem")) << row.why;
  }
  // A key someone left readable is made private again.
  ::chmod((tls + "/key.pem").c_str(), 0644);
  ::chmod(tls.c_str(), 0755);
  EnsureMadeCertificate(tls, dns, {"127.0.0.1"}, now + 341 * kDay, note);
  EXPECT_EQ(0600u, ModeOf(tls + "/key.pem"));
  EXPECT_EQ(0700u, ModeOf(tls));
}

TEST(HttpsSupport, GivenFilesThatCannotServeAreRefusedWithTheirReason) {
  test::TempDir dir;
  const std::time_t now = std::time(nullptr);
  const TPemPair good = MakeSelfSignedCertificate({"localhost"}, {}, now);
  const TPemPair other = MakeSelfSignedCertificate({"localhost"}, {}, now);
  const TPemPair expired = MakeSelfSignedCertificate({"localhost"}, {}, now - 400 * kDay, 30);
  const std::string cert = dir.WriteFile("cert.pem", good.Certificate);
  const std::string key = dir.WriteFile("key.pem", good.Key);
  struct Row {
    std::string certificate;
    std::string key;
    std::string message;  // a part of the refusal; empty: it serves
  };
  const Row rows[] = {
      {cert, key, ""},
      {cert, dir.WriteFile("other.pem", other.Key), "does not belong to the certificate"},
      {cert, dir.WriteFile("junk.pem", "not a key"), "holds no usable private key"},
      {dir.WriteFile("junk.crt", "not a certificate"), key, "holds no usable certificate"},
      {dir.WriteFile("old.crt", expired.Certificate), dir.WriteFile("old.key", expired.Key), "has expired"},
      {dir.File("missing.pem"), key, "cannot be read"},
  };
  for (const Row& row : rows) {
    TWebServerSettings settings;
    settings.CertificateFile = row.certificate;
    settings.KeyFile = row.key;
    std::string note;
    try {
      const auto context = LoadTlsContext(settings, dir.File("made"), {"localhost"}, {}, note);
      EXPECT_EQ("", row.message) << row.certificate << " " << row.key;
      EXPECT_EQ(95u, context->Fingerprint().size());
    } catch (const ETls& error) {
      EXPECT_NE("", row.message) << error.Message();
      EXPECT_NE(std::string::npos, error.Message().find(row.message)) << error.Message();
    }
  }
}

TEST(HttpsSupport, RenewalReasonsOfAMadeCertificate) {
  TCertificateFacts facts;
  facts.NotBefore = 1000;
  facts.NotAfter = 1000 + 365 * kDay;
  facts.DnsNames = {"Desk", "localhost"};
  facts.IpAddresses = {"127.0.0.1", "::1"};
  struct Row {
    std::time_t now;
    std::vector<std::string> dns;
    std::vector<std::string> ip;
    const char* reason;
  };
  const Row rows[] = {
      {2000, {"desk"}, {"127.0.0.1", "0:0::1"}, ""},
      {1000 + 336 * kDay, {}, {}, "it ends soon"},
      {500, {}, {}, "it is not valid yet"},
      {2000, {"laptop"}, {}, "it lacks the name laptop"},
      {2000, {}, {"10.0.0.1"}, "it lacks the address 10.0.0.1"},
      {2000, {}, {"not an address"}, ""},
  };
  for (const Row& row : rows) EXPECT_EQ(row.reason, RenewalReason(facts, row.dns, row.ip, row.now));
}

TEST(HttpsSupport, AMadeCertificateReadsBackWithItsSubjects) {
  const std::time_t now = std::time(nullptr);
  const TPemPair pair =
      MakeSelfSignedCertificate({"desk", "localhost"}, {"127.0.0.1", "::1", "bogus"}, now, 365);
  const auto facts = ReadCertificateFacts(pair.Certificate);
  ASSERT_TRUE(facts);
  EXPECT_EQ((std::vector<std::string>{"desk", "localhost"}), facts->DnsNames);
  EXPECT_EQ((std::vector<std::string>{"127.0.0.1", "::1"}), facts->IpAddresses);
  EXPECT_LE(facts->NotBefore, now - 3600);
  EXPECT_EQ(now + 365 * kDay, facts->NotAfter);
  EXPECT_FALSE(ReadCertificateFacts("no PEM here"));
}

}  // namespace
}  // namespace vt
