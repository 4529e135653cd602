#pragma once

// What the sharing dashboard shows, without any window: the addresses that
// reach the server, the table of live connections, the throughput of the
// last minutes, and the tails of the logs. The Qt window draws these; the
// headless program prints them.
//
// Threads: the functions are pure or read the system (any thread);
// TConnectionSampler runs on the main thread, which reads the figures the
// workers keep (tcpserver/connection_figures.h) without ever making them
// wait.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "sockets/winsock.h"
#include "tcpserver/connection_figures.h"

namespace vt {

class AhttpServer;
class TTCPServerClient;

// --- Addresses --------------------------------------------------------------

// The URLs that reach a server listening on `listen_address` at `port`,
// from the interfaces' addresses (LocalInterfaceAddresses: those that are
// up):
// - "" or "0.0.0.0" (every IPv4 address): http://localhost first, then each
//   IPv4 address that is no loopback;
// - "::" (every address, IPv4 and IPv6): the same, then each such IPv6
//   address in brackets, except link-local ones (fe80::/10, which a URL
//   cannot name without its interface);
// - 127.0.0.1, ::1 or "localhost": http://localhost only;
// - any other address (127.0.0.2 too): that address alone.
// Port 80 is left out of the URLs; an address found twice is listed once.
std::vector<std::string> ServerUrls(const std::string& listen_address, const std::string& port,
                                    const std::vector<TInterfaceAddress>& interfaces);

// The URL a QR code shows for the one chosen among `urls`: never a
// loopback address (on a phone, "localhost" is the phone): the chosen URL,
// unless it is one, else the first of `urls` that is not; empty when every
// URL is one (the server listens for this computer only). With
// `https_port` (HTTPS is on), the https address of the same host on that
// port (443 left out).
std::string QrCodeUrl(const std::vector<std::string>& urls, const std::string& selected,
                      const std::string& https_port);

// --- Live connections ---------------------------------------------------------

// One line of the connections table.
struct TConnectionRow {
  std::uint32_t Id = 0;
  std::string Address;  // the client's address
  TConnectionState State = TConnectionState::Connecting;
  bool Throttled = false;           // sending under the server's send limit
  std::string Request;              // the request in progress ("GET /a.iso"), made printable
  std::int64_t Sent = 0;            // bytes of the answer sent so far
  std::int64_t Size = -1;           // the answer's size, -1 when not known
  std::int64_t Received = -1;       // bytes of a request body received so far, -1 when none is
  std::int64_t BodySize = -1;       // that body's size, -1 when not known
  std::int64_t BytesPerSecond = 0;  // since the last look
  std::int64_t OpenMs = 0;          // how long the connection has been open
};

// "waiting for a request", "reading a request", "preparing the answer",
// "running a program", "sending", "throttled".
std::string ConnectionStateText(TConnectionState state, bool throttled);
// "1.5 Mb of 10 Mb", "300 bytes", "receiving 3.1 Mb of 20 Mb" while a
// body (an upload) comes in, "-" otherwise.
std::string ProgressText(const TConnectionRow& row);
// "100 Kb/s", "-" for nothing.
std::string SpeedText(std::int64_t bytes_per_second);
// The request line as shown: its version left out ("GET /a.iso").
std::string RequestText(const std::string& request_line);

// Bytes and requests of one second.
struct TThroughputBucket {
  std::int64_t Bytes = 0;
  std::int64_t Requests = 0;
};

// The throughput of the last `Seconds` seconds, one bucket a second.
class TThroughputHistory {
 public:
  explicit TThroughputHistory(std::size_t seconds) : seconds_(seconds) {}

  std::size_t Seconds() const { return seconds_; }
  // Counts `bytes` and `requests` into the second of `now_ms` (milliseconds
  // of a steady clock); seconds without any stay empty.
  void Add(std::int64_t now_ms, std::int64_t bytes, std::int64_t requests);
  // The complete seconds before the one of `now_ms`, oldest first: always
  // Seconds() buckets, empty where nothing was counted.
  std::vector<TThroughputBucket> Buckets(std::int64_t now_ms) const;
  void Clear() { buckets_.clear(); }

 private:
  std::size_t seconds_;
  // Seconds (now_ms / 1000) and their counts, oldest first, at most
  // seconds_ + 1 of them.
  std::deque<std::pair<std::int64_t, TThroughputBucket>> buckets_;
};

// The bytes of the answers being sent now, so far: what the server's
// DataServed (which counts an answer when it ends) does not hold yet. Main
// thread (the list of clients is its own).
std::int64_t BytesInFlight(AhttpServer& server);

// Looks at the server's connections from time to time (main thread): their
// rows, each connection's speed since the previous look, and the bytes and
// requests of that time into the history.
class TConnectionSampler {
 public:
  // Five minutes of throughput.
  static constexpr std::size_t kHistorySeconds = 300;
  // The shortest time a speed is measured over (milliseconds).
  static constexpr std::int64_t kMeasureMs = 250;

  // Takes a look at every listed client of `server` at `now_ms` (the
  // steady clock's milliseconds, IdleClockMs).
  void Sample(AhttpServer& server, std::int64_t now_ms);
  // A client leaves the list (main thread, before it is freed): the bytes
  // it sent since the last look still count.
  void ClientRemoved(TTCPServerClient& client);
  // Forgets the connections (the server starts or stops at `now_ms`);
  // requests count from the server's count `requests` on. The history
  // stays.
  void Reset(std::int64_t requests, std::int64_t now_ms);

  const std::vector<TConnectionRow>& Rows() const { return rows_; }
  const TThroughputHistory& History() const { return history_; }

 private:
  struct TSeen {
    std::int64_t sent = 0;
  };
  std::vector<TConnectionRow> rows_;
  std::map<std::uint32_t, TSeen> seen_;
  TThroughputHistory history_{kHistorySeconds};
  std::int64_t left_bytes_ = 0;  // sent by clients that left since the last look
  std::int64_t last_ms_ = 0;
  std::int64_t last_requests_ = 0;
};

// The table as text, one connection a line under a heading, for standard
// error; "No connections" without any.
std::string ConnectionTableText(const std::vector<TConnectionRow>& rows);

// --- Logs ---------------------------------------------------------------------

// The last `max_lines` lines of the file `path` (read from its last
// `max_bytes` bytes at most; line ends "\r\n" or "\n" dropped); empty when
// it cannot be read.
std::vector<std::string> ReadLastLines(const std::string& path, std::size_t max_lines,
                                       std::size_t max_bytes = 128 * 1024);

}  // namespace vt
