#include "app/listen_on.h"

#include <algorithm>

#include "util/byte_set.h"
#include "util/text.h"

namespace vt {

namespace {

std::string Trimmed(const std::string& text) { return TrimSet(text, ByteSet::Whitespace()); }

}  // namespace

std::vector<std::string> ListenHostsOf(const std::string& listen_on) {
  std::string value = Trimmed(listen_on);
  if (value.empty() || TextEqualFolded(value, kListenOnEvery)) return {};
  if (TextEqualFolded(value, kListenOnLocal)) return {"127.0.0.1", "::1"};
  if (value.size() >= 2 && value.front() == '[' && value.back() == ']')
    value = value.substr(1, value.size() - 2);
  return {value};
}

std::string ListenOnText(const std::string& listen_on) {
  const std::vector<std::string> hosts = ListenHostsOf(listen_on);
  if (hosts.empty()) return "every address";
  if (hosts.size() > 1) return "this computer only";
  return hosts.front() + " only";
}

std::string AudienceOf(const std::string& listen_on) {
  const std::vector<std::string> hosts = ListenHostsOf(listen_on);
  if (hosts.empty()) return "Anyone who can reach this computer";
  TSocketAddress address;
  if (hosts.size() > 1 || (ParseSocketAddress(hosts.front(), 0, address) && address.IsLoopback()))
    return "Only this computer";
  return "Anyone who can reach " + hosts.front();
}

bool OnlyThisComputer(const std::vector<TSocketAddress>& listening) {
  return !listening.empty() &&
         std::all_of(listening.begin(), listening.end(),
                     [](const TSocketAddress& address) { return address.IsLoopback(); });
}

}  // namespace vt
