// SPDX-License-Identifier: MIT
// The conversation over TLS with a tls:// server, on the chosen server's
// socket: the server's certificate checked before any byte of the
// player's goes out, and the last session kept so that the
// next action resumes it instead of paying a whole handshake. Every wait
// is bounded by the deadline the action gives.
// A certificate no authority vouches for is taken at first contact and
// kept as that server's, as SSH keeps a host's key; from then on only it,
// or one an authority vouches for, is taken. A host's own authority file
// (VARKEL_CA_FILE) is trusted alone, with nothing kept.
#include "client_functions.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "common/varkel_tls.h"

typedef struct ClientTls {
  SSL_CTX *context;
  SSL *ssl; // the open connection's, NULL when none is open
  int fd;   // its socket, the caller's
  // The last session the server gave, for the next handshake. Like the
  // rest of the exchange scratch it belongs to the one networked action
  // that runs.
  SSL_SESSION *session;
  int resumed;            // the last handshake resumed a session
  int authority_only;     // VARKEL_CA_FILE given: nothing taken at first contact
  std::string known_path; // the certificates kept, one "SERVER SHA256:HEX" line each
  std::string server;     // this server as those lines name it
  std::string kept;       // its line's fingerprint, once read or written
  FailureCause cause;     // why the last opening failed
  int first_contact;      // the last opening kept the server's certificate
} ClientTls;

// OpenSSL's last error, or the system's, as the SDL error.
static int TlsError(const char *what) {
  char said[512];
  TlsDescribeError(what, "connection lost", said, sizeof(said));
  SDL_SetError("TLS: %s", said);
  return 1;
}

static int KeepSession(SSL *ssl, SSL_SESSION *session) {
  ClientTls *tls = (ClientTls *)SSL_get_app_data(ssl);
  if (tls == NULL) return 0;
  SSL_SESSION_free(tls->session);
  tls->session = session;
  return 1; // the reference is ours now
}

// Whatever the chain, the handshake goes on: the certificate is judged
// once it is done, before anything is sent (FirstContact).
static int GoOn(int, X509_STORE_CTX *) {
  return 1;
}

int ClientTlsNew(const char *ca_file, const char *known_path, const char *server, ClientTls **out) {
  *out = NULL;
  ERR_clear_error();
  errno = 0;
  const char *failed;
  SSL_CTX *context = TlsClientContext(ca_file, &failed);
  if (context == NULL) return TlsError(failed);
  SSL_CTX_sess_set_new_cb(context, KeepSession);
  ClientTls *tls = new ClientTls();
  tls->context = context;
  tls->fd = -1;
  tls->authority_only = ca_file != NULL && ca_file[0] != '\0';
  tls->known_path = known_path != NULL ? known_path : "";
  tls->server = server;
  if (!tls->authority_only) SSL_CTX_set_verify(context, SSL_VERIFY_PEER, GoOn);
  *out = tls;
  return 0;
}

// ---- The certificate kept at first contact ---------------------------------------

// "SHA256:" and the certificate's digest in hex.
static std::string Fingerprint(X509 *certificate) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (certificate == NULL || X509_digest(certificate, EVP_sha256(), digest, &length) != 1)
    return "";
  std::string text = "SHA256:";
  for (unsigned int i = 0; i < length; i++) {
    char two[3];
    snprintf(two, sizeof(two), "%02x", digest[i]);
    text += two;
  }
  return text;
}

// The fingerprint kept for the server, "" when none is. The file only
// grows and its first line for a server counts: once found, it is kept.
static std::string KeptFingerprint(ClientTls *tls) {
  FILE *file = NULL;
  if (!tls->kept.empty() || OpenOwnFile(tls->known_path.c_str(), kFileRead, &file) != 0)
    return tls->kept;
  char line[2048];
  while (tls->kept.empty() && fgets(line, sizeof(line), file) != NULL) {
    char *space = strchr(line, ' ');
    if (space == NULL || (size_t)(space - line) != tls->server.size() ||
        strncmp(line, tls->server.c_str(), tls->server.size()) != 0)
      continue;
    tls->kept = space + 1;
    tls->kept.erase(tls->kept.find_last_not_of("\r\n") + 1);
  }
  fclose(file);
  return tls->kept;
}

// The folders made for the player alone, then the line appended.
static int Keep(ClientTls *tls, const std::string &fingerprint) {
  std::string path = tls->known_path;
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1))
    mkdir(path.substr(0, slash).c_str(), 0700);
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    SDL_SetError("TLS: cannot keep the server's certificate in %s: %s", path.c_str(),
                 strerror(errno));
    return 1;
  }
  std::string line = tls->server + " " + fingerprint + "\n";
  int written = write(fd, line.data(), line.size()) == (ssize_t)line.size();
  close(fd);
  if (written) {
    tls->kept = fingerprint;
    return 0;
  }
  SDL_SetError("TLS: cannot keep the server's certificate in %s", path.c_str());
  return 1;
}

// After the handshake, before a byte of the player's: a certificate an
// authority vouches for, or the one kept for this server, or the first
// one seen, then kept. 1 with the cause and the error set otherwise.
// The first certificate is kept even when an authority vouches for it:
// another one that no authority vouches for is a change all the same.
static int FirstContact(ClientTls *tls) {
  long verified = SSL_get_verify_result(tls->ssl);
  if (tls->authority_only) return 0;
  std::string seen = Fingerprint(SSL_get0_peer_certificate(tls->ssl));
  std::string kept = KeptFingerprint(tls);
  if (verified == X509_V_OK) {
    if (kept.empty() && !seen.empty() && !tls->known_path.empty() && Keep(tls, seen) == 0)
      tls->first_contact = 1;
    return 0;
  }
  if (!seen.empty() && seen == kept) return 0;
  if (!kept.empty()) {
    tls->cause = kCauseChanged;
    SDL_SetError("TLS: the server's certificate changed: %s, kept at first contact %s (%s)",
                 seen.c_str(), kept.c_str(), X509_verify_cert_error_string(verified));
    return 1;
  }
  if (seen.empty() || tls->known_path.empty()) {
    tls->cause = kCauseUntrusted;
    SDL_SetError("TLS: certificate verify failed: %s, and no place to keep it",
                 X509_verify_cert_error_string(verified));
    return 1;
  }
  if (Keep(tls, seen) != 0) {
    tls->cause = kCauseUntrusted;
    return 1;
  }
  tls->first_contact = 1;
  return 0;
}

// A handshake that broke on what the server sent: TLS spoken to a port
// that does not speak it, or not the game's.
static int NotOurs(unsigned long code) {
  if (ERR_GET_LIB(code) != ERR_LIB_SSL) return 0;
  switch (ERR_GET_REASON(code)) {
  case SSL_R_WRONG_VERSION_NUMBER:
  case SSL_R_PACKET_LENGTH_TOO_LONG:
  case SSL_R_UNEXPECTED_MESSAGE:
  case SSL_R_UNEXPECTED_RECORD:
  case SSL_R_NO_APPLICATION_PROTOCOL:
  case SSL_R_UNSUPPORTED_PROTOCOL:
    return 1;
  default:
    return 0;
  }
}

void ClientTlsFree(ClientTls *tls) {
  if (tls == NULL) return;
  ClientTlsClose(tls);
  SSL_SESSION_free(tls->session);
  SSL_CTX_free(tls->context);
  delete tls;
}

// Milliseconds left before the deadline (SDL ticks), 0 once it has passed.
static int MsLeft(Uint32 deadline) {
  Sint32 left = (Sint32)(deadline - SDL_GetTicks());
  return left > 0 ? (int)left : 0;
}

// Waits for the socket within the deadline; 1 with the error set on a
// timeout.
static int WaitFor(int fd, short events, Uint32 deadline) {
  struct pollfd watched = {fd, events, 0};
  for (;;) {
    int left = MsLeft(deadline);
    if (left == 0) {
      SDL_SetError("timed out waiting for the server");
      return 1;
    }
    int ready = poll(&watched, 1, left);
    if (ready > 0) return 0;
    if (ready < 0 && errno != EINTR) {
      SDL_SetError("poll: %s", strerror(errno));
      return 1;
    }
  }
}

// Why a handshake failed, as the log names it, and for the player.
static int HandshakeError(ClientTls *tls) {
  long verified = SSL_get_verify_result(tls->ssl);
  if (verified != X509_V_OK && tls->authority_only) {
    ERR_clear_error();
    tls->cause = kCauseUntrusted;
    SDL_SetError("TLS: certificate verify failed: %s", X509_verify_cert_error_string(verified));
    return 1;
  }
  if (NotOurs(ERR_peek_last_error())) tls->cause = kCauseNotVarkel;
  return TlsError("handshake failed");
}

enum { kTlsFailed = -1, kWaitFailed = -2 };

// Runs the SSL call until it is done, waiting on the socket as it asks;
// its result, 0 when the server closed, kTlsFailed with OpenSSL's error
// queued, or kWaitFailed with the SDL error set.
static int Drive(ClientTls *tls, int (*call)(SSL *, void *, int), void *buffer, int size,
                 Uint32 deadline) {
  for (;;) {
    ERR_clear_error();
    errno = 0;
    int rc = call(tls->ssl, buffer, size);
    if (rc > 0) return rc;
    int reason = SSL_get_error(tls->ssl, rc);
    if (reason == SSL_ERROR_ZERO_RETURN) return 0;
    short events = reason == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
    if (reason != SSL_ERROR_WANT_READ && reason != SSL_ERROR_WANT_WRITE) {
      // OpenSSL forbids a close_notify after a failure.
      SSL_set_quiet_shutdown(tls->ssl, 1);
      return kTlsFailed;
    }
    if (WaitFor(tls->fd, events, deadline) != 0) return kWaitFailed;
  }
}

static int CallHandshake(SSL *ssl, void *, int) {
  return SSL_do_handshake(ssl);
}
static int CallRead(SSL *ssl, void *buffer, int size) {
  return SSL_read(ssl, buffer, size);
}
static int CallWrite(SSL *ssl, void *buffer, int size) {
  return SSL_write(ssl, buffer, size);
}

int ClientTlsOpen(ClientTls *tls, int fd, const char *host, Uint32 deadline) {
  ClientTlsClose(tls);
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    SDL_SetError("fcntl: %s", strerror(errno));
    return 1;
  }
  tls->fd = fd;
  tls->cause = kCauseNone;
  tls->first_contact = 0;
  ERR_clear_error();
  tls->ssl = SSL_new(tls->context);
  if (tls->ssl == NULL || SSL_set_fd(tls->ssl, tls->fd) != 1 || TlsNameServer(tls->ssl, host) ||
      TlsOfferKept(tls->ssl)) {
    TlsError("SSL_new");
    ClientTlsClose(tls);
    return 1;
  }
  SSL_set_app_data(tls->ssl, tls);
  SSL_set_connect_state(tls->ssl);
  if (tls->session != NULL) SSL_set_session(tls->ssl, tls->session);
  int rc = Drive(tls, CallHandshake, NULL, 0, deadline);
  tls->resumed = rc == 1 && SSL_session_reused(tls->ssl);
  if (rc == 1 && FirstContact(tls) == 0) return 0;
  if (rc == 0) SDL_SetError("TLS: handshake failed: connection closed by the server");
  if (rc == kTlsFailed) HandshakeError(tls);
  // Nothing was said on it: it ends without a word.
  if (rc == 1) SSL_set_quiet_shutdown(tls->ssl, 1);
  ClientTlsClose(tls);
  return 1;
}

FailureCause ClientTlsCause(const ClientTls *tls) {
  return tls->cause;
}

int ClientTlsFirstContact(const ClientTls *tls) {
  return tls->first_contact;
}

const char *ClientTlsKnownPath(const ClientTls *tls) {
  return tls->known_path.c_str();
}

int ClientTlsResumed(const ClientTls *tls) {
  return tls->resumed;
}

int ClientTlsKept(const ClientTls *tls) {
  return tls->ssl != NULL && TlsKept(tls->ssl);
}

int ClientTlsSend(ClientTls *tls, const char *data, int length, Uint32 deadline) {
  int sent = Drive(tls, CallWrite, (void *)data, length, deadline);
  if (sent == 0) SDL_SetError("connection closed by the server");
  if (sent == kTlsFailed) TlsError("SSL_write");
  return sent;
}

int ClientTlsReceive(ClientTls *tls, char *buffer, int size, Uint32 deadline) {
  int got = Drive(tls, CallRead, buffer, size, deadline);
  if (got == 0) SDL_SetError("connection closed by the server");
  if (got == kTlsFailed) TlsError("SSL_read");
  return got;
}

int ClientTlsAlive(ClientTls *tls) {
  if (tls->ssl == NULL) return 0;
  struct pollfd watched = {tls->fd, POLLIN, 0};
  if (!SSL_has_pending(tls->ssl) && poll(&watched, 1, 0) == 0) return 1;
  // A ticket coming late is taken; a close, a failure or a word out of turn
  // end it.
  char byte;
  ERR_clear_error();
  int rc = SSL_peek(tls->ssl, &byte, 1);
  int reason = SSL_get_error(tls->ssl, rc);
  ERR_clear_error();
  if (reason == SSL_ERROR_SYSCALL || reason == SSL_ERROR_SSL) SSL_set_quiet_shutdown(tls->ssl, 1);
  return rc <= 0 && reason == SSL_ERROR_WANT_READ;
}

void ClientTlsClose(ClientTls *tls) {
  if (tls->ssl != NULL) {
    ERR_clear_error();
    if (SSL_is_init_finished(tls->ssl)) SSL_shutdown(tls->ssl);
    ERR_clear_error();
    SSL_free(tls->ssl);
    tls->ssl = NULL;
  }
  tls->fd = -1;
}
