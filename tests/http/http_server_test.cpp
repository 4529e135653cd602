#include "http/http_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>

#include "http/protocol.h"
#include "http/request_body_reader.h"
#include "http_test_support.h"
#include "platform/synchronize.h"
#include "socket_test_support.h"
#include "streams/file_io.h"
#include "support/temp_dir.h"
#include "support/test_reader.h"

namespace vt {
namespace {

using namespace std::chrono_literals;
using test::ClosedByPeer;
using test::HttpAnswer;
using test::HttpServerFixture;
using test::ReadAnswer;
using test::SendAll;
using test::TextAnswer;

const std::string kServer = "Veltrana/1.0 ZO-RIVI/1.09";

// Answers every request with its URI as the body.
void EchoURI(AhttpServerClient& client) { client.SetResponse(TextAnswer(client.Request()->URI)); }

// A body of `size` bytes made up on the fly; the bytes it has handed out can
// be read from another thread.
class TPatternReader : public AReaderEx {
 public:
  explicit TPatternReader(int64_t size) : size_(size) {}
  static inline std::atomic<int64_t> delivered{0};
  int64_t GetPosition() override { return position_; }
  void SetPosition(int64_t position) override { position_ = position; }
  int64_t GetSize() override { return size_; }
  int32_t Read(char* buffer, int32_t count) override {
    const auto n = static_cast<int32_t>(std::min<int64_t>(count, size_ - position_));
    for (int32_t i = 0; i < n; ++i) buffer[i] = static_cast<char>('a' + (position_ + i) % 26);
    position_ += n;
    delivered = position_;
    return n;
  }
  bool AtEnd() override { return position_ >= size_; }

 private:
  int64_t size_;
  int64_t position_ = 0;
};

// Answers every request with `size` bytes of TPatternReader.
std::function<void(AhttpServerClient&)> PatternAnswer(int64_t size) {
  return [size](AhttpServerClient& client) {
    auto answer = std::make_unique<ThttpResponse>(200, "HTTP", 1, 1, "", nullptr, "");
    answer->SetContentReader(std::make_unique<TPatternReader>(size));
    client.SetResponse(std::move(answer));
  };
}

TEST(HttpServer, ConnectionStaysOpenOnlyAsTheRequestAndTheAnswerAllow) {
  HttpServerFixture f;
  f.Answer = EchoURI;
  f.Start();
  f.RunClient([&] {
    // HTTP/1.0 without a Connection field: one answer, then the close.
    int fd = f.Connect();
    SendAll(fd, "GET /a HTTP/1.0\r\n\r\n");
    HttpAnswer a = ReadAnswer(fd);
    EXPECT_EQ("HTTP/1.0 200 OK", a.status);
    EXPECT_EQ("close", a.Field("Connection"));
    EXPECT_EQ(kServer, a.Field("Server"));
    EXPECT_EQ("/a", a.body);
    EXPECT_TRUE(ClosedByPeer(fd));

    // HTTP/1.1 keeps the connection for the next request, one after the
    // other and pipelined, and answers in order.
    fd = f.Connect();
    SendAll(fd, "GET /1 HTTP/1.1\r\nHost: h\r\n\r\n");
    a = ReadAnswer(fd);
    EXPECT_EQ("HTTP/1.1 200 OK", a.status);
    EXPECT_EQ("keep-alive", a.Field("Connection"));
    SendAll(fd, "GET /2 HTTP/1.1\r\nHost: h\r\n\r\nGET /3 HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ("/2", ReadAnswer(fd).body);
    EXPECT_EQ("/3", ReadAnswer(fd).body);
    // Connection: close is honoured, and so are bare LF line ends (answered
    // at once, without waiting for a byte after the last one).
    SendAll(fd, "GET /4 HTTP/1.1\nHost: h\nConnection: Close\n\n");
    a = ReadAnswer(fd, false, 3s);
    EXPECT_EQ("/4", a.body);
    EXPECT_EQ("close", a.Field("Connection"));
    EXPECT_TRUE(ClosedByPeer(fd));

    // HTTP/1.0 asking for keep-alive gets an HTTP/1.0 answer, which keeps
    // the connection only when the application says so.
    fd = f.Connect();
    SendAll(fd, "GET /5 HTTP/1.0\r\nConnection: keep-alive\r\n\r\n");
    EXPECT_EQ("close", ReadAnswer(fd).Field("Connection"));
    EXPECT_TRUE(ClosedByPeer(fd));
  });
  EXPECT_EQ(6, f.gets);
  EXPECT_EQ(6, f.frees);
}

// A worker yields to the main thread (SCHED_BATCH) until its connection has
// had an answer; waiting for the next request it runs as ordinary threads
// do, so that its answers are not held up behind other work. A pipelined
// request, which needs no wait, changes nothing; the next connection on
// the same thread yields again.
void AnswerWithPolicy(AhttpServerClient& client) {
  client.SetResponse(TextAnswer(std::to_string(::sched_getscheduler(0))));
}

TEST(HttpServer, AConnectionThatStaysIsServedAsOrdinaryThreadsAre) {
  ASSERT_EQ(SCHED_OTHER, ::sched_getscheduler(0)) << "run without chrt";
  const std::string batch = std::to_string(SCHED_BATCH), ordinary = std::to_string(SCHED_OTHER);
  HttpServerFixture f;
  f.Answer = AnswerWithPolicy;
  f.Start();
  f.RunClient([&] {
    for (int connection = 0; connection < 2; ++connection) {
      const int fd = f.Connect();
      SendAll(fd, "GET /1 HTTP/1.1\r\nHost: h\r\n\r\nGET /2 HTTP/1.1\r\nHost: h\r\n\r\n");
      EXPECT_EQ(batch, ReadAnswer(fd).body);
      EXPECT_EQ(batch, ReadAnswer(fd).body);
      SendAll(fd, "GET /3 HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n");
      EXPECT_EQ(ordinary, ReadAnswer(fd).body);
      EXPECT_TRUE(ClosedByPeer(fd));
    }
  });
}

// The request line and the header lines are read into strings a
// connection keeps: a short request after a long one, pipelined or not,
// sees nothing of the one before.
// Answers with what the server made of the request head.
void EchoHead(AhttpServerClient& client) {
  const ThttpRequest& request = *client.Request();
  std::string seen =
      request.Method + " " + request.URI + "?" + request.Query + " " + request.GetVersionText() + " |";
  for (int i = 0; i < request.Header()->Count(); ++i)
    seen += " " + request.Header()->Fields(i)->GetName() + "=" + request.Header()->Fields(i)->GetValue();
  client.SetResponse(TextAnswer(seen));
}

TEST(HttpServer, KeptLineBuffersCarryNothingOverToTheNextRequest) {
  HttpServerFixture f;
  f.Answer = EchoHead;
  f.Start();
  const std::string long_value(300, 'v');
  const struct {
    std::string sent;
    std::vector<std::string> seen;  // one per request in `sent`
  } cases[] = {
      {"GET /a-rather-long-path/to-fill-the-line?with=a-query HTTP/1.1\r\nHost: h\r\nX-Long: " + long_value +
           "\r\n\r\n",
       {"GET /a-rather-long-path/to-fill-the-line?with=a-query HTTP/1.1 | Host=h X-Long=" + long_value}},
      {"GET /b HTTP/1.1\r\nHost: h\r\nX: 1\r\n\r\n", {"GET /b? HTTP/1.1 | Host=h X=1"}},
      {"get /%41%20c?q HTTP/1.1\nHost: h\n\nGET / HTTP/1.1\r\nHost:  h2 \r\n\r\n",
       {"GET /A c?q HTTP/1.1 | Host=h", "GET /? HTTP/1.1 | Host=h2"}},
      {"GET http://example.test/d HTTP/1.1\r\nHost: h\r\n\r\n", {"GET /d? HTTP/1.1 | Host=h"}},
  };
  f.RunClient([&] {
    const int fd = f.Connect();
    for (const auto& c : cases) {
      SendAll(fd, c.sent);
      for (const std::string& seen : c.seen) EXPECT_EQ(seen, ReadAnswer(fd).body) << c.sent;
    }
  });
}

// Lines that are all there are taken from the connection's buffer in
// place; a line still arriving is read the careful way. A head that
// arrives in two pieces, cut anywhere, is read as the same head sent whole:
// the same fields, and the same verdict at the size limit, which both ways
// count.
TEST(HttpServer, AHeadInTwoPiecesReadsAsTheHeadSentWhole) {
  HttpServerFixture f;
  f.Answer = EchoHead;
  f.server.Limits.MaxRequestHead = 120;
  f.Start();
  // Status and body, on a connection of its own.
  const auto answer = [&](const std::string& head, std::size_t cut) {
    const int fd = f.Connect();
    SendAll(fd, head.substr(0, cut));
    if (cut < head.size()) {
      std::this_thread::sleep_for(5ms);
      SendAll(fd, head.substr(cut));
    }
    const HttpAnswer a = ReadAnswer(fd, false, 5s);
    return a.status + " " + a.body;
  };
  f.RunClient([&] {
    const std::string mixed = "GET /p?q HTTP/1.1\r\nHost: h\r\nX-A:  one  \r\nX-B:\r\nX-C: c\n\r\n";
    EXPECT_EQ("HTTP/1.1 200 OK GET /p?q HTTP/1.1 | Host=h X-A=one X-B= X-C=c", answer(mixed, mixed.size()));
    for (std::size_t cut = 1; cut < mixed.size(); ++cut)
      EXPECT_EQ(answer(mixed, mixed.size()), answer(mixed, cut)) << "cut at " << cut;
    // Heads around the limit of 120 bytes, cut at a line end, inside a line
    // and between CR and LF.
    bool passed = false;
    bool refused = false;
    for (int pad = 75; pad <= 80; ++pad) {
      const std::string head =
          "GET / HTTP/1.1\r\nHost: h\r\nX-Pad: " + std::string(pad, 'p') + "\r\nX-D: d\r\n\r\n";
      const std::string whole = answer(head, head.size());
      passed = passed || whole.rfind("HTTP/1.1 200", 0) == 0;
      refused = refused || whole.rfind("HTTP/1.1 400", 0) == 0;
      for (const std::size_t cut : {std::size_t{16}, std::size_t{25}, std::size_t{30}, head.size() - 11,
                                    head.size() - 3, head.size() - 1})
        EXPECT_EQ(whole.substr(0, 12), answer(head, cut).substr(0, 12)) << pad << " cut at " << cut;
    }
    EXPECT_TRUE(passed);
    EXPECT_TRUE(refused);
    // Heads that are refused, the faulty line cut anywhere: refused alike.
    for (const std::string& faulty : {std::string("GET / HTTP/1.1\r\nHost: h\r\nX-E: a\x0b\r\n\r\n"),
                                      std::string("GET / HTTP/1.1\r\nHost: h\r\nno colon\r\n\r\n"),
                                      std::string("GET / HTTP/1.1\r\nHost: h\r\nX\xe9: a\r\n\r\n"),
                                      std::string("GET /\tx HTTP/1.1\r\nHost: h\r\n\r\n"),
                                      std::string("GET / HTTP/1.1\r\nX-A: a\r\n\r\n")}) {
      for (std::size_t cut = 1; cut < faulty.size(); ++cut)
        EXPECT_EQ("HTTP/1.1 400", answer(faulty, cut).substr(0, 12)) << faulty << " cut at " << cut;
    }
  });
}

TEST(HttpServer, HeadAndByteRanges) {
  HttpServerFixture f;
  const std::string body = test::Pattern(100);
  f.Answer = [&](AhttpServerClient& client) { client.SetResponse(TextAnswer(body)); };
  f.Start();
  f.RunClient([&] {
    const int fd = f.Connect();
    const auto ask = [&](const std::string& method, const std::string& range) {
      SendAll(fd, method + " /f HTTP/1.1\r\nHost: h\r\n" + (range.empty() ? "" : "Range: " + range + "\r\n") +
                      "\r\n");
      return ReadAnswer(fd, method == "HEAD");
    };
    HttpAnswer a = ask("HEAD", "");
    EXPECT_EQ("HTTP/1.1 200 OK", a.status);
    EXPECT_EQ("100", a.Field("Content-Length"));
    a = ask("GET", "bytes=0-9");  // the next status line follows the HEAD answer at once
    EXPECT_EQ("HTTP/1.1 206 Partial Content", a.status);
    EXPECT_EQ("bytes 0-9/100", a.Field("Content-Range"));
    EXPECT_EQ(body.substr(0, 10), a.body);
    a = ask("GET", "bytes=-5");
    EXPECT_EQ("bytes 95-99/100", a.Field("Content-Range"));
    EXPECT_EQ(body.substr(95), a.body);
    a = ask("GET", "bytes=90-");
    EXPECT_EQ(body.substr(90), a.body);
    a = ask("GET", "bytes=200-300");
    EXPECT_EQ("HTTP/1.1 416 Requested Range Not Satisfiable", a.status);
    EXPECT_EQ("bytes */100", a.Field("Content-Range"));
    EXPECT_EQ("0", a.Field("Content-Length"));
    a = ask("GET", "bytes=0-9");
    EXPECT_EQ("keep-alive", a.Field("Connection"));
  });
}

TEST(HttpServer, HeaderFieldsComeInTheirOrderAndEveryKeptAliveBodyIsDelimited) {
  test::TempDir dir;
  const std::string file = dir.WriteFile("page.html", "<p>page</p>");
  HttpServerFixture f;
  f.Answer = [&](AhttpServerClient& client) {
    const std::string& uri = client.Request()->URI;
    std::unique_ptr<ThttpResponse> answer;
    if (uri == "/file") {
      answer = std::make_unique<ThttpResponse>(200, "HTTP", 1, 1, "", nullptr, "");
      answer->SetContentType("text/html");
      answer->SetContentReader(std::make_unique<TFileReader>(file));
    } else if (uri == "/error") {
      answer =
          CreateHTMLResponse(404, "", HTMLErrorPage("Not found", "Not found", "", "Veltrana Web Server"));
    } else if (uri.starts_with("/cgi")) {
      // A program's output: its own Date and a Content-Length that the real
      // body length replaces, also when the body is empty.
      answer =
          std::make_unique<ThttpResponse>(200, "HTTP", 1, 1, uri == "/cgi" ? "hello" : "", nullptr, "OK");
      const std::vector<std::string> lines{"Content-Type: text/plain", "X-Program: 1", "Content-Length: 99"};
      answer->SetCustomLines(&lines);
    } else {
      // A body of unknown size, no type: only the close can end it.
      answer = std::make_unique<ThttpResponse>(200, "HTTP", 1, 1, "", nullptr, "");
      auto reader = std::make_unique<test::TTestReader>("streamed");
      reader->SizeUnknown = true;
      answer->SetContentReader(std::move(reader));
    }
    client.SetResponse(std::move(answer));
  };
  f.Start();
  f.RunClient([&] {
    const int fd = f.Connect();
    const auto ask = [&](const std::string& uri) {
      SendAll(fd, "GET " + uri + " HTTP/1.1\r\nHost: h\r\n\r\n");
      return ReadAnswer(fd);
    };
    using Names = std::vector<std::string>;
    HttpAnswer a = ask("/file");
    EXPECT_EQ((Names{"Content-Type", "Date", "Content-Length", "Connection", "Server"}), a.Names());
    EXPECT_EQ("<p>page</p>", a.body);
    a = ask("/error");
    EXPECT_EQ("HTTP/1.1 404 Not Found", a.status);
    EXPECT_EQ((Names{"Content-Type", "Pragma", "Date", "Content-Length", "Connection", "Server"}), a.Names());
    a = ask("/cgi");
    EXPECT_EQ((Names{"Date", "Content-Type", "X-Program", "Content-Length", "Connection", "Server"}),
              a.Names());
    EXPECT_EQ("5", a.Field("Content-Length"));
    EXPECT_EQ("hello", a.body);
    a = ask("/cgi-empty");
    EXPECT_EQ("0", a.Field("Content-Length"));
    EXPECT_EQ("keep-alive", a.Field("Connection"));
    a = ask("/stream");
    EXPECT_FALSE(a.Has("Content-Length"));
    EXPECT_EQ("close", a.Field("Connection"));
    EXPECT_EQ("streamed", a.body);  // read up to the close
  });
}

TEST(HttpServer, FailedHandlersAndMissingAnswers) {
  HttpServerFixture f;
  std::mutex mutex;
  std::vector<std::string> freed;  // URI and ErrorMessage at each OnFreeResponse
  f.Answer = [](AhttpServerClient& client) {
    const std::string& uri = client.Request()->URI;
    if (uri == "/raise") throw EhttpMessage("boom");
    if (uri == "/stream") throw EReader("gone");
    if (uri == "/socket") throw EWinSock("Socket not connected", 20002);
    if (uri == "/ok" || uri == "/late") EchoURI(client);
  };
  // A handler that fails once the answer is made: said in the log, not
  // dropped, and nothing of the answer goes out.
  f.server.OnPreRespond = [](AhttpServer&, AhttpServerClient& client) {
    if (client.Request()->URI == "/late") throw EhttpMessage("late");
  };
  f.OnFree = [&](AhttpServerClient& client) {
    std::lock_guard lock(mutex);
    freed.push_back(client.Request()->URI + "|" + client.ErrorMessage());
  };
  f.Start();
  f.RunClient([&] {
    // Any other exception: the 500 page naming its class, then the close.
    int fd = f.Connect();
    SendAll(fd, "GET /raise HTTP/1.1\r\nHost: h\r\n\r\n");
    HttpAnswer a = ReadAnswer(fd);
    EXPECT_EQ("HTTP/1.1 500 Internal Server Error", a.status);
    EXPECT_NE(std::string::npos, a.body.find("<B>Internal server error: EhttpMessage: boom"));
    EXPECT_FALSE(a.Has("Connection"));
    EXPECT_FALSE(a.Has("Server"));
    EXPECT_TRUE(ClosedByPeer(fd));
    // An error of the stream or of the socket under it, and no answer at
    // all: nothing is sent.
    for (const char* uri : {"/stream", "/socket", "/none", "/late"}) {
      fd = f.Connect();
      SendAll(fd, std::string("GET ") + uri + " HTTP/1.1\r\nHost: h\r\n\r\n");
      std::string extra;
      EXPECT_TRUE(ClosedByPeer(fd, 10s, &extra));
      EXPECT_EQ("", extra) << uri;
    }
  });
  EXPECT_TRUE(f.PumpUntil([&] { return f.HasLine("0 Stream error: gone"); }));
  EXPECT_TRUE(f.HasLine("1 Exception: boom"));
  EXPECT_TRUE(f.HasLine("0 Stream error: Socket not connected"));
  EXPECT_TRUE(f.PumpUntil([&] { return f.HasLine("1 Response to GET /late failed: EhttpMessage: late"); }));
  std::lock_guard lock(mutex);
  EXPECT_EQ((std::vector<std::string>{"/raise|", "/stream|", "/socket|", "/none|No response", "/late|"}),
            freed);
}

TEST(HttpServer, APeerGoneBeforeTheInterimAnswerIsAClosedConnection) {
  HttpServerFixture f;
  std::atomic<bool> head_read{false};
  f.server.OnRequestHeader = [&](AhttpServer&, AhttpServerClient& client) {
    head_read = true;
    // The interim answer is due next: wait until the reset has reached the
    // connection.
    TSocketStream& stream = *client.Stream();
    const Deadline until = test::Clock::now() + 5s;
    while (stream.Socket->IsConnected() && test::Clock::now() < until) stream.WaitStep(&until);
  };
  f.Start();
  f.RunClient([&] {
    const int fd = test::ConnectLoopback(f.port);
    SendAll(fd, "POST /p HTTP/1.1\r\nHost: h\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n");
    const auto until = test::Clock::now() + 5s;
    while (!head_read && test::Clock::now() < until) std::this_thread::sleep_for(1ms);
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(fd);
  });
  EXPECT_TRUE(f.PumpUntil([&] { return f.HasLine("0 Stream error: Socket not connected"); }));
  for (const std::string& line : f.lines) EXPECT_NE('1', line[0]) << line;
  EXPECT_EQ(0, f.gets);
  EXPECT_EQ(0, f.server.DataServed);
}

// Each request is followed on its connection by a plain GET: a request
// whose framing could be read two ways gets one refusal and the close, so
// that nothing after it can pass for a second request.
//
// Each refusal is told once: the server's log names its status and the
// peer, and OnRequestRefused hands the application the answer's status and
// size, with the request as far as its line was read.
TEST(HttpServer, RequestFramingIsReadOneWayOnly) {
  HttpServerFixture f;
  f.Answer = EchoURI;
  struct Refusal {
    std::int32_t status;
    std::int64_t bytes;
    std::string method;  // "-": no request
  };
  std::mutex refusals_mutex;
  std::vector<Refusal> refusals;
  f.server.OnRequestRefused = [&](AhttpServer&, AhttpServerClient& client) {
    std::lock_guard lock(refusals_mutex);
    refusals.push_back(
        {client.RefusedStatus(), client.BytesWritten(), client.Request() ? client.Request()->Method : "-"});
  };
  const auto logged = [&](const std::string& status) {
    const std::string peer = ", from 127.0.0.1";
    for (const std::string& line : f.lines)
      if (line.rfind("0 Request refused: " + status + " ", 0) == 0 && line.size() > peer.size() &&
          line.compare(line.size() - peer.size(), peer.size(), peer) == 0)
        return true;
    return false;
  };
  f.Start();
  struct Row {
    const char* what;
    std::string request;
    std::string status;  // of the first answer
    bool open;           // the GET after it is answered on the same connection
  };
  const std::string post = "POST /p HTTP/1.1\r\nHost: h\r\n";
  const std::string get = "GET /g HTTP/1.1\r\nHost: h\r\n";
  const std::string line4096 = "GET /" + std::string(4082, 'a') + " HTTP/1.1";
  const Row rows[] = {
      {"chunked in any case", post + "Transfer-Encoding: Chunked\r\n\r\n2\r\nab\r\n0\r\n\r\n",
       "HTTP/1.1 200 OK", true},
      {"Content-Length and Transfer-Encoding",
       post + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", "HTTP/1.1 400 Bad Request",
       false},
      {"two Transfer-Encoding fields",
       post + "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
       "HTTP/1.1 400 Bad Request", false},
      {"chunked twice", post + "Transfer-Encoding: chunked, chunked\r\n\r\n0\r\n\r\n",
       "HTTP/1.1 400 Bad Request", false},
      {"a coding it does not know", post + "Transfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n",
       "HTTP/1.1 501 Not Implemented", false},
      {"blank before the colon", post + "Transfer-Encoding : chunked\r\n\r\n0\r\n\r\n",
       "HTTP/1.1 400 Bad Request", false},
      {"folded line", post + "X-A: 1\r\n Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
       "HTTP/1.1 400 Bad Request", false},
      {"bare CR in a field", post + "X-A: 1\rTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
       "HTTP/1.1 400 Bad Request", false},
      {"bare CR in the request line", "GET /a\r HTTP/1.1\r\nHost: h\r\n\r\n", "HTTP/1.1 400 Bad Request",
       false},
      {"byte 26 as a line end", get + "X-A: 1\032Connection: close\r\n\r\n", "HTTP/1.1 400 Bad Request",
       false},
      {"two Host fields", get + "Host: other\r\n\r\n", "HTTP/1.1 400 Bad Request", false},
      {"no Host field in HTTP/1.1", "GET /g HTTP/1.1\r\nX-A: 1\r\n\r\n", "HTTP/1.1 400 Bad Request", false},
      {"a version it does not speak", "GET /g HTTP/2.0\r\nHost: h\r\n\r\n",
       "HTTP/1.1 505 HTTP Version Not Supported", false},
      {"chunk size z", post + "Transfer-Encoding: chunked\r\n\r\nz\r\n\r\n", "HTTP/1.1 400 Bad Request",
       false},
      {"chunk size -5", post + "Transfer-Encoding: chunked\r\n\r\n-5\r\nhello\r\n0\r\n\r\n",
       "HTTP/1.1 400 Bad Request", false},
      {"chunk size 1g",
       post + "Transfer-Encoding: chunked\r\n\r\n1g\r\n" + std::string(16, 'x') + "\r\n0\r\n\r\n",
       "HTTP/1.1 400 Bad Request", false},
      {"chunk size past 63 bits",
       post + "Transfer-Encoding: chunked\r\n\r\n10000000000000005\r\nhello\r\n0\r\n\r\n",
       "HTTP/1.1 400 Bad Request", false},
      {"bytes between data and line end",
       post + "Transfer-Encoding: chunked\r\n\r\n5\r\nhelloXX\r\n0\r\n\r\n", "HTTP/1.1 400 Bad Request",
       false},
      {"request line of 4096 bytes", line4096 + "\r\nHost: h\r\n\r\n", "HTTP/1.1 200 OK", true},
      {"request line of 4097 bytes", "GET /a" + line4096.substr(5) + "\r\nHost: h\r\n\r\n",
       "HTTP/1.1 414 Request-URI Too Long", false},
      {"request line that runs into a field",
       line4096 + "XTransfer-Encoding: chunked\r\nHost: h\r\n\r\n0\r\n\r\n",
       "HTTP/1.1 414 Request-URI Too Long", false},
      {"absolute form", "GET http://h:81/abs?q HTTP/1.1\r\nHost: h\r\n\r\n", "HTTP/1.1 200 OK", true},
      {"Connection option list", get + "Connection: TE, close\r\nTE: trailers\r\n\r\n", "HTTP/1.1 200 OK",
       false},
  };
  for (const Row& row : rows) {
    std::size_t refused_before = 0;
    {
      std::lock_guard lock(refusals_mutex);
      refused_before = refusals.size();
    }
    std::size_t answer_size = 0;
    f.RunClient([&] {
      const int fd = f.Connect();
      SendAll(fd, row.request + "GET /next HTTP/1.1\r\nHost: h\r\n\r\n");
      const HttpAnswer a = ReadAnswer(fd, false, 5s);
      answer_size = a.size;
      EXPECT_EQ(row.status, a.status) << row.what;
      if (row.open) {
        EXPECT_EQ("/next", ReadAnswer(fd, false, 5s).body) << row.what;
        return;
      }
      EXPECT_EQ("close", a.Field("Connection")) << row.what;
      std::string extra;
      EXPECT_TRUE(ClosedByPeer(fd, 5s, &extra)) << row.what;
      EXPECT_EQ("", extra) << row.what << ": a second answer";
    });
    std::lock_guard lock(refusals_mutex);
    if (row.status == "HTTP/1.1 200 OK") {
      EXPECT_EQ(refused_before, refusals.size()) << row.what;
      continue;
    }
    // The event came before the close, which the client has seen.
    ASSERT_EQ(refused_before + 1, refusals.size()) << row.what;
    const Refusal& refusal = refusals.back();
    const std::string status = row.status.substr(9, 3);
    EXPECT_EQ(status, std::to_string(refusal.status)) << row.what;
    EXPECT_EQ(static_cast<std::int64_t>(answer_size), refusal.bytes) << row.what;
    // The request of this very cycle, or none when its line was refused.
    const std::string method = row.request.substr(0, row.request.find(' '));
    if (refusal.method != "-") {
      EXPECT_EQ(method, refusal.method) << row.what;
    }
    EXPECT_TRUE(f.PumpUntil([&] { return logged(status); })) << row.what;
  }
  EXPECT_TRUE(f.HasLine("0 Request refused: 400 Bytes after chunk data, from 127.0.0.1"));
  EXPECT_TRUE(f.HasLine("0 Request refused: 414 Request line too long, from 127.0.0.1"));
  EXPECT_TRUE(f.HasLine("0 Request refused: 400 No Host field, from 127.0.0.1"));
  EXPECT_TRUE(f.HasLine("0 Request refused: 505 HTTP version not supported, from 127.0.0.1"));
  std::lock_guard lock(refusals_mutex);
  // Refused with its line: the request is there; refused in its line: none.
  EXPECT_EQ(1, std::count_if(refusals.begin(), refusals.end(),
                             [](const Refusal& r) { return r.status == 505 && r.method == "-"; }));
  EXPECT_LE(1, std::count_if(refusals.begin(), refusals.end(),
                             [](const Refusal& r) { return r.status == 400 && r.method == "GET"; }));
}

// A client may end a body with one more line end; the request after it is
// served. A few empty lines are passed over, each waited for as a request
// is; past them the connection ends without an answer.
TEST(HttpServer, EmptyLinesBeforeARequestArePassedOverUpToABound) {
  HttpServerFixture f;
  f.Answer = EchoURI;
  f.Start();
  struct Row {
    const char* what;
    std::string between;  // after a POST with its body, before a GET
    bool served;          // the GET is answered
  };
  const Row rows[] = {
      {"one CR LF", "\r\n", true},
      {"one bare LF", "\n", true},
      {"four line ends", "\r\n\n\r\n\n", true},
      {"five line ends", "\r\n\r\n\r\n\r\n\r\n", false},
  };
  for (const Row& row : rows) {
    f.RunClient([&] {
      const int fd = f.Connect();
      SendAll(fd, "POST /p HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\n\r\nabc" + row.between);
      EXPECT_EQ("/p", ReadAnswer(fd, false, 5s).body) << row.what;
      // The next request comes later, as it may: the wait begins again.
      std::this_thread::sleep_for(20ms);
      SendAll(fd, "GET /next HTTP/1.1\r\nHost: h\r\n\r\n");
      if (row.served) {
        EXPECT_EQ("/next", ReadAnswer(fd, false, 5s).body) << row.what;
        return;
      }
      std::string extra;
      EXPECT_TRUE(ClosedByPeer(fd, 5s, &extra)) << row.what;
      EXPECT_EQ("", extra) << row.what;
    });
  }
}

TEST(HttpServer, OversizedHeadsAndBodiesAreRefusedAndTheAnswerSurvivesTheClose) {
  HttpServerFixture f;
  f.Answer = EchoURI;
  f.server.Limits.LingerTime = 10000;  // ends when the client closes
  f.Start();
  const auto refused = [&](const std::string& request, const std::string& status,
                           const std::string& tail = "") {
    f.RunClient([&] {
      const int fd = test::ConnectLoopback(f.port);
      // The client goes on sending what the server will not read: the
      // server reads and drops it after answering, so the close does not
      // reset the connection under the client (which would fail its send,
      // and could destroy the answer).
      const std::string data = request + tail;
      std::size_t sent = 0;
      std::thread sender([&] {
        while (sent < data.size()) {
          const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
          if (n <= 0) break;
          sent += static_cast<std::size_t>(n);
        }
      });
      const HttpAnswer a = ReadAnswer(fd);
      sender.join();
      EXPECT_EQ(data.size(), sent);
      EXPECT_EQ(status, a.status);
      EXPECT_EQ("close", a.Field("Connection"));
      EXPECT_EQ(a.Field("Content-Length"), std::to_string(a.body.size()));
      EXPECT_NE(std::string::npos, a.body.find("</HTML>"));
      EXPECT_TRUE(ClosedByPeer(fd));
      ::close(fd);
    });
  };
  const std::string get = "GET / HTTP/1.1\r\nHost: h\r\n";
  std::string many;
  for (int i = 0; i < 101; ++i) many += "X-" + std::to_string(i) + ": v\r\n";
  refused(get + many + "\r\n", "HTTP/1.1 400 Bad Request");
  refused(get + "X-Long: " + std::string(9000, 'v') + "\r\n\r\n", "HTTP/1.1 400 Bad Request");
  std::string big;
  for (int i = 0; i < 10; ++i) big += "X-" + std::to_string(i) + ": " + std::string(7000, 'v') + "\r\n";
  refused(get + big + "\r\n", "HTTP/1.1 400 Bad Request");
  // More than the system's buffers on both sides hold.
  refused("POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 67108864\r\n\r\n",
          "HTTP/1.1 413 Request Entity Too Large", std::string(64 << 20, 'b'));
  refused("POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n100000\r\n" +
              std::string(0x100000, 'b') + "\r\n10\r\n" + std::string(16, 'b') + "\r\n0\r\n\r\n",
          "HTTP/1.1 413 Request Entity Too Large");
  EXPECT_EQ(0, f.gets);
  EXPECT_TRUE(f.HasLine("0 Request refused: 413 Content too large, from 127.0.0.1"));

  // A request without Content-Length or chunked coding has no body, even
  // with a Content-Type.
  f.RunClient([&] {
    const int fd = f.Connect();
    SendAll(fd, "GET /typed HTTP/1.1\r\nHost: h\r\nContent-Type: text/plain\r\n\r\n");
    EXPECT_EQ("/typed", ReadAnswer(fd, false, 3s).body);
  });
}

TEST(HttpServer, SilentAndTricklingClientsAreCut) {
  HttpServerFixture f;
  f.server.SetTimeOut(300);
  f.server.Limits.RequestHeadTime = 1000;
  f.Answer = EchoURI;
  f.Start();
  // Silent in the middle of a head, then of a body: closed after TimeOut.
  f.RunClient([&] {
    for (const std::string request :
         {"GET / HTTP/1.1\r\nHost: h\r\n", "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 9\r\n\r\nabc"}) {
      const int fd = f.Connect();
      SendAll(fd, request);
      const auto start = test::Clock::now();
      std::string extra;
      EXPECT_TRUE(ClosedByPeer(fd, 10s, &extra));
      EXPECT_EQ("", extra);
      EXPECT_LT(test::Clock::now() - start, 5s);
    }
  });
  EXPECT_TRUE(f.PumpUntil([&] { return f.HasLine("0 Stream error: Read error"); }));
  // A byte every 100 ms keeps each wait short, but not the whole head.
  f.server.SetTimeOut(5000);
  f.RunClient([&] {
    const int fd = f.Connect();
    const std::string request = "GET / HTTP/1.1\r\nHost: h\r\nX-Slow: " + std::string(100, 's');
    const auto start = test::Clock::now();
    std::string received;
    for (char c : request) {
      if (::send(fd, &c, 1, MSG_NOSIGNAL) != 1) break;
      if (ClosedByPeer(fd, 100ms, &received)) break;
    }
    EXPECT_EQ(0u, received.find("HTTP/1.1 408 Request Timeout\r\n")) << received;
    EXPECT_LT(test::Clock::now() - start, 5s);
  });
  // The same for a body, whose time runs from the end of the head.
  f.server.Limits.RequestBodyTime = 1000;
  f.server.SetActive(false);
  f.Start();
  f.RunClient([&] {
    const int fd = f.Connect();
    SendAll(fd, "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 100\r\n\r\n");
    const auto start = test::Clock::now();
    std::string received;
    for (int i = 0; i < 100; ++i) {
      if (::send(fd, "b", 1, MSG_NOSIGNAL) != 1) break;
      if (ClosedByPeer(fd, 100ms, &received)) break;
    }
    EXPECT_EQ(0u, received.find("HTTP/1.1 408 Request Timeout\r\n")) << received;
    EXPECT_LT(test::Clock::now() - start, 5s);
  });
  EXPECT_TRUE(f.HasLine("0 Request refused: 408 Request body timeout, from 127.0.0.1"));
  EXPECT_EQ(0, f.gets);
}

// While the list is full and a connection waits, who makes way: MaxClients
// 2, both places held (from 127.0.0.2, or one from 127.0.0.3), a newcomer.
TEST(HttpServer, FullListMakesWayForANewcomerByTheRules) {
  HttpServerFixture f;
  f.server.SetMaxClients(2);
  f.server.Limits.MinRequestRate = 100;
  f.server.Limits.MinRequestRateGrace = 1000;
  f.server.Limits.SendStallTime = 1000;
  f.server.Limits.MaxWaitingConnections = 2;
  f.Answer = [](AhttpServerClient& client) {
    if (client.Request()->URI == "/big") return PatternAnswer(int64_t{1} << 30)(client);
    EchoURI(client);
  };
  f.Start();
  enum THold { kStalledHead, kKeptHead, kStalledBody, kUnread, kThrottledReader };
  struct Row {
    const char* what;
    THold hold;
    std::vector<std::string> holders;
    int more_waiting;  // connections from the first holder's address that wait too
    std::string newcomer;
    std::chrono::milliseconds within;  // served within, or (reason empty) not within
    std::string reason;                // of the log line of the one that made way
    bool newcomer_leaves = false;      // it ends its side at once, without a request
  };
  const std::string a = "127.0.0.2";
  const std::string b = "127.0.0.3";
  const Row rows[] = {
      {"stalled heads, newcomer from another address",
       kStalledHead,
       {a, a},
       0,
       b,
       500ms,
       "its address holds 2"},
      {"the same, and more waiting from the first", kStalledHead, {a, a}, 4, b, 500ms, "its address holds 2"},
      {"stalled heads, newcomer from the same address",
       kStalledHead,
       {a, a},
       0,
       a,
       4s,
       "its request came at"},
      {"stalled bodies", kStalledBody, {a, a}, 0, a, 4s, "its request came at"},
      {"answers nobody reads", kUnread, {a, a}, 0, a, 4s, "took no byte of its answer"},
      {"heads that keep the rate", kKeptHead, {a, a}, 0, a, 2s, ""},
      {"a place for each address", kKeptHead, {a, b}, 0, b, 2s, ""},
      {"throttled answers read at their rate", kThrottledReader, {a, a}, 0, a, 2s, ""},
      // Slow requests make way only while someone waits.
      {"a newcomer that has gone again", kStalledHead, {a, a}, 0, a, 1500ms, "", true},
  };
  for (const Row& row : rows) {
    f.server.SetThrottleClientWriteRate(200000);
    f.server.SetThrottleClientWrite(row.hold == kThrottledReader);
    const std::size_t lines_before = f.lines.size();
    f.RunClient([&] {
      std::atomic<bool> stop{false};
      std::vector<int> held;
      std::vector<std::thread> keepers;
      for (const std::string& from : row.holders) {
        const int fd = f.ConnectFrom(from, row.hold == kUnread ? 4096 : 0);
        held.push_back(fd);
        switch (row.hold) {
          case kStalledHead:
            SendAll(fd, "GET /h HTTP/1.1\r\nHost: h\r\nX-A: ");
            break;
          case kKeptHead:  // 400 bytes a second, however late the thread wakes
            SendAll(fd, "GET /h HTTP/1.1\r\nHost: h\r\nX-A: ");
            keepers.emplace_back([&stop, fd] {
              const auto start = test::Clock::now();
              for (std::int64_t sent = 0; !stop; std::this_thread::sleep_for(10ms)) {
                const auto due = (test::Clock::now() - start) / 2500us - sent;
                if (due > 0 && ::send(fd, std::string(due, 'a').data(), due, MSG_NOSIGNAL) != due) break;
                sent += std::max<std::int64_t>(due, 0);
              }
            });
            break;
          case kStalledBody:
            SendAll(fd, "POST /b HTTP/1.1\r\nHost: h\r\nContent-Length: 100\r\n\r\nab");
            break;
          case kUnread:
            SendAll(fd, "GET /big HTTP/1.1\r\nHost: h\r\n\r\n");
            break;
          case kThrottledReader:
            SendAll(fd, "GET /big HTTP/1.1\r\nHost: h\r\n\r\n");
            keepers.emplace_back([&stop, fd] {
              char buffer[65536];
              while (!stop && ::recv(fd, buffer, sizeof buffer, 0) > 0) {
              }
            });
            break;
        }
      }
      std::this_thread::sleep_for(200ms);  // both hold their places
      for (int i = 0; i < row.more_waiting; ++i) held.push_back(f.ConnectFrom(row.holders.front()));
      const int newcomer = f.ConnectFrom(row.newcomer);
      const bool served = !row.reason.empty();
      if (row.newcomer_leaves) {
        ::shutdown(newcomer, SHUT_WR);
        std::this_thread::sleep_for(row.within);
      } else {
        SendAll(newcomer, "GET /new HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n");
        EXPECT_EQ(served ? "/new" : "", ReadAnswer(newcomer, false, row.within).body) << row.what;
      }
      stop = true;
      for (const int fd : held) ::shutdown(fd, SHUT_RDWR);
      for (std::thread& keeper : keepers) keeper.join();
      for (const int fd : held) f.Reset(fd);
      if (!served && !row.newcomer_leaves) {
        EXPECT_EQ("/new", ReadAnswer(newcomer, false, 5s).body) << row.what << ", once they are gone";
      }
    });
    std::vector<std::string> made_way;
    for (std::size_t i = lines_before; i < f.lines.size(); ++i) {
      if (f.lines[i].find("closed to make way") != std::string::npos) made_way.push_back(f.lines[i]);
    }
    if (row.reason.empty()) {
      EXPECT_EQ(std::vector<std::string>{}, made_way) << row.what;
    } else {
      ASSERT_FALSE(made_way.empty()) << row.what;
      EXPECT_NE(std::string::npos, made_way.front().find("Connection from " + row.holders.front()));
      EXPECT_NE(std::string::npos, made_way.front().find(row.reason)) << made_way.front();
    }
    // Every connection of the row has left before the next begins.
    EXPECT_TRUE(f.PumpUntil([&] { return f.server.ClientCount() == 0 && f.server.WaitingCount() == 0; }))
        << row.what;
  }
}

TEST(HttpServer, IdleClientsMakeWayWhenTheListIsFullButRequestsInProgressDoNot) {
  HttpServerFixture f;
  f.server.SetMaxClients(2);
  f.server.IdleGiveWayTime = 200;
  f.Answer = EchoURI;
  f.Start();
  // Two kept-alive clients, answered once and then idle: a third is served
  // once the first has been idle long enough, and it is the first that goes.
  int first = -1;
  int second = -1;
  f.RunClient([&] {
    for (int* fd : {&first, &second}) {
      *fd = f.Connect();
      SendAll(*fd, "GET /idle HTTP/1.1\r\nHost: h\r\n\r\n");
      EXPECT_EQ("/idle", ReadAnswer(*fd).body);
    }
  });
  f.RunClient([&] {
    const auto start = test::Clock::now();
    const int third = f.Connect();
    SendAll(third, "GET /third HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ("/third", ReadAnswer(third, false, 5s).body);
    EXPECT_LT(test::Clock::now() - start, 3s);
    EXPECT_TRUE(ClosedByPeer(first, 1s));
    SendAll(second, "GET /still HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ("/still", ReadAnswer(second).body) << "one made way, not both";
  });
  EXPECT_TRUE(f.PumpUntil(
      [&] { return f.HasLine("0 Idle connection from 127.0.0.1 closed to make way for a new one"); }));

  // Both in the middle of a head (the third, idle the longest now, makes
  // way for `busy`): nobody makes way, the newcomer waits.
  f.RunClient([&] {
    const int busy = f.Connect();
    SendAll(busy, "GET /busy HTTP/1.1\r\n");
    SendAll(second, "GET /busy HTTP/1.1\r\n");
    const int waiting = f.Connect();
    SendAll(waiting, "GET /waiting HTTP/1.1\r\nHost: h\r\n\r\n");
    std::string extra;
    EXPECT_FALSE(ClosedByPeer(waiting, 1s, &extra));
    EXPECT_EQ("", extra) << "served while both connections had a request in progress";
    ::shutdown(busy, SHUT_RDWR);  // a place comes free
    EXPECT_EQ("/waiting", ReadAnswer(waiting, false, 5s).body);
  });
}

// A body of `announced` bytes by its size that delivers `actual` bytes: a
// file cut short or grown while it is sent.
class TChangingReader : public TPatternReader {
 public:
  TChangingReader(int64_t announced, int64_t actual) : TPatternReader(actual), announced_(announced) {}
  int64_t GetSize() override { return announced_; }

 private:
  int64_t announced_;
};

TEST(HttpServer, ABodyThatDoesNotMatchItsLengthEndsTheConnection) {
  HttpServerFixture f;
  int64_t actual = 0;
  f.Answer = [&](AhttpServerClient& client) {
    auto answer = std::make_unique<ThttpResponse>(200, "HTTP", 1, 1, "", nullptr, "");
    answer->SetContentReader(std::make_unique<TChangingReader>(100000, actual));
    client.SetResponse(std::move(answer));
  };
  f.Start();
  for (const int64_t size : {60000, 150000}) {
    actual = size;
    f.RunClient([&] {
      const int fd = f.Connect();
      SendAll(fd, "GET /changing HTTP/1.1\r\nHost: h\r\n\r\nGET /next HTTP/1.1\r\nHost: h\r\n\r\n");
      const auto start = test::Clock::now();
      const HttpAnswer a = ReadAnswer(fd, false, 5s);
      EXPECT_EQ("100000", a.Field("Content-Length"));
      EXPECT_EQ(static_cast<std::size_t>(std::min<int64_t>(size, 100000)), a.body.size());
      std::string extra;
      EXPECT_TRUE(ClosedByPeer(fd, 5s, &extra)) << size;
      EXPECT_EQ("", extra) << "nothing past the announced length, no next answer";
      EXPECT_LT(test::Clock::now() - start, 3s) << "no wait for the time-out";
    });
  }
  EXPECT_TRUE(f.PumpUntil([&] {
    return f.HasLine(
               "1 Response to GET /changing cut short: its content ended after 60000 of 100000 bytes") &&
           f.HasLine("1 Response to GET /changing cut at its announced 100000 bytes: its content is longer");
  }));
}

TEST(HttpServer, ThrottledConnectionGetsTheWholeBodyAtItsRate) {
  HttpServerFixture f;
  f.server.SetThrottleClientWrite(true);
  f.server.SetThrottleClientWriteRate(400 * 1024);
  const std::string body = test::Pattern(600 * 1024);
  f.Answer = [&](AhttpServerClient& client) { client.SetResponse(TextAnswer(body)); };
  f.Start();
  f.RunClient([&] {
    const int fd = f.Connect();
    const auto start = test::Clock::now();
    SendAll(fd, "GET / HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_TRUE(ReadAnswer(fd).body == body);
    EXPECT_GT(test::Clock::now() - start, 1s);
  });
}

// A file larger than a send piece leaves straight from the file unless the
// connection is throttled; either way every answer, range and count is
// exact, and a file that lost its end meanwhile ends the connection rather
// than the wait.
TEST(HttpServer, FileBodiesAreExactWholeOrRangedThrottledOrNot) {
  test::TempDir dir;
  const std::string body = test::Pattern((1 << 20) + 777);
  const std::string path = dir.WriteFile("big.bin", body);
  for (const bool throttled : {false, true}) {
    SCOPED_TRACE(throttled ? "throttled" : "unthrottled");
    const std::string short_path = dir.WriteFile("short.bin", body);
    HttpServerFixture f;
    if (throttled) {
      f.server.SetThrottleClientWrite(true);
      f.server.SetThrottleClientWriteRate(16 << 20);
    }
    std::mutex mutex;
    std::vector<int64_t> written;
    f.Answer = [&](AhttpServerClient& client) {
      auto answer = std::make_unique<ThttpResponse>(200, "HTTP", 1, 1, "", nullptr, "");
      const bool shrink = client.Request()->URI == "/short";
      answer->SetContentReader(std::make_unique<TFileReader>(shrink ? short_path : path));
      // Measured at its opening: the file loses its end before the body goes.
      if (shrink) {
        EXPECT_EQ(0, ::truncate(short_path.c_str(), 100000));
      }
      client.SetResponse(std::move(answer));
    };
    f.OnFree = [&](AhttpServerClient& client) {
      std::lock_guard lock(mutex);
      if (client.ResponseSuccessful) written.push_back(client.BytesWritten());
    };
    f.Start();
    std::vector<int64_t> received;
    f.RunClient([&] {
      const int fd = f.Connect();
      const auto ask = [&](const std::string& range, bool head = false) {
        SendAll(fd, std::string(head ? "HEAD" : "GET") + " / HTTP/1.1\r\nHost: h\r\n" +
                        (range.empty() ? "" : "Range: " + range + "\r\n") + "\r\n");
        HttpAnswer a = ReadAnswer(fd, head);
        received.push_back(static_cast<int64_t>(a.size));
        return a;
      };
      HttpAnswer a = ask("");
      EXPECT_TRUE(a.body == body);
      a = ask("bytes=100-700000");
      EXPECT_EQ("bytes 100-700000/" + std::to_string(body.size()), a.Field("Content-Range"));
      EXPECT_TRUE(a.body == body.substr(100, 699901));
      a = ask("bytes=40000-");
      EXPECT_TRUE(a.body == body.substr(40000));
      a = ask("bytes=-5");
      EXPECT_EQ(body.substr(body.size() - 5), a.body);
      a = ask("bytes=10-19");
      EXPECT_EQ(body.substr(10, 10), a.body);
      a = ask("", true);
      EXPECT_EQ(std::to_string(body.size()), a.Field("Content-Length"));
      EXPECT_EQ("", a.body);
      // The connection still goes on after all of them.
      a = ask("bytes=0-0");
      EXPECT_EQ(body.substr(0, 1), a.body);

      const int cut = f.Connect();
      SendAll(cut, "GET /short HTTP/1.1\r\nHost: h\r\n\r\n");
      std::string got;
      EXPECT_TRUE(ClosedByPeer(cut, 10s, &got));
      EXPECT_LT(got.size(), body.size());
    });
    ASSERT_TRUE(f.PumpUntil([&] { return f.frees == 8; }));
    std::lock_guard lock(mutex);
    EXPECT_EQ(received, written);
    EXPECT_EQ(7, f.server.ResponseCount);
  }
}

// A client that closes between requests has simply finished: no line for
// it. (A silent one is still cut with a line: SilentAndTricklingClientsAreCut.)
TEST(HttpServer, ClientThatClosesBetweenRequestsLeavesNoLine) {
  HttpServerFixture f;
  f.Answer = EchoURI;
  std::atomic<int> removed{0};
  f.server.OnClientRemoved = [&](TTCPServerClient&) { ++removed; };
  f.Start();
  f.RunClient([&] {
    for (int i = 0; i < 3; ++i) {
      const int fd = f.Connect();
      if (i > 0) {
        SendAll(fd, "GET /a HTTP/1.1\r\nHost: h\r\n\r\n");
        EXPECT_EQ("/a", ReadAnswer(fd).body);
      }
      ::shutdown(fd, SHUT_WR);
      EXPECT_TRUE(ClosedByPeer(fd));
    }
  });
  ASSERT_TRUE(f.PumpUntil([&] { return removed == 3; }));
  for (const std::string& line : f.lines) EXPECT_EQ(std::string::npos, line.find("Stream error")) << line;
}

TEST(HttpServer, CountersAndBytesWrittenCountEachByteOnce) {
  HttpServerFixture f;
  std::mutex mutex;
  // By URI: the clean-up of one connection's last answer may come after
  // the next connection's, which the client reached once it had the answer.
  std::map<std::string, int64_t> written;
  f.Answer = [](AhttpServerClient& client) {
    client.SetResponse(TextAnswer(std::string(client.Request()->URI.size() * 100, 'x')));
  };
  f.OnFree = [&](AhttpServerClient& client) {
    std::lock_guard lock(mutex);
    written[client.Request()->URI] = client.BytesWritten();
  };
  f.Start();
  std::map<std::string, int64_t> received;
  f.RunClient([&] {
    int fd = f.Connect();
    for (const char* uri : {"/a", "/bb", "/ccc"}) {
      SendAll(fd, std::string("GET ") + uri + " HTTP/1.1\r\nHost: h\r\n\r\n");
      received[uri] = static_cast<int64_t>(ReadAnswer(fd).size);
    }
    fd = f.Connect();
    SendAll(fd, "GET /dddd HTTP/1.0\r\n\r\n");
    received["/dddd"] = static_cast<int64_t>(ReadAnswer(fd).size);
    EXPECT_TRUE(ClosedByPeer(fd));
  });
  ASSERT_TRUE(f.PumpUntil([&] { return f.frees == 4; }));
  std::lock_guard lock(mutex);
  ASSERT_EQ(4u, received.size());
  EXPECT_EQ(received, written);
  EXPECT_EQ(4, f.server.RequestCount);
  EXPECT_EQ(4, f.server.ResponseCount);
  EXPECT_EQ(0, f.server.ActiveRequests);
  int64_t total = 0;
  for (const auto& [uri, size] : received) total += size;
  EXPECT_EQ(total, f.server.DataServed);
}

TEST(HttpServer, SlowReaderGetsTheBodyInStepsAndAFailedSendStillFreesOnce) {
  HttpServerFixture f;
  static constexpr int64_t kSize = 64 << 20;
  std::atomic<int> successful{0};
  f.Answer = PatternAnswer(kSize);
  f.OnFree = [&](AhttpServerClient& client) { successful += client.ResponseSuccessful ? 1 : 0; };
  f.server.OnResponseSuccessful = [&](AhttpServer&, AhttpServerClient&) {};
  f.Start();
  // A client that reads nothing for a while: the server copies no more than
  // the system's buffers take, then waits for it.
  const int fd = f.Connect();
  TPatternReader::delivered = 0;
  SendAll(fd, "GET / HTTP/1.1\r\nHost: h\r\n\r\n");
  f.PumpUntil([] { return false; }, 1s);
  EXPECT_LT(TPatternReader::delivered, 16 << 20);
  f.RunClient([&] {
    const HttpAnswer a = ReadAnswer(fd, false, 60s);
    EXPECT_EQ(static_cast<std::size_t>(kSize), a.body.size());
    EXPECT_EQ(std::string("abcdef"), a.body.substr(0, 6));
  });
  // A client that leaves in the middle of the body: the cycle ends, freed once.
  f.RunClient([&] {
    const int other = f.Connect();
    SendAll(other, "GET / HTTP/1.1\r\nHost: h\r\n\r\n");
    char buffer[4096];
    EXPECT_GT(::recv(other, buffer, sizeof buffer, 0), 0);
    ::close(other);
  });
  EXPECT_TRUE(f.PumpUntil([&] { return f.frees == 2; }, 20s));
  EXPECT_EQ(2, f.gets);
  EXPECT_EQ(1, successful);
  EXPECT_EQ(1, f.server.ResponseCount);
}

TEST(HttpServer, SyncEventsRunOnTheMainThreadAndRefererIsLogged) {
  HttpServerFixture f;
  f.Answer = nullptr;
  std::atomic<int> main_thread_calls{0};
  f.server.OnSyncGetResponse = [&](AhttpServer&, AhttpServerClient& client) {
    main_thread_calls += IsMainThread() ? 1 : 0;
    EchoURI(client);
  };
  f.server.OnSyncResponseSuccessful = f.server.OnSyncFreeResponse = [&](AhttpServer&, AhttpServerClient&) {
    main_thread_calls += IsMainThread() ? 1 : 0;
  };
  f.Start();
  f.RunClient([&] {
    const int fd = f.Connect();
    SendAll(fd, "GET /s HTTP/1.0\r\nReferer: http://x/\r\n\r\n");
    EXPECT_EQ("/s", ReadAnswer(fd).body);
  });
  EXPECT_TRUE(f.PumpUntil([&] { return main_thread_calls == 3; }));
  EXPECT_TRUE(f.HasLine("0 Referer: 127.0.0.1;http://x/"));
}

// The connection's part of a CGI program's environment, for IPv4 and IPv6
// clients of a server on one address and on every address: the peer as it
// is (never a mapped IPv4 address), its own port, and the user the
// application authenticated.
TEST(HttpServer, BuildCGIEnvironmentFromTheConnection) {
  const std::string no_ipv6 = test::NoIPv6Loopback();
  const struct {
    std::vector<std::string> local_hosts;
    const char* client;
    const char* server_name;  // empty: the machine's host name
  } cases[] = {
      {{"127.0.0.1"}, "127.0.0.1", "127.0.0.1"},
      {{}, "127.0.0.1", ""},
      {{}, "::1", ""},
      {{"127.0.0.1", "::1"}, "::1", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.client);
    if (!no_ipv6.empty() && (c.local_hosts.empty() || std::string(c.client) == "::1")) continue;
    HttpServerFixture f;
    f.server.SetLocalHosts(c.local_hosts);
    f.Answer = [](AhttpServerClient& client) {
      std::vector<std::string> list{"PATH_INFO=/old", "REMOTE_USER=stale"};
      client.RemoteUser = client.Request()->URI == "/cgi/user.exe" ? "ann" : "";
      dynamic_cast<ThttpServerClient&>(client).BuildCGIEnvironment(&list, "/srv", "/srv/cgi/test.exe");
      std::string text;
      for (const std::string& line : list) text += line + "\n";
      client.SetResponse(TextAnswer(text));
    };
    f.Start();
    std::string env, user_env;
    std::uint16_t client_port = 0;
    f.RunClient([&] {
      const int fd = test::ConnectTo(c.client, f.port);
      ASSERT_GE(fd, 0);
      TSocketAddress address;
      socklen_t size = sizeof address.v6;
      ::getsockname(fd, &address.any, &size);
      client_port = address.Port();
      SendAll(fd, "GET /cgi/user.exe HTTP/1.1\r\nHost: h\r\nReferer: http://x/\r\n\r\n");
      user_env = ReadAnswer(fd).body;
      SendAll(fd, "GET /cgi/test.exe?a=1 HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n");
      env = ReadAnswer(fd).body;
      ::close(fd);
    });
    const std::string server_name = *c.server_name ? c.server_name : LocalHostName();
    for (const std::string& line : std::vector<std::string>{
             std::string("REMOTE_ADDR=") + c.client, "REMOTE_PORT=" + std::to_string(client_port),
             "SERVER_PORT=" + std::to_string(f.port), "SERVER_NAME=" + server_name,
             "SERVER_SOFTWARE=Veltrana", "SCRIPT_NAME=/cgi/test.exe", "QUERY_STRING=a=1",
             "SERVER_PROTOCOL=HTTP/1.1"})
      EXPECT_NE(std::string::npos, env.find(line + "\n")) << line;
    EXPECT_NE(std::string::npos, env.find("REMOTE_HOST="));
    EXPECT_EQ(std::string::npos, env.find("PATH_INFO"));
    EXPECT_EQ(std::string::npos, env.find("SERVER_ADMIN"));
    EXPECT_EQ(std::string::npos, env.find("REMOTE_USER")) << "a new request starts without a user";
    EXPECT_NE(std::string::npos, user_env.find("REMOTE_USER=ann\n"));
    // The worker posts the line without waiting: it may reach this thread
    // after the client is done.
    EXPECT_TRUE(f.PumpUntil([&] { return f.HasLine(std::string("0 Referer: ") + c.client + ";http://x/"); }));
  }
}

TEST(HttpServer, ClientThatHalfClosesAfterItsRequestIsAnswered) {
  HttpServerFixture f;
  f.Answer = EchoURI;
  f.Start();
  f.RunClient([&] {
    const int fd = f.Connect();
    SendAll(fd, "GET /half HTTP/1.0\r\n\r\n");
    ::shutdown(fd, SHUT_WR);
    EXPECT_EQ("/half", ReadAnswer(fd).body);
  });
}

TEST(HttpServer, ClientThatHalfClosesGetsALargeBodyWhole) {
  HttpServerFixture f;
  static constexpr int64_t kSize = 16 << 20;
  std::atomic<int> successful{0};
  f.Answer = PatternAnswer(kSize);
  f.OnFree = [&](AhttpServerClient& client) { successful += client.ResponseSuccessful ? 1 : 0; };
  f.Start();
  std::string expected(kSize, ' ');
  TPatternReader(kSize).Read(expected.data(), static_cast<int32_t>(kSize));
  f.RunClient([&] {
    // The request, then the end of the client's side: the whole answer
    // still arrives, then the close.
    int fd = f.Connect();
    SendAll(fd, "GET /big HTTP/1.0\r\n\r\n");
    ::shutdown(fd, SHUT_WR);
    HttpAnswer a = ReadAnswer(fd, false, 60s);
    EXPECT_EQ("HTTP/1.0 200 OK", a.status);
    EXPECT_TRUE(a.body == expected) << a.body.size() << " bytes";
    EXPECT_TRUE(ClosedByPeer(fd));
    // Kept alive: both pipelined requests are answered, then the close
    // comes at once, not after the server's time-out.
    fd = f.Connect();
    SendAll(fd, "GET /1 HTTP/1.1\r\nHost: h\r\n\r\nGET /2 HTTP/1.1\r\nHost: h\r\n\r\n");
    ::shutdown(fd, SHUT_WR);
    for (int i = 0; i < 2; ++i) EXPECT_TRUE(ReadAnswer(fd, false, 60s).body == expected);
    const auto start = test::Clock::now();
    EXPECT_TRUE(ClosedByPeer(fd));
    EXPECT_LT(test::Clock::now() - start, 5s);
  });
  EXPECT_TRUE(f.PumpUntil([&] { return f.frees == 3; }));
  EXPECT_EQ(3, successful);
  EXPECT_EQ(3, f.server.ResponseCount);
}

TEST(HttpServer, ExpectContinueIsAnsweredOnlyForABodyThatWillBeRead) {
  HttpServerFixture f;
  std::mutex mutex;
  std::vector<int64_t> written;
  f.Answer = [](AhttpServerClient& client) {
    client.SetResponse(TextAnswer(std::to_string(client.Request()->GetContentText().size())));
  };
  f.OnFree = [&](AhttpServerClient& client) {
    std::lock_guard lock(mutex);
    written.push_back(client.BytesWritten());
  };
  f.Start();
  const std::string continued = "HTTP/1.1 100 Continue";
  std::vector<int64_t> received;
  int64_t refused = 0;
  f.RunClient([&] {
    const int fd = f.Connect();
    const std::string head = "POST /p HTTP/1.1\r\nHost: h\r\nExpect: 100-Continue\r\n";
    // The interim answer comes before the client sends its body.
    SendAll(fd, head + "Content-Length: 5\r\n\r\n");
    HttpAnswer a = ReadAnswer(fd, true);
    EXPECT_EQ(continued, a.status);
    EXPECT_TRUE(a.fields.empty());
    SendAll(fd, "hello");
    a = ReadAnswer(fd);
    EXPECT_EQ("HTTP/1.1 200 OK", a.status);
    EXPECT_EQ("5", a.body);
    received.push_back(static_cast<int64_t>(a.size));
    SendAll(fd, head + "Transfer-Encoding: chunked\r\n\r\n");
    EXPECT_EQ(continued, ReadAnswer(fd, true).status);
    SendAll(fd, "3\r\nabc\r\n0\r\n\r\n");
    a = ReadAnswer(fd);
    EXPECT_EQ("3", a.body);
    received.push_back(static_cast<int64_t>(a.size));
    // Without a body, and to HTTP/1.0 (which knows no interim answers):
    // only the answer.
    SendAll(fd, head + "Content-Length: 0\r\n\r\n");
    a = ReadAnswer(fd);
    EXPECT_EQ("HTTP/1.1 200 OK", a.status);
    received.push_back(static_cast<int64_t>(a.size));
    SendAll(fd, "POST /p HTTP/1.0\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\nab");
    a = ReadAnswer(fd);
    EXPECT_EQ("HTTP/1.0 200 OK", a.status);
    EXPECT_EQ("2", a.body);
    received.push_back(static_cast<int64_t>(a.size));
    EXPECT_TRUE(ClosedByPeer(fd));
    // A body the server will not read is refused at once, without the
    // interim answer, and the connection closed.
    const int big = f.Connect();
    SendAll(big, head + "Content-Length: 2000000\r\n\r\n");
    a = ReadAnswer(big, false, 5s);
    EXPECT_EQ("HTTP/1.1 413 Request Entity Too Large", a.status);
    refused = static_cast<int64_t>(a.size);
    EXPECT_TRUE(ClosedByPeer(big));
  });
  ASSERT_TRUE(f.PumpUntil([&] { return f.frees == 4; }));
  std::lock_guard lock(mutex);
  EXPECT_EQ(received, written) << "an interim answer is not part of the response";
  EXPECT_EQ(received[0] + received[1] + received[2] + received[3] + refused +
                2 * static_cast<int64_t>(continued.size() + 4),
            f.server.DataServed);
}

// Runs a command on a thread while the main queue is served; its output.
std::string RunCommand(HttpServerFixture& f, const std::string& command) {
  std::string output;
  f.RunClient([&] {
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    ASSERT_NE(nullptr, pipe);
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
    ::pclose(pipe);
  });
  return output;
}

TEST(HttpServer, RealClients) {
  HttpServerFixture f;
  const std::string body = test::Pattern(1000);
  f.Answer = [&](AhttpServerClient& client) { client.SetResponse(TextAnswer(body)); };
  f.Start();
  const std::string url = "http://127.0.0.1:" + std::to_string(f.port) + "/x";
  // Python's http.client checks the framing strictly and reuses the
  // connection.
  EXPECT_EQ("OK\n", RunCommand(f, std::string("python3 ") + VT_HTTP_TEST_DIR + "/http_client_check.py " +
                                      std::to_string(f.port)));
  // curl: two transfers over one connection, a range, HEAD and HTTP/1.0.
  EXPECT_EQ("200 1000 1;200 1000 0;",
            RunCommand(f,
                       "curl -sS --max-time 20 -o /dev/null -o /dev/null -w '%{http_code} "
                       "%{size_download} %{num_connects};' " +
                           url + " " + url));
  EXPECT_EQ(body.substr(10, 10), RunCommand(f, "curl -sS --max-time 20 -r 10-19 " + url));
  const std::string head = RunCommand(f, "curl -sS --max-time 20 -I " + url);
  EXPECT_NE(std::string::npos, head.find("Content-Length: 1000\r\n"));
  EXPECT_NE(std::string::npos, head.find("Server: " + kServer + "\r\n"));
  EXPECT_EQ(body, RunCommand(f, "curl -sS --max-time 20 -0 " + url));
  // A 100 KiB upload that asks for "100 Continue" (curl asks by itself only
  // from 1 MiB on): curl holds the body back until the interim answer comes,
  // for 30 s here, so that a missing one shows as the transfer's time-out.
  test::TempDir dir;
  const std::string upload = dir.WriteFile("upload.bin", test::Pattern(100 * 1024));
  EXPECT_EQ("200 102400",
            RunCommand(f,
                       "curl -sS --max-time 20 --expect100-timeout 30 -H 'Expect: 100-continue' "
                       "-o /dev/null -w '%{http_code} %{size_upload}' --data-binary @" +
                           upload + " " + url));
}

}  // namespace
}  // namespace vt

namespace vt {
namespace {

// A handler that reads its request's body itself: the body's size, or what
// stopped it, is the answer; `read` false leaves the body unread.
TEST(HttpServer, StreamedRequestBodiesKeepTheFramingTheLimitAndTheConnectionsOrder) {
  HttpServerFixture f;
  f.server.Limits.MaxRequestBody = 1000;
  std::atomic<bool> read{true};
  f.server.OnRequestHeader = [](AhttpServer&, AhttpServerClient& client) {
    if (client.Request()->Method == "POST") client.StreamRequestBody(4000);
  };
  f.Answer = [&](AhttpServerClient& client) {
    ThttpRequestBodyReader* body = client.RequestBody();
    std::int64_t size = 0;
    if (body && read) {
      char buffer[700];
      while (const int32_t n = body->Read(buffer, sizeof buffer)) size += n;
    }
    client.SetResponse(TextAnswer((body ? "streamed " : "none ") + std::to_string(size)));
  };
  f.Start();
  f.RunClient([&] {
    // Above MaxRequestBody, below the request's own limit; then the next
    // request on the same connection.
    int fd = f.Connect();
    SendAll(fd, "POST /a HTTP/1.1\r\nHost: h\r\nContent-Length: 3000\r\n\r\n" + std::string(3000, 'x'));
    EXPECT_EQ("streamed 3000", ReadAnswer(fd).body);
    SendAll(fd, "POST /b HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\nExpect: 100-continue\r\n\r\n");
    EXPECT_EQ("HTTP/1.1 100 Continue", ReadAnswer(fd, true).status);
    SendAll(fd, "800\r\n" + std::string(2048, 'y') + "\r\n0\r\n\r\n");
    EXPECT_EQ("streamed 2048", ReadAnswer(fd).body);
    SendAll(fd, "GET /c HTTP/1.1\r\nHost: h\r\n\r\n");
    HttpAnswer a = ReadAnswer(fd);
    EXPECT_EQ("none 0", a.body);
    EXPECT_EQ("keep-alive", a.Field("Connection"));
    // Announced past the request's limit: refused before the handler.
    fd = f.Connect();
    SendAll(fd, "POST /d HTTP/1.1\r\nHost: h\r\nContent-Length: 4001\r\n\r\n");
    EXPECT_EQ("HTTP/1.1 413 Request Entity Too Large", ReadAnswer(fd).status);
    EXPECT_TRUE(ClosedByPeer(fd));
    // Chunked past it: refused when the handler's read crosses it.
    fd = f.Connect();
    SendAll(fd, "POST /e HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n");
    for (int i = 0; i < 5; ++i) SendAll(fd, "3e8\r\n" + std::string(1000, 'z') + "\r\n");
    SendAll(fd, "0\r\n\r\n");
    EXPECT_EQ("HTTP/1.1 413 Request Entity Too Large", ReadAnswer(fd).status);
    EXPECT_TRUE(ClosedByPeer(fd));
    // Left unread: the answer says the connection ends, and what the body
    // held (a request, here) is never answered.
    read = false;
    fd = f.Connect();
    const std::string smuggled = "GET /smuggled HTTP/1.1\r\nHost: h\r\n\r\n";
    SendAll(fd, "POST /f HTTP/1.1\r\nHost: h\r\nContent-Length: " + std::to_string(smuggled.size()) +
                    "\r\n\r\n" + smuggled);
    a = ReadAnswer(fd);
    EXPECT_EQ("streamed 0", a.body);
    EXPECT_EQ("close", a.Field("Connection"));
    std::string extra;
    EXPECT_TRUE(ClosedByPeer(fd, 10s, &extra));
    EXPECT_EQ("", extra);
  });
  EXPECT_EQ(5, f.gets) << "the refused announcement never reached the handler";
}

}  // namespace
}  // namespace vt
