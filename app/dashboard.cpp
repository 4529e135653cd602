#include "app/dashboard.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <fstream>

#include "app/log_line.h"
#include "http/http_server.h"
#include "util/date_time.h"
#include "util/text.h"

namespace vt {

// --- Addresses --------------------------------------------------------------

namespace {

bool IsLoopbackText(const std::string& address) {
  if (TextEqualFolded(address, "localhost")) return true;
  in_addr v4{};
  if (::inet_pton(AF_INET, address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return ::inet_pton(AF_INET6, address.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

// The loopback addresses "localhost" stands for in a browser; another
// loopback one (127.0.0.2) must be named.
bool IsLocalhost(const std::string& address) {
  return TextEqualFolded(address, "localhost") || address == "127.0.0.1" || address == "::1";
}

// An address a browser elsewhere can use in a URL: no loopback, no
// link-local IPv6 address (it would need its interface named).
bool IsReachableIPv6(const std::string& address) {
  in6_addr v6{};
  return ::inet_pton(AF_INET6, address.c_str(), &v6) == 1 && !IN6_IS_ADDR_LOOPBACK(&v6) &&
         !IN6_IS_ADDR_LINKLOCAL(&v6) && !IN6_IS_ADDR_V4MAPPED(&v6) && !IN6_IS_ADDR_UNSPECIFIED(&v6);
}

}  // namespace

std::vector<std::string> ServerUrls(const std::string& listen_address, const std::string& port,
                                    const std::vector<TInterfaceAddress>& interfaces) {
  const std::string suffix = port.empty() || port == "80" ? std::string() : ":" + port;
  const auto url = [&](const std::string& host, bool ipv6) {
    return "http://" + (ipv6 ? "[" + host + "]" : host) + suffix + "/";
  };
  std::vector<std::string> urls;
  const auto add = [&](const std::string& text) {
    if (std::find(urls.begin(), urls.end(), text) == urls.end()) urls.push_back(text);
  };
  const bool every_v4 = listen_address.empty() || listen_address == "0.0.0.0";
  const bool every = listen_address == "::";
  if (!every_v4 && !every) {
    if (IsLocalhost(listen_address)) {
      add(url("localhost", false));
    } else {
      add(url(listen_address, listen_address.find(':') != std::string::npos));
    }
    return urls;
  }
  add(url("localhost", false));
  for (const bool ipv6 : {false, true}) {
    if (ipv6 && !every) break;
    for (const TInterfaceAddress& entry : interfaces) {
      const std::string address = entry.Address.HostText();
      if ((entry.Address.Family() == AF_INET6) != ipv6 || IsLoopbackText(address)) continue;
      if (ipv6 && !IsReachableIPv6(address)) continue;
      add(url(address, ipv6));
    }
  }
  return urls;
}

namespace {

// The host of an http or https URL as written in it, brackets taken off.
std::string UrlHost(const std::string& url) {
  std::size_t at = url.find("://");
  at = at == std::string::npos ? 0 : at + 3;
  if (at < url.size() && url[at] == '[') {
    const std::size_t end = url.find(']', at);
    return end == std::string::npos ? std::string() : url.substr(at + 1, end - at - 1);
  }
  const std::size_t end = url.find_first_of(":/", at);
  return url.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

}  // namespace

std::string QrCodeUrl(const std::vector<std::string>& urls, const std::string& selected,
                      const std::string& https_port) {
  std::string chosen;
  if (!selected.empty() && !IsLoopbackText(UrlHost(selected))) {
    chosen = selected;
  } else {
    for (const std::string& url : urls) {
      if (IsLoopbackText(UrlHost(url))) continue;
      chosen = url;
      break;
    }
  }
  if (chosen.empty() || https_port.empty()) return chosen;
  const std::string host = UrlHost(chosen);
  const bool ipv6 = host.find(':') != std::string::npos;
  return "https://" + (ipv6 ? "[" + host + "]" : host) + (https_port == "443" ? "" : ":" + https_port) + "/";
}

// --- Live connections ---------------------------------------------------------

std::string ConnectionStateText(TConnectionState state, bool throttled) {
  switch (state) {
    case TConnectionState::Connecting:
      return "connecting";
    case TConnectionState::Waiting:
      return "waiting for a request";
    case TConnectionState::Reading:
      return "reading a request";
    case TConnectionState::Preparing:
      return "preparing the answer";
    case TConnectionState::RunningProgram:
      return "running a program";
    case TConnectionState::Sending:
      return throttled ? "throttled" : "sending";
  }
  return std::string();
}

std::string ProgressText(const TConnectionRow& row) {
  if (row.Received >= 0 && row.State != TConnectionState::Sending) {
    std::string text = "receiving " + ByteCountToText(false, row.Received);
    if (row.BodySize >= 0) text += " of " + ByteCountToText(false, row.BodySize);
    return text;
  }
  if (row.State != TConnectionState::Sending) return "-";
  std::string text = ByteCountToText(false, row.Sent);
  if (row.Size >= 0) text += " of " + ByteCountToText(false, row.Size);
  return text;
}

std::string SpeedText(std::int64_t bytes_per_second) {
  return bytes_per_second > 0 ? ByteCountToText(false, bytes_per_second) + "/s" : "-";
}

std::string RequestText(const std::string& request_line) {
  std::string text = request_line;
  const std::size_t blank = text.rfind(' ');
  if (blank != std::string::npos && text.compare(blank + 1, 5, "HTTP/") == 0) text.resize(blank);
  return EscapeLogText(text);
}

void TThroughputHistory::Add(std::int64_t now_ms, std::int64_t bytes, std::int64_t requests) {
  const std::int64_t second = now_ms / 1000;
  if (buckets_.empty() || buckets_.back().first < second) buckets_.emplace_back(second, TThroughputBucket{});
  // A clock never goes back; should a caller's do, its counts join the
  // newest second rather than rewrite the past.
  TThroughputBucket& bucket = buckets_.back().second;
  bucket.Bytes += std::max<std::int64_t>(bytes, 0);
  bucket.Requests += std::max<std::int64_t>(requests, 0);
  while (!buckets_.empty() && buckets_.front().first < second - static_cast<std::int64_t>(seconds_))
    buckets_.pop_front();
}

std::vector<TThroughputBucket> TThroughputHistory::Buckets(std::int64_t now_ms) const {
  const std::int64_t first = now_ms / 1000 - static_cast<std::int64_t>(seconds_);
  std::vector<TThroughputBucket> result(seconds_);
  for (const auto& [second, bucket] : buckets_) {
    const std::int64_t at = second - first;
    if (at >= 0 && at < static_cast<std::int64_t>(seconds_)) result[static_cast<std::size_t>(at)] = bucket;
  }
  return result;
}

void TConnectionSampler::Sample(AhttpServer& server, std::int64_t now_ms) {
  // A look soon after the last one (SIGUSR1 between two ticks) shows the
  // states as they are now, but a speed measured over a few milliseconds
  // would be noise: the speeds stay, and the bytes wait for the next look.
  const bool measure = now_ms - last_ms_ >= kMeasureMs;
  std::map<std::uint32_t, std::int64_t> speeds;
  if (!measure)
    for (const TConnectionRow& row : rows_) speeds[row.Id] = row.BytesPerSecond;
  std::map<std::uint32_t, TSeen> seen;
  rows_.clear();
  std::int64_t bytes = left_bytes_;
  const bool throttled = server.ThrottleClientWrite();
  for (std::int32_t i = 0; i < server.ClientCount(); ++i) {
    TTCPServerClient& client = *server.Client(i);
    const TConnectionFigures& figures = client.Figures;
    TConnectionRow row;
    row.Id = figures.Id;
    if (const auto* http = dynamic_cast<const AhttpServerClient*>(&client))
      row.Address = http->PeerAddressText();
    row.State = figures.State();
    // Between requests the figures say "waiting" until the next request
    // line is whole; its first byte already ends the idle time.
    if (row.State == TConnectionState::Waiting && client.IdleSince() == 0)
      row.State = TConnectionState::Reading;
    row.Throttled = throttled;
    if (row.State != TConnectionState::Waiting) row.Request = RequestText(figures.Request());
    row.Sent = figures.ResponseSent();
    row.Size = figures.ResponseSize();
    row.Received = figures.BodyReceived();
    row.BodySize = figures.BodySize();
    row.OpenMs = std::max<std::int64_t>(now_ms - figures.OpenedMs, 0);
    const std::int64_t sent = figures.BytesSent.load(std::memory_order_relaxed);
    const auto before = seen_.find(row.Id);
    const std::int64_t delta =
        std::max<std::int64_t>(sent - (before != seen_.end() ? before->second.sent : 0), 0);
    if (measure) {
      row.BytesPerSecond = delta * 1000 / (now_ms - last_ms_);
      bytes += delta;
      seen[row.Id] = TSeen{sent};
    } else {
      row.BytesPerSecond = speeds[row.Id];
    }
    rows_.push_back(std::move(row));
  }
  if (!measure) return;
  left_bytes_ = 0;
  seen_ = std::move(seen);
  const std::int64_t requests = server.RequestCount.load(std::memory_order_relaxed);
  history_.Add(now_ms, bytes, requests - last_requests_);
  last_requests_ = requests;
  last_ms_ = now_ms;
}

std::int64_t BytesInFlight(AhttpServer& server) {
  std::int64_t bytes = 0;
  for (std::int32_t i = 0; i < server.ClientCount(); ++i) {
    const TConnectionFigures& figures = server.Client(i)->Figures;
    if (figures.State() == TConnectionState::Sending) bytes += figures.ResponseSent();
  }
  return bytes;
}

void TConnectionSampler::ClientRemoved(TTCPServerClient& client) {
  const std::int64_t sent = client.Figures.BytesSent.load(std::memory_order_relaxed);
  const auto before = seen_.find(client.Figures.Id);
  left_bytes_ += std::max<std::int64_t>(sent - (before != seen_.end() ? before->second.sent : 0), 0);
  if (before != seen_.end()) seen_.erase(before);
}

void TConnectionSampler::Reset(std::int64_t requests, std::int64_t now_ms) {
  rows_.clear();
  seen_.clear();
  left_bytes_ = 0;
  last_requests_ = requests;
  last_ms_ = now_ms;
}

std::string ConnectionTableText(const std::vector<TConnectionRow>& rows) {
  if (rows.empty()) return "No connections\n";
  std::vector<std::vector<std::string>> table{{"Client", "State", "Request", "Sent", "Speed", "Open"}};
  for (const TConnectionRow& row : rows) {
    std::string request = row.Request;
    if (request.size() > 48) request = request.substr(0, 45) + "...";
    table.push_back({row.Address, ConnectionStateText(row.State, row.Throttled),
                     request.empty() ? "-" : request, ProgressText(row), SpeedText(row.BytesPerSecond),
                     DurationToText(static_cast<double>(row.OpenMs / 1000) / 86400.0)});
  }
  std::vector<std::size_t> widths(table[0].size(), 0);
  for (const auto& line : table)
    for (std::size_t i = 0; i < line.size(); ++i) widths[i] = std::max(widths[i], line[i].size());
  std::string text;
  for (const auto& line : table) {
    std::string out;
    for (std::size_t i = 0; i < line.size(); ++i) {
      out += line[i];
      if (i + 1 < line.size()) out += std::string(widths[i] - line[i].size() + 2, ' ');
    }
    text += out + "\n";
  }
  return text;
}

// --- Logs ---------------------------------------------------------------------

std::vector<std::string> ReadLastLines(const std::string& path, std::size_t max_lines,
                                       std::size_t max_bytes) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in || max_lines == 0) return lines;
  const std::streamoff size = in.tellg();
  // One byte more than asked for, when there is one: it tells whether the
  // first line read is whole (it follows a line end) or only the end of one.
  const std::streamoff start = std::max<std::streamoff>(size - static_cast<std::streamoff>(max_bytes) - 1, 0);
  std::string text(static_cast<std::size_t>(size - start), '\0');
  in.seekg(start);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  std::size_t at = 0;
  if (start > 0 && !text.empty()) at = std::min(text.find('\n'), text.size() - 1) + 1;
  std::deque<std::string> kept;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    kept.push_back(std::move(line));
    if (kept.size() > max_lines) kept.pop_front();
    at = end + 1;
  }
  lines.assign(kept.begin(), kept.end());
  return lines;
}

}  // namespace vt
