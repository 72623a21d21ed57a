// SPDX-License-Identifier: MIT
// What the client, the server and the bench say and do alike with OpenSSL.
#ifndef VARKEL_TLS_H
#define VARKEL_TLS_H

#include <stddef.h>

#include <openssl/ssl.h>

// "call: detail", the detail OpenSSL's last error on this thread, else the
// system's, else `otherwise`; the thread's error queue is emptied.
void TlsDescribeError(const char *call, const char *otherwise, char *out, size_t out_size);

// A client context trusting ca_file only, or the system's store when
// ca_file is NULL or empty: TLS 1.2 at least, the server verified, each
// session kept by the caller. NULL with the failing step in *failed.
SSL_CTX *TlsClientContext(const char *ca_file, const char **failed);

// The name the server's certificate must bear: an address literal is
// matched against the certificate's addresses and is not sent as SNI.
// 0, or 1 when it cannot be set.
int TlsNameServer(SSL *ssl, const char *host);

// The protocol (ALPN) a client offers in its handshake when it will keep
// the connection for conversation after conversation; a server that will
// keep it too picks it (see kWireConversations).
#define TLS_KEPT_PROTOCOL "varkel-kept"
// The client offers it; 0, or 1 when it cannot.
int TlsOfferKept(SSL *ssl);
// Question: both sides agreed on it (the handshake over).
int TlsKept(const SSL *ssl);

#endif
