#pragma once

// Helpers of the HTTP server tests: a TvtHTTPServer on 127.0.0.1 served by
// the test's main thread, clients on threads of their own, and a strict
// reader of raw HTTP answers.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "http/http_server.h"
#include "platform/log.h"

namespace vt::test {

using namespace std::chrono_literals;

// One HTTP answer as it arrived.
struct HttpAnswer {
  std::string status;  // the status line; empty when nothing (or no whole head) arrived
  std::vector<std::pair<std::string, std::string>> fields;
  std::string body;
  std::size_t size = 0;  // bytes of head and body
  // A chunked body (decoded into `body`) ended with its last chunk.
  bool last_chunk = false;

  // The first field of that name (any case); empty when there is none.
  std::string Field(const std::string& name) const;
  bool Has(const std::string& name) const;
  std::vector<std::string> Names() const;
};

// Reads one answer from a blocking socket: the head up to its empty line,
// then as many body bytes as Content-Length says, a chunked body up to its
// last chunk (decoded), or everything up to the end of the stream when there
// is neither. `head`: no body follows.
HttpAnswer ReadAnswer(int fd, bool head = false, std::chrono::milliseconds limit = 10s);

// True when the peer ends the stream within `limit`; bytes that arrive
// meanwhile are appended to `extra`.
bool ClosedByPeer(int fd, std::chrono::milliseconds limit = 10s, std::string* extra = nullptr);

// A 200 answer with a text body and a content type.
std::unique_ptr<ThttpResponse> TextAnswer(const std::string& body, const std::string& type = "text/plain");

// A server named "Veltrana" "1.0" on 127.0.0.1 and a free port. Its worker
// events count cycles; Answer (run on the worker) makes the answers. The
// test's thread is the main thread: it serves the main queue in PumpUntil
// and RunClient.
struct HttpServerFixture {
  HttpServerFixture();
  ~HttpServerFixture();

  void Start();
  // A blocking client socket connected to the server; closed by the fixture.
  int Connect();
  // The same from the loopback address `source` ("127.0.0.2": the server
  // sees another peer), with a receive buffer of `rcvbuf` bytes when given.
  int ConnectFrom(const std::string& source, int rcvbuf = 0);
  // Closes a socket of Connect or ConnectFrom with a reset.
  void Reset(int fd);
  // Runs `client` on a thread while this thread serves the main queue;
  // fails the test when it takes longer than `limit`.
  void RunClient(const std::function<void()>& client, std::chrono::milliseconds limit = 30s);
  // Serves the main queue until `done` holds; false after `limit`.
  bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s);
  // Log lines "<class> <text>" seen so far (the log runs on this thread).
  bool HasLine(const std::string& line) const;
  std::vector<std::string> lines;

  TLog log;
  TFinalServer<TvtHTTPServer> server;
  std::uint16_t port = 0;
  // Makes the answer of each request (worker thread); none: no answer.
  std::function<void(AhttpServerClient&)> Answer;
  // Runs in OnFreeResponse (worker thread).
  std::function<void(AhttpServerClient&)> OnFree;
  std::atomic<int> gets{0};
  std::atomic<int> frees{0};

 private:
  std::vector<int> peers_;
};

}  // namespace vt::test
