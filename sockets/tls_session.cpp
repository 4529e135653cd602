#include "sockets/tls_session.h"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "sockets/async_select.h"

namespace vt {

namespace {

// The TLS 1.2 suites, in the server's order of preference: forward secrecy
// and authenticated encryption only. TLS 1.3 keeps OpenSSL's own three.
constexpr const char* kCipherList =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
    "DHE-RSA-AES128-GCM-SHA256:DHE-RSA-AES256-GCM-SHA384:DHE-RSA-CHACHA20-POLY1305";
constexpr const char* kGroups = "X25519:P-256:P-384";

// ALPN in its wire form: one protocol, length first.
constexpr unsigned char kAlpnHttp11[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};

// OpenSSL's last error as words, for a message to the user.
std::string OpenSslReason() {
  const unsigned long code = ERR_peek_last_error();
  ERR_clear_error();
  if (code == 0) return "unknown error";
  const char* reason = ERR_reason_error_string(code);
  return reason ? reason : "unknown error";
}

std::string Hex(const unsigned char* bytes, unsigned length) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned i = 0; i < length; ++i) {
    if (i > 0) text += ':';
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

// A file the user named: readable, or a message that says why not.
void RequireReadable(const std::string& what, const std::string& file) {
  if (file.empty()) throw ETls("No " + what + " file given");
  std::FILE* opened = std::fopen(file.c_str(), "rb");
  if (!opened) throw ETls("The " + what + " file " + file + " cannot be read: " + std::strerror(errno));
  std::fclose(opened);
}

int SelectAlpn(SSL*, const unsigned char** out, unsigned char* outlen, const unsigned char* in,
               unsigned int inlen, void*) {
  unsigned char* selected = nullptr;
  if (SSL_select_next_proto(&selected, outlen, kAlpnHttp11, sizeof kAlpnHttp11, in, inlen) !=
      OPENSSL_NPN_NEGOTIATED)
    return SSL_TLSEXT_ERR_ALERT_FATAL;
  *out = selected;
  return SSL_TLSEXT_ERR_OK;
}

}  // namespace

// ---------------------------------------------------------------------------
// Ticket keys

// The keys session tickets are sealed with: the current one seals, the
// previous one still opens (and asks for a fresh ticket). Made at random in
// memory, never written anywhere: a restart only costs returning clients a
// full handshake.
struct TTlsContext::TicketKeys {
  struct Key {
    unsigned char name[16];
    unsigned char aes[32];
    unsigned char hmac[32];
    std::chrono::steady_clock::time_point made;
  };
  std::mutex lock;
  Key current{};
  Key previous{};
  bool has_previous = false;

  TicketKeys() { Fill(current); }

  static void Fill(Key& key) {
    RAND_bytes(key.name, sizeof key.name);
    RAND_bytes(key.aes, sizeof key.aes);
    RAND_bytes(key.hmac, sizeof key.hmac);
    key.made = std::chrono::steady_clock::now();
  }

  void RotateIfDue() {
    if (std::chrono::steady_clock::now() - current.made < kTicketKeyLifetime) return;
    previous = current;
    has_previous = true;
    Fill(current);
  }

  static int UseHmacKey(EVP_MAC_CTX* mac, unsigned char* key) {
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_octet_string(OSSL_MAC_PARAM_KEY, key, 32),
                           OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                           OSSL_PARAM_construct_end()};
    return EVP_MAC_CTX_set_params(mac, params);
  }

  static int Callback(SSL* ssl, unsigned char* name, unsigned char* iv, EVP_CIPHER_CTX* cipher,
                      EVP_MAC_CTX* mac, int encrypt) {
    auto* keys = static_cast<TicketKeys*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    if (!keys) return -1;
    std::lock_guard guard(keys->lock);
    if (encrypt) {
      keys->RotateIfDue();
      Key& key = keys->current;
      if (RAND_bytes(iv, 16) != 1) return -1;
      std::memcpy(name, key.name, sizeof key.name);
      if (EVP_EncryptInit_ex(cipher, EVP_aes_256_cbc(), nullptr, key.aes, iv) != 1) return -1;
      return UseHmacKey(mac, key.hmac) == 1 ? 1 : -1;
    }
    Key* key = nullptr;
    int result = 1;
    if (std::memcmp(name, keys->current.name, 16) == 0) {
      key = &keys->current;
    } else if (keys->has_previous && std::memcmp(name, keys->previous.name, 16) == 0) {
      key = &keys->previous;
      result = 2;  // good, but seal a new one with the current key
    }
    if (!key) return 0;  // unknown: a full handshake
    if (std::chrono::steady_clock::now() - key->made >= 2 * kTicketKeyLifetime) return 0;
    if (UseHmacKey(mac, key->hmac) != 1) return -1;
    if (EVP_DecryptInit_ex(cipher, EVP_aes_256_cbc(), nullptr, key->aes, iv) != 1) return -1;
    return result;
  }
};

// ---------------------------------------------------------------------------
// TTlsContext

TTlsContext::TTlsContext(const std::string& certificateFile, const std::string& keyFile)
    : ticket_keys_(std::make_unique<TicketKeys>()) {
  RequireReadable("certificate", certificateFile);
  RequireReadable("key", keyFile);
  ERR_clear_error();
  ctx_ = SSL_CTX_new(TLS_server_method());
  if (!ctx_) throw ETls("TLS cannot be set up: " + OpenSslReason());
  struct Guard {
    TTlsContext* self;
    bool done = false;
    ~Guard() {
      if (!done) {
        SSL_CTX_free(self->ctx_);
        self->ctx_ = nullptr;
      }
    }
  } guard{this};

  SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(ctx_, TLS1_3_VERSION);
  SSL_CTX_set_options(ctx_, SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_COMPRESSION |
                                SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF);
  if (SSL_CTX_set_cipher_list(ctx_, kCipherList) != 1 || SSL_CTX_set1_groups_list(ctx_, kGroups) != 1)
    throw ETls("TLS cannot be set up: " + OpenSslReason());
  SSL_CTX_set_dh_auto(ctx_, 1);
  SSL_CTX_set_alpn_select_cb(ctx_, SelectAlpn, nullptr);
  // Buffers stay with the connection from one request to the next: freeing
  // them when idle would cost two allocations a request.
  SSL_CTX_clear_mode(ctx_, SSL_MODE_RELEASE_BUFFERS);
  SSL_CTX_set_session_cache_mode(ctx_, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_num_tickets(ctx_, 1);
  SSL_CTX_set_app_data(ctx_, ticket_keys_.get());
  SSL_CTX_set_tlsext_ticket_key_evp_cb(ctx_, &TicketKeys::Callback);

  if (SSL_CTX_use_certificate_chain_file(ctx_, certificateFile.c_str()) != 1)
    throw ETls("The certificate file " + certificateFile +
               " holds no usable certificate: " + OpenSslReason());
  X509* leaf = SSL_CTX_get0_certificate(ctx_);
  // Read apart from the context, so that a key of another certificate is
  // told as such rather than as an unusable key.
  EVP_PKEY* key = nullptr;
  if (BIO* file = BIO_new_file(keyFile.c_str(), "r")) {
    key = PEM_read_bio_PrivateKey(file, nullptr, nullptr, nullptr);
    BIO_free(file);
  }
  if (!key) throw ETls("The key file " + keyFile + " holds no usable private key: " + OpenSslReason());
  const bool fits = X509_check_private_key(leaf, key) == 1;
  const bool used = fits && SSL_CTX_use_PrivateKey(ctx_, key) == 1;
  EVP_PKEY_free(key);
  if (!fits) {
    ERR_clear_error();
    throw ETls("The key in " + keyFile + " does not belong to the certificate in " + certificateFile);
  }
  if (!used) throw ETls("The key file " + keyFile + " holds no usable private key: " + OpenSslReason());
  if (X509_cmp_current_time(X509_get0_notAfter(leaf)) <= 0)
    throw ETls("The certificate in " + certificateFile + " has expired");
  if (X509_cmp_current_time(X509_get0_notBefore(leaf)) > 0)
    throw ETls("The certificate in " + certificateFile + " is not valid yet");

  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  X509_digest(leaf, EVP_sha256(), digest, &length);
  fingerprint_ = Hex(digest, length);
  unsigned char* der = nullptr;
  const int der_length = i2d_PUBKEY(X509_get0_pubkey(leaf), &der);
  if (der_length > 0) {
    EVP_Digest(der, static_cast<std::size_t>(der_length), digest, &length, EVP_sha256(), nullptr);
    unsigned char encoded[64];
    EVP_EncodeBlock(encoded, digest, static_cast<int>(length));
    key_pin_ = reinterpret_cast<const char*>(encoded);
  }
  OPENSSL_free(der);
  ERR_clear_error();
  guard.done = true;
}

TTlsContext::~TTlsContext() { SSL_CTX_free(ctx_); }

// ---------------------------------------------------------------------------
// The session's BIO: reads and writes through the socket layer's calls, so
// that the socket's notifications are re-enabled as for a plain connection.

struct TTlsBio {
  static BIO_METHOD* Method() {
    static BIO_METHOD* method = [] {
      BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "vt socket");
      BIO_meth_set_write(made, Write);
      BIO_meth_set_read(made, Read);
      BIO_meth_set_ctrl(made, Ctrl);
      BIO_meth_set_create(made, [](BIO* bio) {
        BIO_set_init(bio, 1);
        return 1;
      });
      return made;
    }();
    return method;
  }
  static int Write(BIO* bio, const char* data, int length) {
    BIO_clear_retry_flags(bio);
    return static_cast<TTlsSession*>(BIO_get_data(bio))->WriteOut(data, length);
  }
  static int Read(BIO* bio, char* data, int length) {
    BIO_clear_retry_flags(bio);
    const int got = static_cast<TTlsSession*>(BIO_get_data(bio))->ReadIn(data, length);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_read(bio);
    return got;
  }
  static long Ctrl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }
};

// ---------------------------------------------------------------------------
// TTlsSession

TTlsSession::TTlsSession(const TTlsContext& context, TSocket socket) : socket_(socket) {
  ssl_ = SSL_new(context.Handle());
  if (!ssl_) throw ETls("TLS session cannot be made: " + OpenSslReason());
  BIO* bio = BIO_new(TTlsBio::Method());
  if (!bio) {
    SSL_free(ssl_);
    throw ETls("TLS session cannot be made: " + OpenSslReason());
  }
  BIO_set_data(bio, this);
  SSL_set_bio(ssl_, bio, bio);
  SSL_set_accept_state(ssl_);
  // Whole records in few reads: the socket is read until it has no more.
  SSL_set_read_ahead(ssl_, 1);
}

TTlsSession::~TTlsSession() { SSL_free(ssl_); }

bool TTlsSession::HandshakeDone() const { return SSL_is_init_finished(ssl_) != 0; }

int TTlsSession::ReadIn(char* data, int length) {
  const ssize_t got = SocketRecv(socket_, data, static_cast<std::size_t>(length));
  last_read_short_ = got >= 0 && got < length;
  return static_cast<int>(got);
}

int TTlsSession::WriteOut(const char* data, int length) {
  if (send_errno_ != 0) {
    errno = send_errno_;
    return -1;
  }
  std::size_t done = 0;
  const auto total = static_cast<std::size_t>(length);
  if (Backlog() == 0) {
    backlog_.clear();
    backlog_sent_ = 0;
    while (done < total) {
      const ssize_t sent = SocketSend(socket_, data + done, total - done);
      if (sent >= 0) {
        done += static_cast<std::size_t>(sent);
        continue;
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      send_errno_ = errno;
      return -1;
    }
  }
  backlog_.append(data + done, total - done);
  return length;
}

bool TTlsSession::Flush(int& error) {
  error = 0;
  while (Backlog() > 0) {
    const ssize_t sent = SocketSend(socket_, backlog_.data() + backlog_sent_, Backlog());
    if (sent >= 0) {
      backlog_sent_ += static_cast<std::size_t>(sent);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      send_errno_ = errno;
      failed_ = true;
      if (failure_.empty()) failure_ = std::strerror(errno);
    }
    error = WinSockCodeOfErrno(errno);
    return false;
  }
  backlog_.clear();
  backlog_sent_ = 0;
  return true;
}

void TTlsSession::NoteError(int result) {
  const int kind = SSL_get_error(ssl_, result);
  failed_ = true;
  if (!failure_.empty()) return;
  const unsigned long code = ERR_peek_last_error();
  if (kind == SSL_ERROR_SYSCALL && code == 0) {
    failure_ = send_errno_ != 0 ? std::strerror(send_errno_) : "the connection ended";
  } else if (ERR_GET_LIB(code) == ERR_LIB_SSL && (ERR_GET_REASON(code) == SSL_R_HTTP_REQUEST ||
                                                  ERR_GET_REASON(code) == SSL_R_HTTPS_PROXY_REQUEST ||
                                                  ERR_GET_REASON(code) == SSL_R_WRONG_VERSION_NUMBER ||
                                                  ERR_GET_REASON(code) == SSL_R_UNKNOWN_PROTOCOL)) {
    failure_ = "not TLS";
  } else {
    failure_ = OpenSslReason();
  }
  ERR_clear_error();
}

TTlsSession::THandshake TTlsSession::Handshake() {
  if (failed_) return THandshake::kFailed;
  if (HandshakeDone()) return THandshake::kDone;
  ERR_clear_error();
  const int result = SSL_do_handshake(ssl_);
  if (result == 1) return THandshake::kDone;
  const int kind = SSL_get_error(ssl_, result);
  if (kind == SSL_ERROR_WANT_READ || kind == SSL_ERROR_WANT_WRITE) return THandshake::kWaiting;
  NoteError(result);
  return THandshake::kFailed;
}

std::int32_t TTlsSession::Receive(char* buffer, std::int32_t count) {
  std::int32_t total = 0;
  while (total < count && !failed_ && !close_received_) {
    std::size_t got = 0;
    ERR_clear_error();
    const int result = SSL_read_ex(ssl_, buffer + total, static_cast<std::size_t>(count - total), &got);
    if (result == 1) {
      total += static_cast<std::int32_t>(got);
      // The system had nothing more when OpenSSL last read (a short read
      // takes all there is), and OpenSSL holds nothing: asking again would
      // only be told so, at the cost of a system call per request.
      if (last_read_short_ && SSL_has_pending(ssl_) == 0) break;
      continue;
    }
    const int kind = SSL_get_error(ssl_, result);
    if (kind == SSL_ERROR_ZERO_RETURN) {
      close_received_ = true;
    } else if (kind != SSL_ERROR_WANT_READ && kind != SSL_ERROR_WANT_WRITE) {
      NoteError(result);
    }
    break;
  }
  return total;
}

ssize_t TTlsSession::Send(const char* buffer, std::size_t count) {
  int error = 0;
  if (!failed_ && Backlog() > 0 && !Flush(error) && !failed_) {
    errno = EAGAIN;
    return -1;
  }
  if (failed_) {
    errno = send_errno_ != 0 ? send_errno_ : EPIPE;
    return -1;
  }
  std::size_t written = 0;
  ERR_clear_error();
  if (SSL_write_ex(ssl_, buffer, std::min(count, kSendPiece), &written) != 1) {
    NoteError(0);
    errno = send_errno_ != 0 ? send_errno_ : EPIPE;
    return -1;
  }
  return static_cast<ssize_t>(written);
}

void TTlsSession::SendCloseNotify() {
  if (close_sent_ || failed_ || !HandshakeDone()) return;
  close_sent_ = true;
  ERR_clear_error();
  SSL_shutdown(ssl_);
  ERR_clear_error();
}

std::string TTlsSession::Version() const { return SSL_get_version(ssl_); }

std::string TTlsSession::Cipher() const {
  const char* name = SSL_get_cipher_name(ssl_);
  return name ? name : std::string();
}

}  // namespace vt
