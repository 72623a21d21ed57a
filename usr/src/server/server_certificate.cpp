// SPDX-License-Identifier: MIT
// A certificate of the server's own, for a host that gives none: made once
// for the machine's names, kept beside the database and reused, so that
// the players who keep it at first contact see the same one every time.
// Also what a certificate says of itself, for the log.
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <arpa/inet.h>

#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include "common/varkel_tls.h"
#include "server_internal.h"

// Long enough never to be renewed: players keep this very certificate.
#define OWN_CERTIFICATE_DAYS 7300

static const char kOwnCertificate[] = "tls-certificate.pem";
static const char kOwnKey[] = "tls-key.pem";

// "DNS:name" and "IP:address" for every name the machine answers to.
static std::vector<std::string> MachineNames() {
  std::vector<std::string> names;
  auto add = [&names](const std::string &name) {
    for (const std::string &known : names)
      if (known == name) return;
    names.push_back(name);
  };
  char host[256] = "";
  if (gethostname(host, sizeof(host) - 1) == 0 && host[0] != '\0') {
    add(std::string("DNS:") + host);
    struct addrinfo hints = {};
    hints.ai_flags = AI_CANONNAME;
    struct addrinfo *found = NULL;
    if (getaddrinfo(host, NULL, &hints, &found) == 0) {
      if (found->ai_canonname != NULL && strchr(found->ai_canonname, '.') != NULL)
        add(std::string("DNS:") + found->ai_canonname);
      freeaddrinfo(found);
    }
  }
  add("DNS:localhost");
  add("IP:127.0.0.1");
  add("IP:::1");
  // A sandbox without netlink has no list of addresses: the names remain.
  struct ifaddrs *interfaces = NULL;
  if (getifaddrs(&interfaces) != 0) return names;
  for (struct ifaddrs *at = interfaces; at != NULL; at = at->ifa_next) {
    if (at->ifa_addr == NULL) continue;
    int family = at->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    char text[INET6_ADDRSTRLEN];
    const void *bytes = family == AF_INET
                            ? (const void *)&((struct sockaddr_in *)at->ifa_addr)->sin_addr
                            : (const void *)&((struct sockaddr_in6 *)at->ifa_addr)->sin6_addr;
    if (family == AF_INET6 && IN6_IS_ADDR_LINKLOCAL((const struct in6_addr *)bytes)) continue;
    if (inet_ntop(family, bytes, text, sizeof(text)) != NULL) add(std::string("IP:") + text);
  }
  freeifaddrs(interfaces);
  return names;
}

static int AddExtension(X509 *certificate, int nid, const std::string &value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, NULL, NULL, 0);
  X509_EXTENSION *extension = X509V3_EXT_conf_nid(NULL, &context, nid, value.c_str());
  int added = extension != NULL && X509_add_ext(certificate, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  return added ? 0 : 1;
}

// A self-signed certificate for the names, NULL when OpenSSL fails.
static X509 *SelfSigned(EVP_PKEY *key, const std::vector<std::string> &names) {
  X509 *certificate = X509_new();
  unsigned char serial[16];
  BIGNUM *number = NULL;
  std::string alt;
  for (const std::string &name : names)
    alt += (alt.empty() ? "" : ",") + name;
  // A common name is at most 64 characters; the names are in subjectAltName.
  std::string common = names[0].substr(4, 64);
  int made = certificate != NULL && X509_set_version(certificate, 2) == 1 &&
             RAND_bytes(serial, sizeof(serial)) == 1;
  if (made) {
    serial[0] &= 0x7F;
    number = BN_bin2bn(serial, sizeof(serial), NULL);
    made = number != NULL && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate)) != NULL;
  }
  X509_NAME *subject = made ? X509_get_subject_name(certificate) : NULL;
  made = made &&
         X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                    (const unsigned char *)common.c_str(), -1, -1, 0) == 1 &&
         X509_set_issuer_name(certificate, subject) == 1 &&
         X509_gmtime_adj(X509_getm_notBefore(certificate), -3600) != NULL &&
         X509_time_adj_ex(X509_getm_notAfter(certificate), OWN_CERTIFICATE_DAYS, 0, NULL) != NULL &&
         X509_set_pubkey(certificate, key) == 1 &&
         AddExtension(certificate, NID_subject_alt_name, alt) == 0 &&
         AddExtension(certificate, NID_ext_key_usage, "serverAuth") == 0 &&
         AddExtension(certificate, NID_subject_key_identifier, "hash") == 0 &&
         X509_sign(certificate, key, EVP_sha256()) > 0;
  BN_free(number);
  if (made) return certificate;
  X509_free(certificate);
  return NULL;
}

// Writes the file aside, 0600, then renames it into place.
static int WritePem(const std::string &path, EVP_PKEY *key, X509 *certificate, char *error,
                    size_t error_size) {
  std::string partial = path + ".partial";
  int fd = open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  FILE *file = fd >= 0 ? fdopen(fd, "w") : NULL;
  if (file == NULL) {
    snprintf(error, error_size, "%s: open: %s", partial.c_str(), strerror(errno));
    if (fd >= 0) close(fd);
    return 1;
  }
  int written = key != NULL ? PEM_write_PrivateKey(file, key, NULL, NULL, 0, NULL, NULL)
                            : PEM_write_X509(file, certificate);
  int synced = fflush(file) == 0 && fsync(fileno(file)) == 0;
  if (fclose(file) != 0) synced = 0;
  if (written == 1 && synced && rename(partial.c_str(), path.c_str()) == 0) return 0;
  snprintf(error, error_size, "%s: %s: %s", path.c_str(), written == 1 ? "write" : "PEM_write",
           errno != 0 ? strerror(errno) : "unknown error");
  unlink(partial.c_str());
  return 1;
}

static int MakeOwnPair(const std::string &cert_path, const std::string &key_path, char *error,
                       size_t error_size) {
  std::vector<std::string> names = MachineNames();
  EVP_PKEY *key = EVP_EC_gen("P-256");
  X509 *certificate = key != NULL ? SelfSigned(key, names) : NULL;
  int rc = 1;
  if (certificate == NULL) {
    TlsDescribeError(key == NULL ? "EVP_EC_gen" : "X509_sign", "unknown error", error, error_size);
  } else {
    // The key goes in first: a certificate is never there without its key.
    rc = WritePem(key_path, key, NULL, error, error_size) ||
         WritePem(cert_path, NULL, certificate, error, error_size);
  }
  X509_free(certificate);
  EVP_PKEY_free(key);
  return rc;
}

int TlsOwnPair(const std::string &folder, int make, std::string *cert_path, std::string *key_path,
               FILE *log) {
  *cert_path = folder + "/" + kOwnCertificate;
  *key_path = folder + "/" + kOwnKey;
  struct stat st;
  if (stat(cert_path->c_str(), &st) == 0 && stat(key_path->c_str(), &st) == 0) return 0;
  if (!make) {
    fprintf(log,
            "varkel_server: TLS: no certificate given: one of the server's own is made in %s "
            "at the first start\n",
            folder.c_str());
    cert_path->clear();
    key_path->clear();
    return 0;
  }
  if (MakeParentFolders(*key_path) != 0) {
    fprintf(log, "varkel_server: TLS: %s: making its folder: %s\n", folder.c_str(),
            strerror(errno));
    return 1;
  }
  char error[512];
  if (MakeOwnPair(*cert_path, *key_path, error, sizeof(error)) != 0) {
    fprintf(log, "varkel_server: TLS: making a certificate of the server's own: %s\n", error);
    return 1;
  }
  fprintf(log, "varkel_server: TLS: made a certificate of the server's own in %s\n",
          cert_path->c_str());
  return 0;
}

// ---- What a certificate says of itself -----------------------------------------

static std::string NamesOf(X509 *certificate) {
  std::string names;
  GENERAL_NAMES *alt =
      (GENERAL_NAMES *)X509_get_ext_d2i(certificate, NID_subject_alt_name, NULL, NULL);
  for (int i = 0; alt != NULL && i < sk_GENERAL_NAME_num(alt); i++) {
    const GENERAL_NAME *name = sk_GENERAL_NAME_value(alt, i);
    std::string text;
    if (name->type == GEN_DNS) {
      text.assign((const char *)ASN1_STRING_get0_data(name->d.dNSName),
                  (size_t)ASN1_STRING_length(name->d.dNSName));
    } else if (name->type == GEN_IPADD) {
      char address[INET6_ADDRSTRLEN] = "?";
      int length = ASN1_STRING_length(name->d.iPAddress);
      if (length == 4 || length == 16)
        inet_ntop(length == 4 ? AF_INET : AF_INET6, ASN1_STRING_get0_data(name->d.iPAddress),
                  address, sizeof(address));
      text = address;
    }
    if (!text.empty()) names += (names.empty() ? "" : ", ") + text;
  }
  GENERAL_NAMES_free(alt);
  return names.empty() ? "no names" : names;
}

void TlsLogCertificate(SSL_CTX *context, const std::string &cert_path, FILE *log) {
  X509 *certificate = SSL_CTX_get0_certificate(context);
  if (certificate == NULL) return;
  struct tm until = {};
  char date[32] = "?";
  if (ASN1_TIME_to_tm(X509_get0_notAfter(certificate), &until) == 1)
    strftime(date, sizeof(date), "%Y-%m-%d %H:%M UTC", &until);
  int days = 0, seconds = 0;
  ASN1_TIME_diff(&days, &seconds, NULL, X509_get0_notAfter(certificate));
  std::string names = NamesOf(certificate);
  fprintf(log, "varkel_server: TLS: certificate %s for %s, valid until %s\n", cert_path.c_str(),
          names.c_str(), date);
  if (days < 0 || (days == 0 && seconds <= 0)) {
    fprintf(log,
            "varkel_server: TLS: the certificate %s has expired: the players' clients refuse it\n",
            cert_path.c_str());
  } else if (days < 30) {
    fprintf(log, "varkel_server: TLS: the certificate %s expires in %d days: renew it\n",
            cert_path.c_str(), days);
  }
}
