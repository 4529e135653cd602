#include "http_test_support.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "platform/event_queue.h"
#include "socket_test_support.h"
#include "util/text.h"

namespace vt::test {

namespace {

// Receives into `data` until it holds `count` bytes (negative: up to the end
// of the stream) or `deadline` passes; never takes more than `count`.
void Receive(int fd, std::string& data, int64_t count, Clock::time_point deadline) {
  char buffer[65536];
  while (count < 0 || static_cast<int64_t>(data.size()) < count) {
    if (Clock::now() >= deadline) return;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const int64_t want = count < 0
                             ? int64_t{sizeof buffer}
                             : std::min<int64_t>(sizeof buffer, count - static_cast<int64_t>(data.size()));
    const ssize_t got = ::recv(fd, buffer, static_cast<std::size_t>(want), 0);
    if (got <= 0) return;
    data.append(buffer, static_cast<std::size_t>(got));
  }
}

// Reads one line up to its CRLF (not kept), byte by byte; false when the
// stream or the time ends first.
bool ReceiveLine(int fd, std::string& line, Clock::time_point deadline) {
  line.clear();
  char c;
  while (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0) {
    if (Clock::now() >= deadline) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    if (::recv(fd, &c, 1, 0) != 1) return false;
    line += c;
  }
  line.resize(line.size() - 2);
  return true;
}

// A chunked body, decoded into `body`; true when its last chunk came.
bool ReceiveChunks(int fd, std::string& body, std::size_t& raw_size, Clock::time_point deadline) {
  std::string line;
  for (;;) {
    if (!ReceiveLine(fd, line, deadline)) return false;
    raw_size += line.size() + 2;
    const int64_t size = std::stoll(line, nullptr, 16);
    if (size == 0) {
      if (!ReceiveLine(fd, line, deadline)) return false;
      raw_size += line.size() + 2;
      return line.empty();
    }
    std::string data;
    Receive(fd, data, size + 2, deadline);
    raw_size += data.size();
    if (static_cast<int64_t>(data.size()) < size + 2) {
      body += data;
      return false;
    }
    body.append(data, 0, static_cast<std::size_t>(size));
  }
}

}  // namespace

std::string HttpAnswer::Field(const std::string& name) const {
  for (const auto& [field, value] : fields) {
    if (TextEqualFolded(field, name)) return value;
  }
  return std::string();
}

bool HttpAnswer::Has(const std::string& name) const {
  return std::any_of(fields.begin(), fields.end(),
                     [&](const auto& f) { return TextEqualFolded(f.first, name); });
}

std::vector<std::string> HttpAnswer::Names() const {
  std::vector<std::string> names;
  for (const auto& field : fields) names.push_back(field.first);
  return names;
}

HttpAnswer ReadAnswer(int fd, bool head, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  HttpAnswer answer;
  // Byte by byte up to the end of the head, so that nothing of the next
  // answer is taken.
  std::string text;
  char c;
  while (text.size() < 4 || text.compare(text.size() - 4, 4, "\r\n\r\n") != 0) {
    if (Clock::now() >= deadline) return answer;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    if (::recv(fd, &c, 1, 0) != 1) return answer;
    text += c;
  }
  answer.size = text.size();
  std::vector<std::string> lines = SplitAtText(text.substr(0, text.size() - 4), "\r\n");
  answer.status = lines.front();
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::size_t colon = lines[i].find(':');
    answer.fields.emplace_back(lines[i].substr(0, colon),
                               colon == std::string::npos ? std::string() : lines[i].substr(colon + 2));
  }
  if (head) return answer;
  if (answer.Field("Transfer-Encoding") == "chunked") {
    answer.last_chunk = ReceiveChunks(fd, answer.body, answer.size, deadline);
    return answer;
  }
  Receive(fd, answer.body, answer.Has("Content-Length") ? std::stoll(answer.Field("Content-Length")) : -1,
          deadline);
  answer.size += answer.body.size();
  return answer;
}

bool ClosedByPeer(int fd, std::chrono::milliseconds limit, std::string* extra) {
  const auto deadline = Clock::now() + limit;
  char buffer[65536];
  while (Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) return true;
    if (extra) extra->append(buffer, static_cast<std::size_t>(got));
  }
  return false;
}

std::unique_ptr<ThttpResponse> TextAnswer(const std::string& body, const std::string& type) {
  auto answer = std::make_unique<ThttpResponse>(200, "HTTP", 1, 1, body, nullptr, "");
  answer->SetContentType(type);
  return answer;
}

HttpServerFixture::HttpServerFixture() {
  server.SetListenPort("0");
  server.SetLocalHost("127.0.0.1");
  server.SetApplicationName("Veltrana");
  server.SetApplicationVersion("1.0");
  server.SetTimeOut(10000);
  server.OnGetResponse = [this](AhttpServer&, AhttpServerClient& client) {
    ++gets;
    if (Answer) Answer(client);
  };
  server.OnFreeResponse = [this](AhttpServer&, AhttpServerClient& client) {
    ++frees;
    if (OnFree) OnFree(client);
  };
  log.OnLogMessage = [this](TComponent*, int log_class, const std::string& msg) {
    lines.push_back(std::to_string(log_class) + " " + msg);
  };
  server.SetLogTo(&log);
}

HttpServerFixture::~HttpServerFixture() {
  server.SetActive(false);
  for (int fd : peers_) ::close(fd);
}

void HttpServerFixture::Start() {
  server.SetActive(true);
  sockaddr_in address{};
  socklen_t size = sizeof address;
  ::getsockname(server.ServerSocket().SocketHandle(), reinterpret_cast<sockaddr*>(&address), &size);
  port = ntohs(address.sin_port);
}

int HttpServerFixture::Connect() {
  peers_.push_back(ConnectLoopback(port));
  return peers_.back();
}

int HttpServerFixture::ConnectFrom(const std::string& source, int rcvbuf) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  peers_.push_back(fd);
  if (rcvbuf > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  ::inet_pton(AF_INET, source.c_str(), &address.sin_addr);
  EXPECT_EQ(0, ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address)) << source;
  address.sin_port = htons(port);
  ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  EXPECT_EQ(0, ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address)) << source;
  return fd;
}

void HttpServerFixture::Reset(int fd) {
  const linger reset{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  ::close(fd);
  peers_.erase(std::remove(peers_.begin(), peers_.end(), fd), peers_.end());
}

void HttpServerFixture::RunClient(const std::function<void()>& client, std::chrono::milliseconds limit) {
  std::atomic<bool> done{false};
  std::thread thread([&] {
    client();
    done = true;
  });
  EXPECT_TRUE(PumpUntil([&] { return done.load(); }, limit)) << "the client did not finish";
  // Keep serving until it has: it may still wait for the server.
  while (!done) HandleThreadMessage(Clock::now() + 50ms);
  thread.join();
}

bool HttpServerFixture::PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const Deadline deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    HandleThreadMessage(std::min(deadline, Clock::now() + 50ms));
  }
  return true;
}

bool HttpServerFixture::HasLine(const std::string& line) const {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

}  // namespace vt::test
