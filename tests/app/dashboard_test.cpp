#include "app/dashboard.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/temp_dir.h"

namespace vt {
namespace {

// A machine with a loopback, a wired interface, a container bridge and an
// address that two interfaces share, as LocalInterfaceAddresses gives them
// (interfaces that are up). Only data: nothing here ever connects to these
// addresses.
std::vector<TInterfaceAddress> SampleInterfaces() {
  const auto entry = [](const char* name, const char* address) {
    TInterfaceAddress result;
    result.Interface = name;
    EXPECT_TRUE(ParseSocketAddress(address, 0, result.Address)) << address;
    return result;
  };
  return {
      entry("eth0", "192.168.1.20"), entry("docker0", "172.17.0.1"),
      entry("br0", "192.168.1.20"),  // the same address again
      entry("eth0", "2001:db8::20"), entry("eth0", "fe80::1c2:3ff:fe04:506"),
      entry("lo", "127.0.0.1"),      entry("lo", "::1"),
  };
}

TEST(ServerUrls, FollowTheListeningAddress) {
  struct Case {
    const char* listen;
    const char* port;
    std::vector<std::string> urls;
  } cases[] = {
      {"", "8080", {"http://localhost:8080/", "http://192.168.1.20:8080/", "http://172.17.0.1:8080/"}},
      {"0.0.0.0", "80", {"http://localhost/", "http://192.168.1.20/", "http://172.17.0.1/"}},
      {"::",
       "8080",
       {"http://localhost:8080/", "http://192.168.1.20:8080/", "http://172.17.0.1:8080/",
        "http://[2001:db8::20]:8080/"}},
      {"127.0.0.1", "8080", {"http://localhost:8080/"}},
      {"::1", "8080", {"http://localhost:8080/"}},
      {"127.0.0.2", "8080", {"http://127.0.0.2:8080/"}},
      {"192.168.1.20", "8080", {"http://192.168.1.20:8080/"}},
      {"2001:db8::20", "443", {"http://[2001:db8::20]:443/"}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.urls, ServerUrls(c.listen, c.port, SampleInterfaces()))
        << "listening on '" << c.listen << "'";
  EXPECT_EQ(std::vector<std::string>{"http://localhost:8080/"}, ServerUrls("", "8080", {}))
      << "no interfaces: this computer only";
}

TEST(ServerUrls, ThisMachinesInterfacesAreRead) {
  const std::vector<TInterfaceAddress> interfaces = LocalInterfaceAddresses();
  const std::vector<std::string> urls = ServerUrls("::", "8080", interfaces);
  ASSERT_FALSE(urls.empty());
  EXPECT_EQ("http://localhost:8080/", urls[0]);
  for (const std::string& url : urls) {
    EXPECT_EQ(std::string::npos, url.find("127.")) << url;
    EXPECT_EQ(std::string::npos, url.find("[::1]")) << url;
    EXPECT_EQ(std::string::npos, url.find("[fe80:")) << url;
  }
}

TEST(ThroughputHistory, OneBucketASecond) {
  TThroughputHistory history(5);
  history.Add(1000, 10, 1);
  history.Add(1500, 5, 0);
  history.Add(2100, 7, 2);
  history.Add(3900, -4, -1);  // nothing counts less than nothing
  history.Add(5000, 1, 1);    // the current second: not complete yet
  const std::vector<TThroughputBucket> buckets = history.Buckets(5200);
  ASSERT_EQ(5u, buckets.size());
  const std::int64_t bytes[] = {0, 15, 7, 0, 0};
  const std::int64_t requests[] = {0, 1, 2, 0, 0};
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(bytes[i], buckets[i].Bytes) << "second " << i;
    EXPECT_EQ(requests[i], buckets[i].Requests) << "second " << i;
  }
  EXPECT_EQ(1, history.Buckets(6000)[4].Bytes) << "second 5, complete";
  history.Add(100000, 3, 3);
  for (const TThroughputBucket& bucket : history.Buckets(100000)) EXPECT_EQ(0, bucket.Bytes) << "long gone";
  EXPECT_EQ(3, history.Buckets(101000)[4].Requests);
}

TEST(ConnectionTexts, StatesProgressSpeedAndRequest) {
  struct StateCase {
    TConnectionState state;
    bool throttled;
    const char* text;
  } states[] = {
      {TConnectionState::Waiting, true, "waiting for a request"},
      {TConnectionState::Reading, false, "reading a request"},
      {TConnectionState::RunningProgram, true, "running a program"},
      {TConnectionState::Sending, false, "sending"},
      {TConnectionState::Sending, true, "throttled"},
  };
  for (const StateCase& c : states) EXPECT_EQ(c.text, ConnectionStateText(c.state, c.throttled));

  TConnectionRow row;
  row.State = TConnectionState::Sending;
  row.Sent = 1536;
  row.Size = 10 * 1024 * 1024;
  EXPECT_EQ("1.5 Kb of 10 Mb", ProgressText(row));
  row.Size = -1;
  EXPECT_EQ("1.5 Kb", ProgressText(row)) << "size not known";
  row.State = TConnectionState::Waiting;
  EXPECT_EQ("-", ProgressText(row)) << "no answer under way";
  row.State = TConnectionState::Reading;
  row.Received = 3250585;
  row.BodySize = 20 * 1024 * 1024;
  EXPECT_EQ("receiving 3.1 Mb of 20 Mb", ProgressText(row)) << "an upload coming in";
  row.BodySize = -1;
  EXPECT_EQ("receiving 3.1 Mb", ProgressText(row)) << "a chunked upload";
  EXPECT_EQ("100 Kb/s", SpeedText(102400));
  EXPECT_EQ("-", SpeedText(0));

  struct RequestCase {
    const char* line;
    const char* shown;
  } requests[] = {
      {"GET /a.iso HTTP/1.1", "GET /a.iso"},
      {"GET /", "GET /"},  // HTTP/0.9: no version
      {"GET /a b HTTP/1.0", "GET /a b"},
      {"GET /\x1b[2J HTTP/1.1", "GET /\\x1B[2J"},  // a terminal's escape stays text
  };
  for (const RequestCase& c : requests) EXPECT_EQ(c.shown, RequestText(c.line)) << c.line;
}

TEST(ConnectionTexts, TableForStandardError) {
  EXPECT_EQ("No connections\n", ConnectionTableText({}));
  TConnectionRow download;
  download.Address = "127.0.0.1";
  download.State = TConnectionState::Sending;
  download.Throttled = true;
  download.Request = "GET /a.iso";
  download.Sent = 2048;
  download.Size = 4096;
  download.BytesPerSecond = 1024;
  download.OpenMs = 65000;
  TConnectionRow idle;
  idle.Address = "10.1.2.3";
  idle.State = TConnectionState::Waiting;
  const std::string text = ConnectionTableText({download, idle});
  EXPECT_EQ(
      "Client     State                  Request     Sent          Speed   Open\n"
      "127.0.0.1  throttled              GET /a.iso  2 Kb of 4 Kb  1 Kb/s  0:01:05\n"
      "10.1.2.3   waiting for a request  -           -             -       0:00:00\n",
      text);
}

TEST(ReadLastLines, TheTailOfAFile) {
  test::TempDir dir;
  struct Case {
    const char* content;
    std::size_t lines;
    std::size_t bytes;
    std::vector<std::string> expected;
  } cases[] = {
      {"a\r\nb\r\nc\r\n", 2, 1000, {"b", "c"}},
      {"a\r\nb\r\nc\r\n", 10, 1000, {"a", "b", "c"}},
      {"a\nb\nlast without end", 10, 1000, {"a", "b", "last without end"}},
      {"first line\r\nsecond\r\nthird\r\n", 10, 17, {"second", "third"}},  // the cut line is left out
      {"first line\r\nsecond\r\nthird\r\n", 10, 15, {"second", "third"}},  // no cut: a whole line
      {"", 10, 1000, {}},
  };
  for (const Case& c : cases) {
    const std::string file = dir.WriteFile("log.txt", c.content);
    EXPECT_EQ(c.expected, ReadLastLines(file, c.lines, c.bytes)) << c.content;
  }
  EXPECT_TRUE(ReadLastLines(dir.File("missing.log"), 10).empty());
}

TEST(ConnectionFigures, RequestTextIsCutAndNeverReadHalfWritten) {
  TConnectionFigures figures;
  EXPECT_EQ("", figures.Request());
  const std::string long_line = "GET /" + std::string(200, 'x') + " HTTP/1.1";
  figures.SetRequest(long_line);
  EXPECT_EQ(long_line.substr(0, TConnectionFigures::kRequestTextSize), figures.Request());

  const std::string one = "GET /" + std::string(100, 'a') + " HTTP/1.1";
  const std::string other = "POST /b";
  figures.SetRequest(other);
  std::atomic<bool> done{false};
  std::thread worker([&] {
    for (int i = 0; i < 20000; ++i) {
      figures.SetRequest(i % 2 ? one : other);
      std::this_thread::yield();
    }
    done = true;
  });
  int torn = 0;
  int whole = 0;
  while (!done.load()) {
    const std::string seen = figures.Request();
    if (seen == one || seen == other) {
      ++whole;
    } else if (!seen.empty()) {
      ++torn;
    }
  }
  worker.join();
  EXPECT_GT(whole, 0);
  EXPECT_EQ(0, torn);
}

TEST(ConnectionFigures, AnswerProgressStaysInRange) {
  TConnectionFigures figures;
  figures.BeginResponse(1000, 500);
  struct Case {
    std::int64_t sent_on_connection;
    std::int64_t progress;
  } cases[] = {{900, 0}, {1000, 0}, {1200, 200}, {1500, 500}, {1700, 500}};
  for (const Case& c : cases) {
    figures.BytesSent = c.sent_on_connection;
    EXPECT_EQ(c.progress, figures.ResponseSent()) << c.sent_on_connection;
  }
  figures.BeginResponse(1000, -1);
  EXPECT_EQ(700, figures.ResponseSent()) << "size not known: no upper bound";
}

// The QR code is for a phone: its "localhost" is the phone itself.
TEST(QrCodeUrl, NeverALoopbackAddress) {
  const std::vector<std::string> every = {"http://localhost:8080/", "http://192.0.2.7:8080/",
                                          "http://[2001:db8::7]:8080/"};
  const std::vector<std::string> loopback_only = {"http://localhost:8080/", "http://127.0.0.2:8080/"};
  const struct {
    const char* why;
    const std::vector<std::string>* urls;
    const char* selected;
    const char* https_port;
    const char* code;
  } cases[] = {
      {"the chosen network address", &every, "http://[2001:db8::7]:8080/", "", "http://[2001:db8::7]:8080/"},
      {"localhost chosen: the first network address stands in", &every, "http://localhost:8080/", "",
       "http://192.0.2.7:8080/"},
      {"nothing chosen", &every, "", "", "http://192.0.2.7:8080/"},
      {"only loopback addresses: no code", &loopback_only, "http://127.0.0.2:8080/", "", ""},
      {"HTTPS on: the https address of the same host", &every, "http://192.0.2.7:8080/", "8443",
       "https://192.0.2.7:8443/"},
      {"HTTPS on port 443 leaves the port out", &every, "http://[2001:db8::7]:8080/", "443",
       "https://[2001:db8::7]/"},
      {"HTTPS, localhost chosen", &every, "http://localhost:8080/", "8443", "https://192.0.2.7:8443/"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.code, QrCodeUrl(*c.urls, c.selected, c.https_port)) << c.why;
}

}  // namespace
}  // namespace vt
