#include "app/https_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "app/listen_on.h"
#include "app/settings.h"
#include "app/settings_environment.h"
#include "platform/atomic_file.h"
#include "platform/ini_file.h"
#include "sockets/tls_certificate.h"
#include "util/exception.h"

namespace vt {

TPlainHttpAnswer PlainHttpAnswer(const TPlainHttpFacts& facts) {
  if (facts.tls || !facts.httpsServing) return TPlainHttpAnswer::kServe;
  if (facts.redirect) return TPlainHttpAnswer::kRedirect;
  if (facts.passwordSet && !facts.passwordOverHttp && !facts.loopbackPeer)
    return TPlainHttpAnswer::kRefusePassword;
  return TPlainHttpAnswer::kServe;
}

namespace {

// The host of a Host field without its port; empty when it is none (a
// field with a path, a blank, or an unclosed bracket).
std::string_view HostOfField(std::string_view field) {
  if (field.empty() || field.find_first_of("/ \t\\@?#") != std::string_view::npos) return {};
  if (field.front() == '[') {
    const std::size_t close = field.find(']');
    if (close == std::string_view::npos) return {};
    const std::string_view rest = field.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return {};
    return field.substr(0, close + 1);
  }
  const std::size_t colon = field.find(':');
  // Two colons and no brackets: an IPv6 address a client forgot to bracket.
  if (colon != std::string_view::npos && field.find(':', colon + 1) != std::string_view::npos) return {};
  return field.substr(0, colon);
}

std::string Bracketed(std::string_view host) {
  if (host.find(':') != std::string_view::npos && host.front() != '[') return "[" + std::string(host) + "]";
  return std::string(host);
}

}  // namespace

std::string HttpsLocation(std::string_view hostField, std::string_view fallbackHost, std::uint16_t port,
                          std::string_view target) {
  std::string_view host = HostOfField(hostField);
  if (host.empty()) host = fallbackHost;
  std::string location = "https://" + Bracketed(host);
  if (port != 443) location += ":" + std::to_string(port);
  if (target.empty() || target.front() != '/') {
    location += '/';
  } else {
    location += target;
  }
  return location;
}

std::string_view TargetOfRequestLine(std::string_view line) {
  const std::size_t start = line.find(' ');
  if (start == std::string_view::npos) return {};
  std::string_view target = line.substr(start + 1);
  target = target.substr(0, target.find(' '));
  const std::size_t scheme = target.find("://");
  if (!target.empty() && target.front() != '/' && scheme != std::string_view::npos) {
    const std::size_t path = target.find('/', scheme + 3);
    target = path == std::string_view::npos ? std::string_view() : target.substr(path);
  }
  return target;
}

std::string TlsDirectory() {
  // An unset or relative value is to be ignored (XDG).
  const char* set = std::getenv("XDG_DATA_HOME");
  std::string data = set && set[0] == '/' ? set : "";
  if (data.empty()) data = HomeDirectory() + "/.local/share";
  return data + "/veltrana/tls";
}

void CertificateSubjects(const std::vector<std::string>& listenHosts,
                         const std::vector<TInterfaceAddress>& interfaces, const std::string& hostName,
                         std::vector<std::string>& dnsNames, std::vector<std::string>& ipAddresses) {
  dnsNames.clear();
  ipAddresses = {"127.0.0.1", "::1"};
  if (!hostName.empty() && hostName != "localhost") dnsNames.push_back(hostName);
  dnsNames.push_back("localhost");
  const auto add = [&](const std::string& address) {
    if (!address.empty() && std::find(ipAddresses.begin(), ipAddresses.end(), address) == ipAddresses.end())
      ipAddresses.push_back(address);
  };
  bool every = listenHosts.empty();
  for (const std::string& host : listenHosts) {
    TSocketAddress parsed;
    if (!ParseSocketAddress(host, 0, parsed)) {
      // A name: the certificate names it.
      if (host != "localhost" && std::find(dnsNames.begin(), dnsNames.end(), host) == dnsNames.end())
        dnsNames.push_back(host);
    } else if (parsed.IsWildcard()) {
      every = true;
    } else {
      add(parsed.HostText());
    }
  }
  if (every) {
    for (const TInterfaceAddress& found : interfaces) add(found.Address.HostText());
  }
}

namespace {

// Writes `content` to `path` through a temporary file of mode `mode`, then
// renames it into place: the file never exists with a wider mode, nor half
// written.
void WritePrivateFile(const std::string& path, const std::string& content, mode_t mode) {
  const std::string temporary = path + ".new";
  ::unlink(temporary.c_str());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) throw EOSError(errno, "Cannot write " + temporary + ": " + std::strerror(errno));
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t wrote = ::write(fd, content.data() + done, content.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      const int error = errno;
      ::close(fd);
      ::unlink(temporary.c_str());
      throw EOSError(error, "Cannot write " + temporary + ": " + std::strerror(error));
    }
    done += static_cast<std::size_t>(wrote);
  }
  // The umask may have narrowed it further; never wider than asked.
  ::fchmod(fd, mode);
  ::fsync(fd);
  ::close(fd);
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    throw EOSError(error, "Cannot write " + path + ": " + std::strerror(error));
  }
}

}  // namespace

void EnsureMadeCertificate(const std::string& directory, const std::vector<std::string>& dnsNames,
                           const std::vector<std::string>& ipAddresses, std::time_t now, std::string& note) {
  note.clear();
  ForceDirectories(directory, 0700);
  ::chmod(directory.c_str(), 0700);
  const std::string certificate_file = directory + "/cert.pem";
  const std::string key_file = directory + "/key.pem";
  std::string pem;
  std::string key;
  std::string reason;
  if (ReadFileContent(certificate_file, pem) != 0 || ReadFileContent(key_file, key) != 0 || key.empty()) {
    reason = "there was none";
  } else if (const auto facts = ReadCertificateFacts(pem)) {
    reason = RenewalReason(*facts, dnsNames, ipAddresses, now);
  } else {
    reason = "the one there cannot be read";
  }
  if (reason.empty()) {
    ::chmod(key_file.c_str(), 0600);
    return;
  }
  const TPemPair made = MakeSelfSignedCertificate(dnsNames, ipAddresses, now);
  // The key first: a certificate never names a key that is not there.
  WritePrivateFile(key_file, made.Key, 0600);
  WritePrivateFile(certificate_file, made.Certificate, 0644);
  note = "Made a new certificate (" + reason + ")";
}

std::shared_ptr<TTlsContext> LoadTlsContext(const TWebServerSettings& settings, const std::string& directory,
                                            const std::vector<std::string>& dnsNames,
                                            const std::vector<std::string>& ipAddresses, std::string& note) {
  note.clear();
  if (!settings.CertificateFile.empty() || !settings.KeyFile.empty()) {
    // Both are needed: a chain without its key cannot serve.
    const std::string key = settings.KeyFile.empty() ? settings.CertificateFile : settings.KeyFile;
    return std::make_shared<TTlsContext>(settings.CertificateFile, key);
  }
  try {
    EnsureMadeCertificate(directory, dnsNames, ipAddresses, std::time(nullptr), note);
  } catch (const EOSError& error) {
    throw ETls("The certificate cannot be kept in " + directory + ": " + error.Message());
  }
  return std::make_shared<TTlsContext>(directory + "/cert.pem", directory + "/key.pem");
}

std::vector<std::string> HttpsUrlsOf(const std::vector<std::string>& httpUrls, std::uint16_t port) {
  std::vector<std::string> urls;
  for (const std::string& url : httpUrls) {
    constexpr std::string_view kScheme = "http://";
    if (url.compare(0, kScheme.size(), kScheme) != 0) continue;
    const std::size_t host_start = kScheme.size();
    std::size_t host_end = url.find('/', host_start);
    if (host_end == std::string::npos) host_end = url.size();
    std::string host = url.substr(host_start, host_end - host_start);
    // The plain port off the host (after a bracketed address's bracket).
    const std::size_t bracket = host.rfind(']');
    const std::size_t colon = host.rfind(':');
    if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) host.resize(colon);
    std::string https = "https://" + host;
    if (port != 443) https += ":" + std::to_string(port);
    https += url.substr(host_end);
    if (std::find(urls.begin(), urls.end(), https) == urls.end()) urls.push_back(https);
  }
  return urls;
}

int RunPrintCertificateCommand(std::FILE* out, std::FILE* err) {
  const TIniFile ini(kSettingsFileName);
  TWebServerSettings settings;
  settings.LoadSettings(ini, kSettingsSection);
  std::string host;
  try {
    host = LocalHostName();
  } catch (const Exception&) {
    // No name: localhost and the addresses.
  }
  std::vector<std::string> dns_names;
  std::vector<std::string> ip_addresses;
  CertificateSubjects(ListenHostsOf(settings.ListenOn), LocalInterfaceAddresses(), host, dns_names,
                      ip_addresses);
  const bool given = !settings.CertificateFile.empty() || !settings.KeyFile.empty();
  const std::string file = given ? settings.CertificateFile : TlsDirectory() + "/cert.pem";
  try {
    std::string note;
    const std::shared_ptr<TTlsContext> context =
        LoadTlsContext(settings, TlsDirectory(), dns_names, ip_addresses, note);
    if (!note.empty()) std::fprintf(err, "%s in %s\n", note.c_str(), TlsDirectory().c_str());
    std::string pem;
    ReadFileContent(file, pem);
    std::fprintf(out, "Certificate: %s%s\n", file.c_str(), given ? "" : " (made by this program)");
    std::fprintf(out, "SHA-256 fingerprint: %s\n", context->Fingerprint().c_str());
    std::fprintf(out, "Public key pin (SHA-256, base64): %s\n", context->PublicKeyPin().c_str());
    if (const auto facts = ReadCertificateFacts(pem)) {
      std::string names;
      for (const std::string& name : facts->DnsNames) names += " " + name;
      for (const std::string& address : facts->IpAddresses) names += " " + address;
      std::fprintf(out, "Names:%s\n", names.c_str());
      char until[32] = "";
      const std::tm end = *std::gmtime(&facts->NotAfter);
      std::strftime(until, sizeof until, "%Y-%m-%d %H:%M UTC", &end);
      std::fprintf(out, "Valid until: %s\n", until);
    }
    std::fprintf(out, "%s", pem.c_str());
    return 0;
  } catch (const Exception& error) {
    std::fprintf(err, "%s\n", error.Message().c_str());
    return 1;
  }
}

}  // namespace vt
