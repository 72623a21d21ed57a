// SPDX-License-Identifier: MIT
// The PROXY protocol header a balancer puts before a client's own bytes,
// in its text (v1) and binary (v2) forms, and the address prefixes the
// options name. The header is read before anything else on the
// connection, so whatever comes next (the game's messages, a TLS
// handshake) starts at *used.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "common/varkel_options.h"
#include "server_internal.h"

static const char kV1Start[] = "PROXY ";
static const unsigned char kV2Signature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                               0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
// The longest v1 line, "\r\n" included.
#define PROXY_V1_MAX 107

// 1 when the decimal text is a port.
static int ReadPort(const std::string &text, uint16_t *port) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
    return 0;
  long value = strtol(text.c_str(), NULL, 10);
  if (value > 65535) return 0;
  *port = htons((uint16_t)value);
  return 1;
}

// "PROXY TCP4 SRC DST SPORT DPORT" without its "\r\n".
static int ReadV1Line(const std::string &line, struct sockaddr_storage *peer) {
  std::vector<std::string> words;
  size_t start = 0;
  for (size_t space; (space = line.find(' ', start)) != std::string::npos; start = space + 1)
    words.push_back(line.substr(start, space - start));
  words.push_back(line.substr(start));
  if (words.size() >= 2 && words[1] == "UNKNOWN") return PROXY_DONE;
  if (words.size() != 6) return PROXY_BAD;
  struct sockaddr_storage address;
  memset(&address, 0, sizeof(address));
  struct in6_addr destination;
  uint16_t port, destination_port;
  if (!ReadPort(words[4], &port) || !ReadPort(words[5], &destination_port)) return PROXY_BAD;
  if (words[1] == "TCP4") {
    struct sockaddr_in *v4 = (struct sockaddr_in *)&address;
    v4->sin_family = AF_INET;
    v4->sin_port = port;
    if (inet_pton(AF_INET, words[2].c_str(), &v4->sin_addr) != 1 ||
        inet_pton(AF_INET, words[3].c_str(), &destination) != 1)
      return PROXY_BAD;
  } else if (words[1] == "TCP6") {
    struct sockaddr_in6 *v6 = (struct sockaddr_in6 *)&address;
    v6->sin6_family = AF_INET6;
    v6->sin6_port = port;
    if (inet_pton(AF_INET6, words[2].c_str(), &v6->sin6_addr) != 1 ||
        inet_pton(AF_INET6, words[3].c_str(), &destination) != 1)
      return PROXY_BAD;
  } else {
    return PROXY_BAD;
  }
  *peer = address;
  return PROXY_DONE;
}

static int ReadV1(const char *bytes, size_t length, struct sockaddr_storage *peer, size_t *used) {
  const char *end =
      (const char *)memmem(bytes, length < PROXY_V1_MAX ? length : PROXY_V1_MAX, "\r\n", 2);
  if (end == NULL) return length < PROXY_V1_MAX ? PROXY_MORE : PROXY_BAD;
  std::string line(bytes, (size_t)(end - bytes));
  if (line.find('\0') != std::string::npos) return PROXY_BAD;
  int rc = ReadV1Line(line, peer);
  if (rc == PROXY_DONE) *used = line.size() + 2;
  return rc;
}

static int ReadV2(const unsigned char *bytes, size_t length, struct sockaddr_storage *peer,
                  size_t *used) {
  if (length < 16) return PROXY_MORE;
  size_t total = 16 + ((size_t)bytes[14] << 8 | bytes[15]);
  if ((bytes[12] & 0xF0) != 0x20 || total > PROXY_HEADER_MAX) return PROXY_BAD;
  if (length < total) return PROXY_MORE;
  int command = bytes[12] & 0x0F;
  int family = bytes[13];
  if (command > 1) return PROXY_BAD;
  *used = total;
  // LOCAL (the balancer's own check) and the families without an address
  // of ours keep the connection's own address: so does a datagram one,
  // which cannot name the client of a stream.
  if (command == 0) return PROXY_DONE;
  struct sockaddr_storage address;
  memset(&address, 0, sizeof(address));
  // UDP (0x12, 0x22) names a datagram flow, not a stream like ours.
  if (family == 0x11) {
    if (total < 16 + 12) return PROXY_BAD;
    struct sockaddr_in *v4 = (struct sockaddr_in *)&address;
    v4->sin_family = AF_INET;
    memcpy(&v4->sin_addr, bytes + 16, 4);
    memcpy(&v4->sin_port, bytes + 24, 2);
  } else if (family == 0x21) {
    if (total < 16 + 36) return PROXY_BAD;
    struct sockaddr_in6 *v6 = (struct sockaddr_in6 *)&address;
    v6->sin6_family = AF_INET6;
    memcpy(&v6->sin6_addr, bytes + 16, 16);
    memcpy(&v6->sin6_port, bytes + 48, 2);
  } else {
    return PROXY_DONE;
  }
  *peer = address;
  return PROXY_DONE;
}

int ProxyHeaderRead(const char *bytes, size_t length, struct sockaddr_storage *peer, size_t *used) {
  if (length == 0) return PROXY_MORE;
  size_t v1_seen = length < strlen(kV1Start) ? length : strlen(kV1Start);
  if (memcmp(bytes, kV1Start, v1_seen) == 0) {
    return v1_seen < strlen(kV1Start) ? PROXY_MORE : ReadV1(bytes, length, peer, used);
  }
  size_t v2_seen = length < sizeof(kV2Signature) ? length : sizeof(kV2Signature);
  if (memcmp(bytes, kV2Signature, v2_seen) != 0) return PROXY_BAD;
  return ReadV2((const unsigned char *)bytes, length, peer, used);
}

// ---- Prefixes -------------------------------------------------------------------

int PrefixParse(const char *text, Prefix *prefix) {
  std::string address(text);
  size_t slash = address.find('/');
  std::string bits_text = slash == std::string::npos ? "" : address.substr(slash + 1);
  if (slash != std::string::npos) address.erase(slash);
  memset(prefix, 0, sizeof(*prefix));
  if (inet_pton(AF_INET, address.c_str(), prefix->bytes) == 1) {
    prefix->family = AF_INET;
    prefix->bits = 32;
  } else if (inet_pton(AF_INET6, address.c_str(), prefix->bytes) == 1) {
    prefix->family = AF_INET6;
    prefix->bits = 128;
  } else {
    return 1;
  }
  if (slash == std::string::npos) return 0;
  int most = prefix->bits;
  return OptionNumber(bits_text.c_str(), 0, most, &prefix->bits);
}

int AddressBytes(const struct sockaddr_storage *address, const unsigned char **bytes) {
  if (address->ss_family == AF_INET) {
    *bytes = (const unsigned char *)&((const struct sockaddr_in *)address)->sin_addr;
    return AF_INET;
  }
  if (address->ss_family != AF_INET6) return 0;
  const struct in6_addr *v6 = &((const struct sockaddr_in6 *)address)->sin6_addr;
  *bytes = v6->s6_addr;
  if (!IN6_IS_ADDR_V4MAPPED(v6)) return AF_INET6;
  *bytes = v6->s6_addr + 12;
  return AF_INET;
}

int PrefixHolds(const Prefix &prefix, const struct sockaddr_storage *address) {
  const unsigned char *bytes = NULL;
  if (AddressBytes(address, &bytes) != prefix.family) return 0;
  int whole = prefix.bits / 8;
  if (memcmp(bytes, prefix.bytes, (size_t)whole) != 0) return 0;
  int rest = prefix.bits % 8;
  if (rest == 0) return 1;
  unsigned char mask = (unsigned char)(0xFF << (8 - rest));
  return (bytes[whole] & mask) == (prefix.bytes[whole] & mask);
}

int PrefixListHolds(const std::vector<Prefix> &list, const struct sockaddr_storage *address) {
  for (const Prefix &prefix : list) {
    if (PrefixHolds(prefix, address)) return 1;
  }
  return 0;
}
