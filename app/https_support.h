#pragma once

// HTTPS for the application: which certificate serves (the user's files, or
// one the program makes and keeps), what a request over plain HTTP gets
// while HTTPS serves, and the https addresses to show.
//
// The made certificate lives in TlsDirectory() as cert.pem and key.pem; the
// folder is the user's alone (0700) and so is the key (0600). It is made on
// first use and made again when it comes within kRenewBeforeSeconds of its
// end or lacks a name or address the server is reached by
// (sockets/tls_certificate.h).
//
// Threads: PlainHttpAnswer and HttpsLocation are pure (any thread); the
// rest runs on the main thread (it writes files).

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sockets/tls_session.h"
#include "sockets/winsock.h"

namespace vt {

struct TWebServerSettings;

// --- What plain HTTP gets ----------------------------------------------------

enum class TPlainHttpAnswer : std::uint8_t {
  kServe,           // answered as ever
  kRedirect,        // 308 to the https address
  kRefusePassword,  // 403 with a page that names the https address
};

struct TPlainHttpFacts {
  bool tls = false;               // the request came over TLS
  bool httpsServing = false;      // the TLS port is listened on
  bool redirect = false;          // RedirectToHTTPS
  bool passwordSet = false;       // a password protects the folder
  bool passwordOverHttp = false;  // AllowPasswordOverHTTP
  bool loopbackPeer = false;      // the peer is this computer
};

// Over TLS, or without HTTPS serving, every request is served as ever. A
// redirect asked for wins. Otherwise, while a password is set, another
// computer's plain request is refused (its password would cross the network
// readable) unless the user allowed it; this computer's is served.
TPlainHttpAnswer PlainHttpAnswer(const TPlainHttpFacts& facts);

// The https address of a request: "https://" + the host of the Host field
// (its port taken off; an IPv6 literal kept in brackets) or `fallbackHost`
// when the field is empty or no host, ":" + `port` unless 443, then
// `target` (path and query as the request line had them; "/" when empty).
std::string HttpsLocation(std::string_view hostField, std::string_view fallbackHost, std::uint16_t port,
                          std::string_view target);

// The request target of a request line ("GET /a?b HTTP/1.1" gives "/a?b"),
// as sent; the path of an absolute-form target ("http://h/a" gives "/a").
std::string_view TargetOfRequestLine(std::string_view line);

// --- The certificate ----------------------------------------------------------

// $XDG_DATA_HOME/veltrana/tls (default ~/.local/share/veltrana/tls).
std::string TlsDirectory();

// The names and addresses a made certificate must hold: this host's name,
// localhost, 127.0.0.1, ::1, and every address listened on (for an empty
// `listenHosts`, every interface address in `interfaces`).
void CertificateSubjects(const std::vector<std::string>& listenHosts,
                         const std::vector<TInterfaceAddress>& interfaces, const std::string& hostName,
                         std::vector<std::string>& dnsNames, std::vector<std::string>& ipAddresses);

// The made certificate's files in `directory`, made (or made again) when
// they are missing, unreadable, near their end or lacking a subject. The
// folder gets mode 0700 and the key 0600, even when they were there before.
// `note` tells what was done ("made", "made again: it ends soon"), empty
// when the files were kept. Raises EOSError or ETls.
void EnsureMadeCertificate(const std::string& directory, const std::vector<std::string>& dnsNames,
                           const std::vector<std::string>& ipAddresses, std::time_t now, std::string& note);

// The TLS context the settings ask for: their CertificateFile and KeyFile
// when either is given, else the made certificate (EnsureMadeCertificate in
// `directory`). Raises ETls, with words for the user, when it cannot serve.
std::shared_ptr<TTlsContext> LoadTlsContext(const TWebServerSettings& settings, const std::string& directory,
                                            const std::vector<std::string>& dnsNames,
                                            const std::vector<std::string>& ipAddresses, std::string& note);

// --print-certificate: the certificate the settings file's HTTPS serves
// (the made one made first when needed), its SHA-256 fingerprint, its
// public key's pin, names, addresses and validity, then its PEM text, to
// `out`. 0, or 1 with the reason on `err` when it cannot serve.
int RunPrintCertificateCommand(std::FILE* out, std::FILE* err);

// The https URLs of `httpUrls` (ServerUrls of the plain port): the scheme
// and the port replaced (":443" left out).
std::vector<std::string> HttpsUrlsOf(const std::vector<std::string>& httpUrls, std::uint16_t port);

}  // namespace vt
