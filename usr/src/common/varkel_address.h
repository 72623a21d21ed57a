// SPDX-License-Identifier: MIT
// A game server's address as a player writes it, and reaching it: the one
// reader of addresses, for the client and for the launcher (through the
// varkel_address program), and a connection bounded in time.
#ifndef VARKEL_ADDRESS_H
#define VARKEL_ADDRESS_H

#include <stddef.h>

// The longest host name the resolver takes.
#define VARKEL_HOST_MAX 253
// A new attempt starts this long after the last while earlier ones go on.
#define VARKEL_ATTEMPT_DELAY_MS 250
// The port of a tls:// address that names none.
#define VARKEL_TLS_PORT_DEFAULT 9992
// The longest path of a Unix socket (sun_path without its NUL).
#define VARKEL_UNIX_PATH_MAX 107

// The server built in (CMake cache variables VARKEL_SERVER_HOST/PORT).
#ifndef VARKEL_SERVER_HOST
#define VARKEL_SERVER_HOST "localhost"
#endif
#ifndef VARKEL_SERVER_PORT
#define VARKEL_SERVER_PORT 9999
#endif

typedef struct ServerAddress {
  char host[VARKEL_HOST_MAX + 1]; // a name, an IPv4 or an IPv6 address, no brackets
  int port;
  int tls;         // written "tls://ADDRESS": the conversation goes over TLS
  int unix_socket; // written "unix:PATH": host is the absolute path of a Unix socket, port 0
} ServerAddress;

// Reads HOST, HOST:PORT, [IPV6], [IPV6]:PORT or a bare IPv6 address, each
// alone or after "tls://"; port `default_port` when none is given
// (VARKEL_TLS_PORT_DEFAULT after "tls://"); or unix:PATH, a server of this
// machine reached through its socket file. 1 when text is none of these,
// with `problem` naming the bad part.
int ReadServerAddress(const char *text, int default_port, ServerAddress *address, char *problem,
                      size_t problem_size);

// The address written back the way it is read: "host:port", "[v6]:port",
// "unix:/path".
void WriteServerAddress(const ServerAddress *address, char *text, size_t size);

// Whether host names this machine: "localhost", 127.0.0.0/8 or ::1.
int IsLoopbackHost(const char *host);

// Resolves the address and connects within timeout_ms, trying every address
// the name has, IPv6 and IPv4 taken in turn, a new attempt started each
// VARKEL_ATTEMPT_DELAY_MS while the earlier ones go on: the first to open
// wins. 0 with *fd a connected, blocking socket; 1 with *call the step that
// failed ("getaddrinfo" or "connect") and `problem` saying why and for
// which address.
int ConnectServer(const ServerAddress *address, unsigned timeout_ms, int *fd, const char **call,
                  char *problem, size_t problem_size);

#endif
