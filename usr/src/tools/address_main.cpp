// SPDX-License-Identifier: MIT
// varkel_address: the client's reader of server addresses and its
// connection, for the launcher, so that the shell keeps no grammar of its
// own.
//
//   varkel_address check ADDRESS    0, or 1 with the bad part on standard output
//   varkel_address answers ADDRESS  0 when a server opens a connection there
//                                   within 2 s, 3 when none does
//   varkel_address builtin          prints the built-in address; 3 when it is
//                                   this machine's and nothing answers there,
//                                   4 (the owner on a second line) when what
//                                   listens there is another account's
//   varkel_address tls ADDRESS      0 when TLS answers at tls://ADDRESS (port
//                                   9992 when none is given) within 5 s, 3
//                                   when it does not; nothing is checked of
//                                   the certificate, which the client judges
#include <arpa/inet.h>
#include <errno.h>
#include <pwd.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "common/varkel_address.h"
#include "common/varkel_tls.h"

enum { kProbeMs = 2000, kTlsProbeMs = 5000, kSilent = 3, kMisused = 2, kForeign = 4 };

// The system's server runs as root or as the service's own user.
static const char kServiceUser[] = "varkel-server";

static int Answers(const ServerAddress *address) {
  int fd;
  const char *call;
  char problem[1024];
  if (ConnectServer(address, kProbeMs, &fd, &call, problem, sizeof(problem))) return kSilent;
  close(fd);
  return 0;
}

// A handshake, whatever the certificate: only whether TLS is spoken there.
static int SpeaksTls(const ServerAddress *address) {
  int fd;
  const char *call;
  char problem[1024];
  if (ConnectServer(address, kTlsProbeMs, &fd, &call, problem, sizeof(problem))) return kSilent;
  struct timeval limit = {kTlsProbeMs / 1000, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
  SSL_CTX *context = SSL_CTX_new(TLS_client_method());
  SSL *ssl = context != NULL ? SSL_new(context) : NULL;
  int spoken = ssl != NULL && SSL_set_fd(ssl, fd) == 1 && TlsNameServer(ssl, address->host) == 0 &&
               SSL_connect(ssl) == 1;
  SSL_free(ssl);
  SSL_CTX_free(context);
  close(fd);
  return spoken ? 0 : kSilent;
}

static int Read(const char *text, ServerAddress *address) {
  char problem[1024];
  if (ReadServerAddress(text, VARKEL_SERVER_PORT, address, problem, sizeof(problem)) == 0) return 0;
  printf("%s\n", problem);
  return 1;
}

// A listening socket's local address, as /proc/net/tcp and tcp6 write it
// (hex, in the kernel's byte order), that a connection to a loopback
// address may reach: loopback or any address.
static int ReachedFromLoopback(const std::string &hex) {
  unsigned char bytes[16] = {0};
  size_t count = hex.size() / 2;
  if (count != 4 && count != 16) return 0;
  for (size_t n = 0; n < count; n++)
    bytes[n] = (unsigned char)std::stoul(hex.substr(2 * n, 2), NULL, 16);
  // Each 32-bit word is written as the host's integer: on little-endian
  // machines its bytes come reversed.
  uint32_t words[4];
  memcpy(words, bytes, count);
  for (size_t n = 0; n < count / 4; n++)
    words[n] = htonl(words[n]);
  memcpy(bytes, words, count);
  static const unsigned char kNone[16] = {0};
  static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (count == 4) return bytes[0] == 127 || memcmp(bytes, kNone, 4) == 0;
  char text[INET6_ADDRSTRLEN];
  inet_ntop(AF_INET6, bytes, text, sizeof(text));
  return memcmp(bytes, kNone, 16) == 0 || IsLoopbackHost(text) ||
         (memcmp(bytes, kMapped, 12) == 0 && (bytes[12] == 127 || bytes[12] == 0));
}

// The owners of the sockets listening on port that a connection to this
// machine may reach. 1 when the kernel's tables cannot be read.
static int ListenerOwners(int port, std::vector<uid_t> *owners) {
  for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    FILE *file = fopen(table, "r");
    // A kernel without IPv6 has no tcp6 table, and so no listener there.
    if (file == NULL && errno == ENOENT && strcmp(table, "/proc/net/tcp6") == 0) continue;
    if (file == NULL) return 1;
    char line[512], local[64], state[8];
    unsigned local_port, uid;
    while (fgets(line, sizeof(line), file) != NULL) {
      if (sscanf(line, " %*s %63[0-9A-Fa-f]:%x %*s %7s %*s %*s %*s %u", local, &local_port, state,
                 &uid) != 4)
        continue;
      if ((int)local_port == port && strcmp(state, "0A") == 0 && ReachedFromLoopback(local))
        owners->push_back((uid_t)uid);
    }
    fclose(file);
  }
  return 0;
}

static int Trusted(uid_t uid) {
  struct passwd *service = getpwnam(kServiceUser);
  return uid == 0 || uid == getuid() || (service != NULL && uid == service->pw_uid);
}

// The built-in server of this machine: played on only when every socket
// listening there is the system's or the player's own; the owner of
// another one on a second line.
static int LocalBuiltIn(const ServerAddress *address) {
  std::vector<uid_t> owners;
  if (ListenerOwners(address->port, &owners)) {
    printf("nobody known (the kernel's tables of sockets cannot be read)\n");
    return kForeign;
  }
  if (owners.empty()) return kSilent;
  for (uid_t uid : owners) {
    if (Trusted(uid)) continue;
    struct passwd *owner = getpwuid(uid);
    if (owner != NULL)
      printf("%s (uid %u)\n", owner->pw_name, (unsigned)uid);
    else
      printf("uid %u\n", (unsigned)uid);
    return kForeign;
  }
  return Answers(address);
}

int main(int argc, char **argv) {
  ServerAddress address = {};
  if (argc == 3 && strcmp(argv[1], "check") == 0) return Read(argv[2], &address);
  if (argc == 3 && strcmp(argv[1], "answers") == 0)
    return Read(argv[2], &address) ? 1 : Answers(&address);
  if (argc == 3 && strcmp(argv[1], "tls") == 0) {
    std::string tls =
        strncasecmp(argv[2], "tls://", 6) == 0 ? argv[2] : std::string("tls://") + argv[2];
    return Read(tls.c_str(), &address) ? 1 : SpeaksTls(&address);
  }
  if (argc == 2 && strcmp(argv[1], "builtin") == 0) {
    snprintf(address.host, sizeof(address.host), "%s", VARKEL_SERVER_HOST);
    address.port = VARKEL_SERVER_PORT;
    char written[VARKEL_HOST_MAX + 16];
    WriteServerAddress(&address, written, sizeof(written));
    printf("%s\n", written);
    fflush(stdout);
    return IsLoopbackHost(address.host) ? LocalBuiltIn(&address) : 0;
  }
  fprintf(stderr,
          "Usage: varkel_address check|answers|tls ADDRESS\n       varkel_address builtin\n");
  return kMisused;
}
