// The HTTP server on its TLS port: the handshake, bodies of every kind
// through the encryption, the send limit, and the peers that never speak
// TLS. The client is OpenSSL on a blocking loopback socket.

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ctime>
#include <mutex>

#include "http/http_server.h"
#include "http_test_support.h"
#include "socket_test_support.h"
#include "sockets/tls_certificate.h"
#include "streams/file_io.h"
#include "support/temp_dir.h"

namespace vt {
namespace {

using namespace std::chrono_literals;
using test::ClosedByPeer;
using test::HttpServerFixture;
using test::SendAll;
using test::TextAnswer;

// A made certificate for localhost and 127.0.0.1, its files in `dir`.
struct MadeCertificate {
  test::TempDir dir;
  TPemPair pem = MakeSelfSignedCertificate({"localhost"}, {"127.0.0.1"}, std::time(nullptr));
  std::string certificate = dir.WriteFile("cert.pem", pem.Certificate);
  std::string key = dir.WriteFile("key.pem", pem.Key);
};

// A TLS server fixture: the plain port as ever, and a TLS port beside it.
struct HttpsFixture : HttpServerFixture {
  MadeCertificate made;
  std::uint16_t tls_port = 0;

  HttpsFixture() { server.SetTlsPort("0", std::make_shared<TTlsContext>(made.certificate, made.key)); }
  void StartTls() {
    Start();
    tls_port = server.TlsListeningAddresses().at(0).Port();
  }
};

// A blocking TLS client that trusts the made certificate alone.
class TlsClient {
 public:
  TlsClient(std::uint16_t port, const std::string& caFile, const char* version = nullptr) {
    ctx_ = SSL_CTX_new(TLS_client_method());
    SSL_CTX_load_verify_locations(ctx_, caFile.c_str(), nullptr);
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
    if (version && std::string(version) == "1.2") SSL_CTX_set_max_proto_version(ctx_, TLS1_2_VERSION);
    if (version && std::string(version) == "1.1") {
      SSL_CTX_set_min_proto_version(ctx_, TLS1_1_VERSION);
      SSL_CTX_set_max_proto_version(ctx_, TLS1_1_VERSION);
      SSL_CTX_set_security_level(ctx_, 0);
    }
    fd_ = test::ConnectLoopback(port);
    timeval limit{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ssl_ = SSL_new(ctx_);
    SSL_set_fd(ssl_, fd_);
    SSL_set1_host(ssl_, "localhost");
    SSL_set_tlsext_host_name(ssl_, "localhost");
    static const unsigned char alpn[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
    SSL_set_alpn_protos(ssl_, alpn, sizeof alpn);
    connected_ = SSL_connect(ssl_) == 1;
    ERR_clear_error();
  }
  ~TlsClient() {
    SSL_free(ssl_);
    SSL_CTX_free(ctx_);
    ::close(fd_);
  }
  bool Connected() const { return connected_; }
  std::string Version() const { return SSL_get_version(ssl_); }
  std::string Alpn() const {
    const unsigned char* data = nullptr;
    unsigned length = 0;
    SSL_get0_alpn_selected(ssl_, &data, &length);
    return std::string(reinterpret_cast<const char*>(data), length);
  }
  void Send(const std::string& text) {
    ASSERT_EQ(static_cast<int>(text.size()), SSL_write(ssl_, text.data(), static_cast<int>(text.size())));
  }
  // One answer: its head, then Content-Length bytes, or up to the end.
  std::string ReadAnswer() {
    std::string head;
    while (head.find("\r\n\r\n") == std::string::npos) {
      if (!Fill()) return head;
      head.swap(pending_);
      head.insert(0, pending_);
      pending_.clear();
    }
    const std::size_t end = head.find("\r\n\r\n") + 4;
    pending_ = head.substr(end);
    head.resize(end);
    const std::size_t at = head.find("Content-Length: ");
    if (at == std::string::npos) {
      while (Fill()) {
      }
      std::string rest;
      rest.swap(pending_);
      return head + rest;
    }
    const std::size_t length = std::stoull(head.substr(at + 16));
    while (pending_.size() < length && Fill()) {
    }
    std::string body = pending_.substr(0, length);
    pending_.erase(0, length);
    return head + body;
  }
  // Reads an answer whose body is `size` bytes, timing its bytes: the rate
  // (bytes a second) from the moment `from` body bytes had arrived to the
  // last, which leaves the start (the handshake, the first slice of the
  // budget that goes at once) out. False when the body did not come whole.
  bool ReadBodyRate(std::size_t size, std::size_t from, double& rate) {
    std::size_t head_end = std::string::npos;
    std::size_t body = 0;
    std::chrono::steady_clock::time_point start;
    bool started = false;
    while (head_end == std::string::npos || body < size) {
      if (!Fill()) return false;
      if (head_end == std::string::npos) {
        head_end = pending_.find("\r\n\r\n");
        if (head_end == std::string::npos) continue;
        body = pending_.size() - head_end - 4;
      } else {
        body = pending_.size() - head_end - 4;
      }
      if (!started && body >= from) {
        started = true;
        start = std::chrono::steady_clock::now();
        from = body;
      }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rate = static_cast<double>(body - from) / seconds;
    pending_.clear();
    return body == size;
  }
  // Reads to the end of the stream: whether it ended with TLS's own close
  // (close_notify), not a bare TCP end.
  bool EndsCleanly() {
    while (Fill()) {
    }
    return SSL_get_shutdown(ssl_) & SSL_RECEIVED_SHUTDOWN;
  }

 private:
  bool Fill() {
    char buffer[65536];
    const int got = SSL_read(ssl_, buffer, sizeof buffer);
    if (got <= 0) return false;
    pending_.append(buffer, static_cast<std::size_t>(got));
    return true;
  }
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  int fd_ = -1;
  bool connected_ = false;
  std::string pending_;
};

std::string BodyOf(const std::string& answer) {
  const std::size_t at = answer.find("\r\n\r\n");
  return at == std::string::npos ? std::string() : answer.substr(at + 4);
}

TEST(Https, HandshakeAgreesOnAModernVersionAndHttp11AndServesBesideThePlainPort) {
  HttpsFixture f;
  f.Answer = [](AhttpServerClient& client) {
    client.SetResponse(TextAnswer("hello " + client.Request()->URI));
  };
  f.StartTls();
  ASSERT_TRUE(f.server.TlsListening());
  f.RunClient([&] {
    struct Row {
      const char* version;
      bool accepted;
      const char* why;
    };
    const Row rows[] = {
        {nullptr, true, "the newest both have: 1.3"},
        {"1.2", true, "1.2 is still offered"},
        {"1.1", false, "1.1 and older are refused"},
    };
    for (const Row& row : rows) {
      SCOPED_TRACE(row.why);
      TlsClient client(f.tls_port, f.made.certificate, row.version);
      ASSERT_EQ(row.accepted, client.Connected());
      if (!row.accepted) continue;
      EXPECT_EQ("http/1.1", client.Alpn());
      EXPECT_EQ(row.version ? "TLSv1.2" : "TLSv1.3", client.Version());
      client.Send("GET /a HTTP/1.1\r\nHost: localhost\r\n\r\n");
      EXPECT_EQ("hello /a", BodyOf(client.ReadAnswer()));
      // The connection stays for the next request.
      client.Send("GET /b HTTP/1.1\r\nHost: localhost\r\n\r\n");
      EXPECT_EQ("hello /b", BodyOf(client.ReadAnswer()));
    }
    // The plain port still speaks plain HTTP.
    const int fd = f.Connect();
    SendAll(fd, "GET /c HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ("hello /c", test::ReadAnswer(fd).body);
  });
}

TEST(Https, BodiesOfEverySizeAndRangesArriveWholeAndACloseIsAnnounced) {
  test::TempDir dir;
  const std::string big = test::Pattern((3 << 20) + 333);
  const std::string path = dir.WriteFile("big.bin", big);
  for (const bool throttled : {false, true}) {
    SCOPED_TRACE(throttled ? "throttled" : "unthrottled");
    HttpsFixture f;
    if (throttled) {
      f.server.SetThrottleClientWrite(true);
      f.server.SetThrottleClientWriteRate(32 << 20);
    }
    f.Answer = [&](AhttpServerClient& client) {
      const std::string uri = client.Request()->URI;
      if (uri == "/small") return client.SetResponse(TextAnswer("tiny"));
      if (uri == "/memory") return client.SetResponse(TextAnswer(big.substr(0, 300000)));
      auto answer = std::make_unique<ThttpResponse>(200, "HTTP", 1, 1, "", nullptr, "");
      answer->SetContentReader(std::make_unique<TFileReader>(path));
      client.SetResponse(std::move(answer));
    };
    f.StartTls();
    f.RunClient([&] {
      TlsClient client(f.tls_port, f.made.certificate);
      ASSERT_TRUE(client.Connected());
      const auto ask = [&](const std::string& uri, const std::string& range = "") {
        client.Send("GET " + uri + " HTTP/1.1\r\nHost: localhost\r\n" +
                    (range.empty() ? "" : "Range: " + range + "\r\n") + "\r\n");
        return BodyOf(client.ReadAnswer());
      };
      EXPECT_EQ("tiny", ask("/small"));
      EXPECT_TRUE(ask("/memory") == big.substr(0, 300000));
      EXPECT_TRUE(ask("/file") == big);
      EXPECT_TRUE(ask("/file", "bytes=100-700000") == big.substr(100, 699901));
      EXPECT_EQ(big.substr(big.size() - 5), ask("/file", "bytes=-5"));
      client.Send("GET /close HTTP/1.0\r\nHost: localhost\r\n\r\n");
      EXPECT_TRUE(BodyOf(client.ReadAnswer()) == big);
      // The end came as TLS's own close, so a cut answer could be told.
      EXPECT_TRUE(client.EndsCleanly());
    });
  }
}

TEST(Https, TheSendLimitHoldsOverTlsWithinTwoPercent) {
  HttpsFixture f;
  constexpr std::int32_t kRate = 1 << 20;
  const std::string body = test::Pattern(3 * kRate);
  f.server.SetThrottleClientWrite(true);
  f.server.SetThrottleClientWriteRate(kRate);
  f.Answer = [&](AhttpServerClient& client) { client.SetResponse(TextAnswer(body)); };
  f.StartTls();
  f.RunClient([&] {
    TlsClient client(f.tls_port, f.made.certificate);
    ASSERT_TRUE(client.Connected());
    client.Send("GET / HTTP/1.1\r\nHost: localhost\r\n\r\n");
    // Timed from the first quarter on: the rate, not the start, is judged.
    double rate = 0;
    ASSERT_TRUE(client.ReadBodyRate(body.size(), body.size() / 4, rate));
    EXPECT_NEAR(kRate, rate, kRate * 0.02);
  });
}

TEST(Https, PeersThatSendNoTlsOrNothingAreClosedWithOneLineAtATime) {
  HttpsFixture f;
  f.server.TlsHandshakeTime = 500;
  f.Answer = [](AhttpServerClient& client) { client.SetResponse(TextAnswer("x")); };
  f.StartTls();
  f.RunClient([&] {
    struct Row {
      const char* sent;
      const char* why;
    };
    const Row rows[] = {
        {"GET / HTTP/1.1\r\nHost: h\r\n\r\n", "plain HTTP on the TLS port"},
        {"\x16\x03\x01\x00\x05garbage", "a record that is no ClientHello"},
        {"", "nothing at all, past the deadline"},
    };
    for (const Row& row : rows) {
      SCOPED_TRACE(row.why);
      const int fd = test::ConnectLoopback(f.tls_port);
      if (*row.sent) SendAll(fd, row.sent);
      const auto start = std::chrono::steady_clock::now();
      std::string extra;
      EXPECT_TRUE(ClosedByPeer(fd, 5s, &extra));
      // No HTTP answer in clear on the TLS port.
      EXPECT_EQ(std::string::npos, extra.find("HTTP/1.1"));
      EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
      ::close(fd);
    }
  });
  // One line for the first; the two after it come within the interval.
  ASSERT_TRUE(f.PumpUntil([&] { return f.server.ClientCount() == 0; }));
  f.PumpUntil([] { return false; }, 200ms);
  int lines = 0;
  for (const std::string& line : f.lines) {
    if (line.find("TLS handshake with 127.0.0.1 failed: not TLS") != std::string::npos) ++lines;
    EXPECT_EQ(std::string::npos, line.find("TLS handshake with 127.0.0.1 failed: no handshake")) << line;
  }
  EXPECT_EQ(1, lines);
}

}  // namespace
}  // namespace vt
