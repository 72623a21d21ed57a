// SPDX-License-Identifier: MIT
#include "varkel_tls.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <openssl/err.h>
#include <openssl/x509v3.h>

void TlsDescribeError(const char *call, const char *otherwise, char *out, size_t out_size) {
  unsigned long code = ERR_peek_last_error();
  char detail[256];
  if (code != 0) {
    ERR_error_string_n(code, detail, sizeof(detail));
  } else {
    snprintf(detail, sizeof(detail), "%s", errno != 0 ? strerror(errno) : otherwise);
  }
  ERR_clear_error();
  snprintf(out, out_size, "%s: %s", call, detail);
}

SSL_CTX *TlsClientContext(const char *ca_file, const char **failed) {
  SSL_CTX *context = SSL_CTX_new(TLS_client_method());
  if (context == NULL) {
    *failed = "SSL_CTX_new";
    return NULL;
  }
  int own = ca_file != NULL && ca_file[0] != '\0';
  int loaded = own ? SSL_CTX_load_verify_locations(context, ca_file, NULL)
                   : SSL_CTX_set_default_verify_paths(context);
  if (loaded != 1 || SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1) {
    *failed = own ? "VARKEL_CA_FILE" : "SSL_CTX_set_default_verify_paths";
    SSL_CTX_free(context);
    return NULL;
  }
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, NULL);
  SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  return context;
}

// ALPN's wire form: the name after its length.
static const unsigned char kKeptProtocol[] = "\x0b" TLS_KEPT_PROTOCOL;
static_assert(sizeof(kKeptProtocol) - 2 == 0x0b, "the name's length");

int TlsOfferKept(SSL *ssl) {
  // 0 is success here.
  return SSL_set_alpn_protos(ssl, kKeptProtocol, sizeof(kKeptProtocol) - 1) == 0 ? 0 : 1;
}

int TlsKept(const SSL *ssl) {
  const unsigned char *name = NULL;
  unsigned int length = 0;
  SSL_get0_alpn_selected(ssl, &name, &length);
  return length == sizeof(kKeptProtocol) - 2 && memcmp(name, kKeptProtocol + 1, length) == 0;
}

int TlsNameServer(SSL *ssl, const char *host) {
  ASN1_OCTET_STRING *literal = a2i_IPADDRESS(host);
  if (literal != NULL) {
    ASN1_OCTET_STRING_free(literal);
    return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host) == 1 ? 0 : 1;
  }
  if (SSL_set_tlsext_host_name(ssl, host) != 1) return 1;
  return SSL_set1_host(ssl, host) == 1 ? 0 : 1;
}
