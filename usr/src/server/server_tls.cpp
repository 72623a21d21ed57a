// SPDX-License-Identifier: MIT
// The TLS port: one context per certificate and key, swapped whole on a
// reload while the conversations already started keep theirs. Every call
// here is non-blocking; the conversation's loop drives the handshake.
#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "common/varkel_tls.h"
#include "server_internal.h"

// The lock held: the key before goes, the sealing one becomes it.
static int ChangeTicketKeyHeld(ServerTls *tls) {
  TicketKey made;
  if (RAND_bytes((unsigned char *)&made, sizeof(made)) != 1) return 1;
  tls->ticket_keys[1] = tls->ticket_keys[0];
  tls->ticket_keys[0] = made;
  tls->ticket_key_made_ms = MonotonicMs();
  OPENSSL_cleanse(&made, sizeof(made));
  return 0;
}

int TlsChangeTicketKey(ServerTls *tls) {
  std::lock_guard<std::mutex> hold(tls->ticket_lock);
  return ChangeTicketKeyHeld(tls);
}

// The key that seals (name NULL), or the one named by a ticket: 0 the key
// sealing, 1 the one before, -1 none (a ticket too old, or not ours).
static int TicketKeyFor(ServerTls *tls, const unsigned char *name, TicketKey *key) {
  std::lock_guard<std::mutex> hold(tls->ticket_lock);
  if (MonotonicMs() - tls->ticket_key_made_ms >= TLS_TICKET_KEY_SECONDS * 1000.0)
    ChangeTicketKeyHeld(tls);
  for (int which = 0; which < 2; which++) {
    if (name != NULL && CRYPTO_memcmp(name, tls->ticket_keys[which].name, 16) != 0) continue;
    *key = tls->ticket_keys[which];
    return which;
  }
  return -1;
}

// OpenSSL's ticket callback: 1 sealed or opened, 2 opened by the key
// before (the client gets a new ticket), 0 not opened, -1 failed.
static int SealTicket(SSL *ssl, unsigned char name[16], unsigned char *iv, EVP_CIPHER_CTX *cipher,
                      EVP_MAC_CTX *mac, int seal) {
  ServerTls *tls = (ServerTls *)SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl));
  TicketKey key;
  int which = TicketKeyFor(tls, seal ? NULL : name, &key);
  if (which < 0) return 0;
  char digest[] = "SHA256";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_octet_string(OSSL_MAC_PARAM_KEY, key.mac, 32),
                         OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                         OSSL_PARAM_construct_end()};
  int done;
  if (seal) {
    memcpy(name, key.name, 16);
    done = RAND_bytes(iv, 16) == 1 &&
           EVP_EncryptInit_ex(cipher, EVP_aes_256_cbc(), NULL, key.cipher, iv) == 1;
  } else {
    done = EVP_DecryptInit_ex(cipher, EVP_aes_256_cbc(), NULL, key.cipher, iv) == 1;
  }
  done = done && EVP_MAC_CTX_set_params(mac, params) == 1;
  OPENSSL_cleanse(&key, sizeof(key));
  if (!done) return -1;
  // TLS 1.3 gives a new ticket with each resumption, as OpenSSL's own keys
  // do: without it the ticket sent after the handshake is not resumable.
  return which == 0 && SSL_version(ssl) != TLS1_3_VERSION ? 1 : 2;
}

// 0 when the file can be read; else its path and the system's reason in
// error, which OpenSSL's own message ("system lib") leaves out.
static int Readable(const std::string &path, char *error, size_t error_size) {
  FILE *file = fopen(path.c_str(), "r");
  if (file != NULL) {
    fclose(file);
    return 0;
  }
  snprintf(error, error_size, "%s: open: %s", path.c_str(), strerror(errno));
  return 1;
}

// ALPN: the kept connection when the client offers it and the server keeps
// connections; else none, the connection being one conversation's.
static int PickProtocol(SSL *, const unsigned char **out, unsigned char *out_length,
                        const unsigned char *offered, unsigned int offered_length, void *arg) {
  const ServerTls *tls = (const ServerTls *)arg;
  static const unsigned char kept[] = "\x0b" TLS_KEPT_PROTOCOL;
  unsigned char *picked = NULL;
  if (!tls->keeps || SSL_select_next_proto(&picked, out_length, kept, sizeof(kept) - 1, offered,
                                           offered_length) != OPENSSL_NPN_NEGOTIATED)
    return SSL_TLSEXT_ERR_NOACK;
  *out = picked;
  return SSL_TLSEXT_ERR_OK;
}

// OpenSSL asks for the certificate only when no session is resumed, before
// the costly signature and key exchange: a full handshake is rationed here.
static int FullHandshake(SSL *ssl, void *unused) {
  (void)unused;
  ServerTls *tls = (ServerTls *)SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl));
  const Admission *admission = (const Admission *)SSL_get_app_data(ssl);
  return GuardHandshake(tls->guard, *admission, 1, MonotonicMs()) == 0;
}

// A context serving the pair, NULL with the reason in error. Tickets are
// sealed with the server's keys, not the context's own, so that a ticket
// given before a reload is still taken after it.
static SSL_CTX *NewContext(const ServerTls *tls, char *error, size_t error_size) {
  if (Readable(tls->cert_path, error, error_size) != 0 ||
      Readable(tls->key_path, error, error_size) != 0)
    return NULL;
  ERR_clear_error();
  errno = 0;
  SSL_CTX *context = SSL_CTX_new(TLS_server_method());
  if (context == NULL) {
    TlsDescribeError("SSL_CTX_new", "unknown error", error, error_size);
    return NULL;
  }
  const char *failed = NULL;
  const std::string *file = NULL;
  if (SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(context, TLS1_3_VERSION) != 1) {
    failed = "SSL_CTX_set_min_proto_version";
  } else if (SSL_CTX_use_certificate_chain_file(context, tls->cert_path.c_str()) != 1) {
    failed = "SSL_CTX_use_certificate_chain_file";
    file = &tls->cert_path;
  } else if (SSL_CTX_use_PrivateKey_file(context, tls->key_path.c_str(), SSL_FILETYPE_PEM) != 1) {
    failed = "SSL_CTX_use_PrivateKey_file";
    file = &tls->key_path;
  } else if (SSL_CTX_check_private_key(context) != 1) {
    failed = "SSL_CTX_check_private_key (the key is not the certificate's)";
    file = &tls->key_path;
  } else if (SSL_CTX_set_app_data(context, (void *)tls) != 1 ||
             SSL_CTX_set_tlsext_ticket_key_evp_cb(context, SealTicket) != 1) {
    failed = "SSL_CTX_set_tlsext_ticket_key_evp_cb";
  }
  if (failed != NULL) {
    char described[400];
    TlsDescribeError(failed, "unknown error", described, sizeof(described));
    snprintf(error, error_size, "%s%s%s", file != NULL ? file->c_str() : "",
             file != NULL ? ": " : "", described);
    SSL_CTX_free(context);
    return NULL;
  }
  // A client that hangs up without closing TLS has hung up all the same.
  SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE |
                                   SSL_OP_IGNORE_UNEXPECTED_EOF);
  // Tickets carry the sessions: nothing is kept per client on the server.
  SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_num_tickets(context, 1);
  SSL_CTX_set_timeout(context, TLS_TICKET_KEY_SECONDS);
  // Thousands of conversations mostly wait: their buffers go back meanwhile.
  // A write that waits for the socket is tried again from the replies'
  // buffer, which may have grown (and moved) meanwhile.
  SSL_CTX_set_mode(context, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_cert_cb(context, FullHandshake, NULL);
  // What has arrived in one read: otherwise each record's header and body
  // take a read each.
  SSL_CTX_set_read_ahead(context, 1);
  SSL_CTX_set_alpn_select_cb(context, PickProtocol, (void *)tls);
  return context;
}

int TlsStart(ServerTls *tls, const std::string &cert_path, const std::string &key_path, FILE *log) {
  tls->cert_path = cert_path;
  tls->key_path = key_path;
  tls->log = log;
  // Two keys of the server's own: no ticket from another opens.
  if (TlsChangeTicketKey(tls) != 0 || TlsChangeTicketKey(tls) != 0) {
    fprintf(log, "varkel_server: TLS: RAND_bytes failed\n");
    return 1;
  }
  char error[512];
  tls->context = NewContext(tls, error, sizeof(error));
  if (tls->context == NULL) {
    fprintf(log, "varkel_server: TLS: %s\n", error);
    return 1;
  }
  TlsLogCertificate(tls->context, cert_path, log);
  return 0;
}

int TlsReload(ServerTls *tls) {
  char error[512];
  SSL_CTX *context = NewContext(tls, error, sizeof(error));
  if (context == NULL) {
    fprintf(tls->log, "varkel_server: TLS: reload failed, the certificate in use stays: %s\n",
            error);
    return 1;
  }
  SSL_CTX *previous;
  {
    std::lock_guard<std::mutex> hold(tls->lock);
    previous = tls->context;
    tls->context = context;
  }
  // The conversations started on it hold references of their own.
  SSL_CTX_free(previous);
  fprintf(tls->log, "varkel_server: TLS: certificate and key loaded again from %s and %s\n",
          tls->cert_path.c_str(), tls->key_path.c_str());
  TlsLogCertificate(context, tls->cert_path, tls->log);
  return 0;
}

void TlsFree(ServerTls *tls) {
  SSL_CTX_free(tls->context);
  tls->context = NULL;
  std::lock_guard<std::mutex> hold(tls->ticket_lock);
  OPENSSL_cleanse(tls->ticket_keys, sizeof(tls->ticket_keys));
}

// A server session on the socket, its handshakes rationed to the
// admission's address; NULL when none could be made.
static SSL *Accept(ServerTls *tls, int fd, const Admission *admission) {
  SSL *ssl;
  {
    std::lock_guard<std::mutex> hold(tls->lock);
    ssl = SSL_new(tls->context);
  }
  if (ssl == NULL) return NULL;
  if (SSL_set_fd(ssl, fd) != 1 || SSL_set_app_data(ssl, (void *)admission) != 1) {
    SSL_free(ssl);
    return NULL;
  }
  SSL_set_accept_state(ssl);
  return ssl;
}

// errno as the socket calls set it: EAGAIN when the peer must send more,
// EPIPE when it closed, EPROTO for anything TLS refused.
static int SetErrno(SSL *ssl, int rc) {
  switch (SSL_get_error(ssl, rc)) {
  case SSL_ERROR_WANT_READ:
  case SSL_ERROR_WANT_WRITE:
    errno = EAGAIN;
    break;
  case SSL_ERROR_ZERO_RETURN:
    errno = EPIPE;
    break;
  case SSL_ERROR_SYSCALL:
    if (errno == 0 || errno == EAGAIN) errno = EPIPE;
    SSL_set_quiet_shutdown(ssl, 1);
    break;
  default:
    // The certificate's callback fails only when the guard refused it.
    errno = ERR_GET_REASON(ERR_peek_error()) == SSL_R_CERT_CB_ERROR ? ECONNREFUSED : EPROTO;
    SSL_set_quiet_shutdown(ssl, 1);
    break;
  }
  ERR_clear_error();
  return -1;
}

// 0 once the ClientHello's record is whole in the socket (or the bytes are
// no TLS record, for OpenSSL to refuse); else -1 with errno EAGAIN, the
// socket then reporting readable only once the rest can be whole, EPIPE
// when the peer left, EPROTO for a ClientHello beyond its first record.
static int HelloWhole(int fd) {
  unsigned char head[9]; // the record's header and the message's
  ssize_t got = recv(fd, head, sizeof(head), MSG_PEEK);
  if (got <= 0) {
    if (got == 0) errno = EPIPE;
    return -1;
  }
  if (head[0] != 22) return 0;
  int needed = (int)sizeof(head);
  if (got == (ssize_t)sizeof(head)) {
    size_t record = (size_t)head[3] << 8 | head[4];
    size_t hello = (size_t)head[6] << 16 | (size_t)head[7] << 8 | head[8];
    if (head[5] != SSL3_MT_CLIENT_HELLO || record > SSL3_RT_MAX_PLAIN_LENGTH ||
        hello + 4 > record) {
      errno = EPROTO;
      return -1;
    }
    needed = (int)(record + 5);
  }
  int queued = 0;
  struct pollfd peer = {fd, POLLRDHUP, 0};
  if (ioctl(fd, FIONREAD, &queued) != 0) return -1;
  int low = queued >= needed ? 1 : needed;
  setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &low, sizeof(low));
  if (queued >= needed) return 0;
  errno = poll(&peer, 1, 0) == 1 ? EPIPE : EAGAIN;
  return -1;
}

int TlsHandshake(ServerTls *tls, int fd, const Admission *admission, SSL **session) {
  if (*session == NULL) {
    if (HelloWhole(fd) != 0) return -1;
    if (GuardHandshake(tls->guard, *admission, 0, MonotonicMs()) != 0) {
      errno = ECONNREFUSED;
      return -1;
    }
    if ((*session = Accept(tls, fd, admission)) == NULL) {
      errno = ENOMEM;
      return -1;
    }
  }
  SSL *ssl = *session;
  ERR_clear_error();
  errno = 0;
  int rc = SSL_do_handshake(ssl);
  return rc == 1 ? 0 : SetErrno(ssl, rc);
}

ssize_t TlsRead(SSL *ssl, void *buffer, size_t size) {
  ERR_clear_error();
  errno = 0;
  int rc = SSL_read(ssl, buffer, (int)size);
  if (rc > 0) return rc;
  int failed = SetErrno(ssl, rc);
  return errno == EPIPE ? 0 : failed;
}

ssize_t TlsWrite(SSL *ssl, const void *buffer, size_t size) {
  ERR_clear_error();
  errno = 0;
  int rc = SSL_write(ssl, buffer, (int)size);
  return rc > 0 ? rc : SetErrno(ssl, rc);
}

void TlsClose(SSL *ssl) {
  if (ssl == NULL) return;
  // One close_notify, without waiting for the peer's; none after a failure
  // (quiet).
  if (SSL_is_init_finished(ssl) && !SSL_get_quiet_shutdown(ssl)) {
    ERR_clear_error();
    SSL_shutdown(ssl);
    ERR_clear_error();
  }
  SSL_free(ssl);
}
