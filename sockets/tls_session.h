#pragma once

// TLS on a connection: the server's settings for every handshake
// (TTlsContext) and one connection's encryption (TTlsSession).
//
// The session sits below the connection socket (ATCPClientSocket): the
// socket reads plaintext into its buffer through Receive and sends plaintext
// through Send, so everything above the socket (the stream, the HTTP
// conversation) is the same with or without TLS. The session reaches the
// system through SocketRecv and SocketSend (sockets/async_select.h), so the
// socket's notifications keep their rules. Its writes never block and never
// make OpenSSL ask for a retry: ciphertext the system does not take at once
// waits in the session's own backlog (at most one piece of kSendPiece bytes
// and its framing), and the socket holds back further plaintext until Flush
// has sent it.
//
// What a handshake accepts: TLS 1.2 and 1.3 only; for 1.2 the ECDHE and DHE
// AEAD suites, the server's order first; no compression, no renegotiation;
// ALPN http/1.1; session tickets whose keys rotate (kTicketKeyLifetime), the
// previous key still opening the tickets it made.
//
// Threads: a context is made on one thread and then shared by every
// connection (OpenSSL's own locking, and the ticket keys' mutex). A session
// belongs to its connection's thread.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "sockets/winsock.h"
#include "util/exception.h"

struct ssl_st;
struct ssl_ctx_st;

namespace vt {

// A certificate or key that cannot serve: the message says which file and
// why, in words for the user.
VT_EXCEPTION_CLASS(ETls, Exception);

class TTlsContext {
 public:
  // Loads the certificate chain (PEM, leaf first) and its private key (PEM).
  // Raises ETls when a file cannot be read or parsed, when the key does not
  // belong to the certificate, or when the certificate has expired or is
  // not valid yet.
  TTlsContext(const std::string& certificateFile, const std::string& keyFile);
  ~TTlsContext();
  TTlsContext(const TTlsContext&) = delete;
  TTlsContext& operator=(const TTlsContext&) = delete;

  ssl_ctx_st* Handle() const { return ctx_; }
  // The leaf certificate's SHA-256 fingerprint, "AB:CD:...".
  const std::string& Fingerprint() const { return fingerprint_; }
  // The SHA-256 of the leaf's public key, base64 (what a browser pins).
  const std::string& PublicKeyPin() const { return key_pin_; }

  // How long a ticket key encrypts new tickets; it opens tickets for as
  // long again, so a ticket is good for at most twice this.
  static constexpr std::chrono::hours kTicketKeyLifetime{12};

 private:
  struct TicketKeys;
  ssl_ctx_st* ctx_ = nullptr;
  std::unique_ptr<TicketKeys> ticket_keys_;
  std::string fingerprint_;
  std::string key_pin_;
};

class TTlsSession {
 public:
  // The server side of a connection on `socket` (not owned: the socket's
  // owner closes it after the session has gone).
  TTlsSession(const TTlsContext& context, TSocket socket);
  ~TTlsSession();
  TTlsSession(const TTlsSession&) = delete;
  TTlsSession& operator=(const TTlsSession&) = delete;

  // The most plaintext one Send encrypts.
  static constexpr std::size_t kSendPiece = 64 * 1024;

  enum class THandshake : std::uint8_t { kDone, kWaiting, kFailed };
  // Drives the handshake as far as the bytes that have arrived allow.
  // kWaiting: it needs more of the peer's bytes (wait for readability).
  THandshake Handshake();
  bool HandshakeDone() const;
  // The connection cannot go on: a failed handshake, a record that does not
  // decrypt, a write the system refused for good.
  bool Failed() const { return failed_; }
  // Why it failed, for the server log: "not TLS", "no protocol version in
  // common" and the like.
  const std::string& FailureText() const { return failure_; }
  // The peer's close_notify has arrived: no more plaintext will.
  bool CloseReceived() const { return close_received_; }

  // Up to `count` bytes of plaintext, as far as the bytes that arrived
  // allow (the handshake first); 0 when none are there now, or after
  // Failed or CloseReceived.
  std::int32_t Receive(char* buffer, std::int32_t count);
  // Encrypts and sends up to kSendPiece bytes, all of them taken: the count
  // taken; -1 with errno EAGAIN when earlier ciphertext still waits for the
  // system (nothing taken), -1 with another errno when the connection
  // failed.
  ssize_t Send(const char* buffer, std::size_t count);
  // Sends the waiting ciphertext: true once none is left; false with
  // `error` (a WinSock code, kWsaEWouldBlock while the system takes no
  // more).
  bool Flush(int& error);
  // Ciphertext made but not yet taken by the system.
  std::size_t Backlog() const { return backlog_.size() - backlog_sent_; }
  // Queues the close_notify alert (once); Flush sends it.
  void SendCloseNotify();
  // The protocol agreed ("TLSv1.3") and the cipher, once the handshake is
  // done.
  std::string Version() const;
  std::string Cipher() const;

 private:
  friend struct TTlsBio;
  // The BIO's write: sends what the system takes, keeps the rest.
  int WriteOut(const char* data, int length);
  int ReadIn(char* data, int length);
  // After an OpenSSL call returned `result`: records failure and its text.
  void NoteError(int result);

  ssl_st* ssl_ = nullptr;
  TSocket socket_;
  std::string backlog_;
  std::size_t backlog_sent_ = 0;
  int send_errno_ = 0;
  bool failed_ = false;
  bool close_received_ = false;
  bool close_sent_ = false;
  // The last read of the socket brought fewer bytes than asked for: the
  // system had no more then.
  bool last_read_short_ = false;
  std::string failure_;
};

}  // namespace vt
