// SPDX-License-Identifier: MIT
// The conversation over TLS with a tls:// server, on the chosen server's
// socket: the server's chain and name checked before any byte of the
// player's goes out, and the last session kept so that the
// next action resumes it instead of paying a whole handshake. Every wait
// is bounded by the deadline the action gives.
#include "client_functions.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "common/varkel_tls.h"

typedef struct ClientTls {
  SSL_CTX *context;
  SSL *ssl; // the open connection's, NULL when none is open
  int fd;   // its socket, the caller's
  // The last session the server gave, for the next handshake. Like the
  // rest of the exchange scratch it belongs to the one networked action
  // that runs.
  SSL_SESSION *session;
  int resumed; // the last handshake resumed a session
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

int ClientTlsNew(const char *ca_file, ClientTls **out) {
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
  *out = tls;
  return 0;
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

// Why a handshake failed, as the log names it.
static int HandshakeError(SSL *ssl) {
  long verified = SSL_get_verify_result(ssl);
  if (verified != X509_V_OK) {
    ERR_clear_error();
    SDL_SetError("TLS: certificate verify failed: %s", X509_verify_cert_error_string(verified));
    return 1;
  }
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
  if (rc == 1) return 0;
  if (rc == 0) SDL_SetError("TLS: handshake failed: connection closed by the server");
  if (rc == kTlsFailed) HandshakeError(tls->ssl);
  ClientTlsClose(tls);
  return 1;
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
